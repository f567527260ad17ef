// Socket error numbers in the numbering the sockets report to their users
// (10035 would block, 10054 reset, 10061 refused, 11001 host not found ...),
// the translation of POSIX errno and getaddrinfo() codes into them, and the
// per-thread "last socket error" that failing socket calls leave behind.
#pragma once

#include <string>

namespace quillon::platform {

// Every socket error number, written once: X(name, number, text). The list
// expands into the names below and into SocketErrorText's table
// (net/socket/wsocket.h); the texts are what users see.
#define QUILLON_WINSOCK_ERRORS(X) \
  X(WSAEINTR, 10004, "Interrupted system call") \
  X(WSAEBADF, 10009, "Bad file number") \
  X(WSAEACCES, 10013, "Permission denied") \
  X(WSAEFAULT, 10014, "Bad address") \
  X(WSAEINVAL, 10022, "Invalid argument") \
  X(WSAEMFILE, 10024, "Too many open files") \
  X(WSAEWOULDBLOCK, 10035, "Operation would block") \
  X(WSAEINPROGRESS, 10036, "Operation now in progress") \
  X(WSAEALREADY, 10037, "Operation already in progress") \
  X(WSAENOTSOCK, 10038, "Socket operation on non-socket") \
  X(WSAEDESTADDRREQ, 10039, "Destination address required") \
  X(WSAEMSGSIZE, 10040, "Message too long") \
  X(WSAEPROTOTYPE, 10041, "Protocol wrong type for socket") \
  X(WSAENOPROTOOPT, 10042, "Protocol not available") \
  X(WSAEPROTONOSUPPORT, 10043, "Protocol not supported") \
  X(WSAESOCKTNOSUPPORT, 10044, "Socket type not supported") \
  X(WSAEOPNOTSUPP, 10045, "Operation not supported on socket") \
  X(WSAEPFNOSUPPORT, 10046, "Protocol family not supported") \
  X(WSAEAFNOSUPPORT, 10047, "Address family not supported by protocol family") \
  X(WSAEADDRINUSE, 10048, "Address already in use") \
  X(WSAEADDRNOTAVAIL, 10049, "Address not available") \
  X(WSAENETDOWN, 10050, "Network is down") \
  X(WSAENETUNREACH, 10051, "Network is unreachable") \
  X(WSAENETRESET, 10052, "Network dropped connection on reset") \
  X(WSAECONNABORTED, 10053, "Connection aborted") \
  X(WSAECONNRESET, 10054, "Connection reset by peer") \
  X(WSAENOBUFS, 10055, "No buffer space available") \
  X(WSAEISCONN, 10056, "Socket is already connected") \
  X(WSAENOTCONN, 10057, "Socket is not connected") \
  X(WSAESHUTDOWN, 10058, "Can't send after socket shutdown") \
  X(WSAETOOMANYREFS, 10059, "Too many references: can't splice") \
  X(WSAETIMEDOUT, 10060, "Connection timed out") \
  X(WSAECONNREFUSED, 10061, "Connection refused") \
  X(WSAELOOP, 10062, "Too many levels of symbolic links") \
  X(WSAENAMETOOLONG, 10063, "File name too long") \
  X(WSAEHOSTDOWN, 10064, "Host is down") \
  X(WSAEHOSTUNREACH, 10065, "No route to host") \
  X(WSAENOTEMPTY, 10066, "Directory not empty") \
  X(WSAEPROCLIM, 10067, "Too many processes") \
  X(WSAEUSERS, 10068, "Too many users") \
  X(WSAEDQUOT, 10069, "Disc quota exceeded") \
  X(WSAESTALE, 10070, "Stale NFS file handle") \
  X(WSAEREMOTE, 10071, "Too many levels of remote in path") \
  X(WSASYSNOTREADY, 10091, "Network sub-system is unusable") \
  X(WSAVERNOTSUPPORTED, 10092, "WinSock DLL cannot support this application") \
  X(WSANOTINITIALISED, 10093, "WinSock not initialized") \
  X(WSAHOST_NOT_FOUND, 11001, "Host not found") \
  X(WSATRY_AGAIN, 11002, "Non-authoritative host not found") \
  X(WSANO_RECOVERY, 11003, "Non-recoverable error") \
  X(WSANO_DATA, 11004, "No Data")

enum : int {
#define QUILLON_WINSOCK_ERROR_NAME(name, number, text) name = number,
  QUILLON_WINSOCK_ERRORS(QUILLON_WINSOCK_ERROR_NAME)
#undef QUILLON_WINSOCK_ERROR_NAME
};

// The socket error number for a POSIX errno value. EAGAIN and EWOULDBLOCK
// give 10035; a value without a counterpart gives 10022 (invalid argument) so
// that a failure is never reported as success. 0 stays 0.
int WinsockErrorFromErrno(int err);

// The socket error number for a getaddrinfo()/getnameinfo() result: unknown
// name 11001, temporary failure 11002, permanent failure 11003, no address of
// the family 11004; EAI_SYSTEM is translated through errno. 0 stays 0.
int WinsockErrorFromLookup(int gai_error, int saved_errno);

// Whether `error` is a name-lookup failure (11001 to 11004).
bool IsLookupError(int error);

// What the system says about a socket error number, in its own English
// words without the number, starting lower-case: strerror() of the POSIX
// errno it stands for ("connection refused"), gai_strerror() for a lookup
// failure ("name or service not known"), the text of the list above for a
// number without a POSIX counterpart. Empty for a number that is not a
// socket error.
std::string SystemErrorText(int error);

// The last socket error of the calling thread. Socket operations store the
// translated error of every failing system call here; checks of arguments
// store the number they report (for example 10022) before reporting it.
int LastSocketError();
void SetLastSocketError(int error);
// SetLastSocketError(WinsockErrorFromErrno(errno)) and returns the number.
int SetLastSocketErrorFromErrno();

}  // namespace quillon::platform

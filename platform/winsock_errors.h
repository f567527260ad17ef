// Socket error numbers in the numbering the sockets report to their users
// (10035 would block, 10054 reset, 10061 refused, 11001 host not found ...),
// the translation of POSIX errno and getaddrinfo() codes into them, and the
// per-thread "last socket error" that failing socket calls leave behind.
#pragma once

namespace quillon::platform {

// The numbers the socket layer uses by name.
enum : int {
  WSAEINTR = 10004,
  WSAEBADF = 10009,
  WSAEACCES = 10013,
  WSAEFAULT = 10014,
  WSAEINVAL = 10022,
  WSAEMFILE = 10024,
  WSAEWOULDBLOCK = 10035,
  WSAEINPROGRESS = 10036,
  WSAEALREADY = 10037,
  WSAENOTSOCK = 10038,
  WSAEDESTADDRREQ = 10039,
  WSAEMSGSIZE = 10040,
  WSAEPROTOTYPE = 10041,
  WSAENOPROTOOPT = 10042,
  WSAEPROTONOSUPPORT = 10043,
  WSAESOCKTNOSUPPORT = 10044,
  WSAEOPNOTSUPP = 10045,
  WSAEPFNOSUPPORT = 10046,
  WSAEAFNOSUPPORT = 10047,
  WSAEADDRINUSE = 10048,
  WSAEADDRNOTAVAIL = 10049,
  WSAENETDOWN = 10050,
  WSAENETUNREACH = 10051,
  WSAENETRESET = 10052,
  WSAECONNABORTED = 10053,
  WSAECONNRESET = 10054,
  WSAENOBUFS = 10055,
  WSAEISCONN = 10056,
  WSAENOTCONN = 10057,
  WSAESHUTDOWN = 10058,
  WSAETOOMANYREFS = 10059,
  WSAETIMEDOUT = 10060,
  WSAECONNREFUSED = 10061,
  WSAELOOP = 10062,
  WSAENAMETOOLONG = 10063,
  WSAEHOSTDOWN = 10064,
  WSAEHOSTUNREACH = 10065,
  WSAENOTEMPTY = 10066,
  WSAEPROCLIM = 10067,
  WSAEUSERS = 10068,
  WSAEDQUOT = 10069,
  WSAESTALE = 10070,
  WSAEREMOTE = 10071,
  WSASYSNOTREADY = 10091,
  WSAVERNOTSUPPORTED = 10092,
  WSANOTINITIALISED = 10093,
  WSAHOST_NOT_FOUND = 11001,
  WSATRY_AGAIN = 11002,
  WSANO_RECOVERY = 11003,
  WSANO_DATA = 11004,
};

// The socket error number for a POSIX errno value. EAGAIN and EWOULDBLOCK
// give 10035; a value without a counterpart gives 10022 (invalid argument) so
// that a failure is never reported as success. 0 stays 0.
int WinsockErrorFromErrno(int err);

// The socket error number for a getaddrinfo()/getnameinfo() result: unknown
// name 11001, temporary failure 11002, permanent failure 11003, no address of
// the family 11004; EAI_SYSTEM is translated through errno. 0 stays 0.
int WinsockErrorFromLookup(int gai_error, int saved_errno);

// The last socket error of the calling thread. Socket operations store the
// translated error of every failing system call here; checks of arguments
// store the number they report (for example 10022) before reporting it.
int LastSocketError();
void SetLastSocketError(int error);
// SetLastSocketError(WinsockErrorFromErrno(errno)) and returns the number.
int SetLastSocketErrorFromErrno();

}  // namespace quillon::platform

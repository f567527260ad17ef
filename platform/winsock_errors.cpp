#include "platform/winsock_errors.h"

#include <locale.h>
#include <netdb.h>

#include <cctype>
#include <cerrno>
#include <cstring>

namespace quillon::platform {

namespace {
thread_local int last_socket_error = 0;
}

int WinsockErrorFromErrno(int err) {
  switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK: return WSAEWOULDBLOCK;
#endif
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    case EUSERS: return WSAEUSERS;
    case EDQUOT: return WSAEDQUOT;
    case ESTALE: return WSAESTALE;
    case EREMOTE: return WSAEREMOTE;
    default: return WSAEINVAL;
  }
}

int WinsockErrorFromLookup(int gai_error, int saved_errno) {
  switch (gai_error) {
    case 0: return 0;
    case EAI_NONAME:
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
    case EAI_MEMORY: return WSAENOBUFS;
    case EAI_FAMILY: return WSAEAFNOSUPPORT;
    case EAI_SOCKTYPE: return WSAESOCKTNOSUPPORT;
    case EAI_SERVICE: return WSANO_RECOVERY;
    case EAI_SYSTEM: return saved_errno ? WinsockErrorFromErrno(saved_errno) : WSANO_RECOVERY;
    default: return WSANO_RECOVERY;
  }
}

bool IsLookupError(int error) { return error >= WSAHOST_NOT_FOUND && error <= WSANO_DATA; }

namespace {

// The POSIX errno a socket error number stands for; 0 when there is none.
int ErrnoFromWinsockError(int error) {
  // The first errno of WinsockErrorFromErrno's cases that gives the number.
  static constexpr int kErrnos[] = {
      EINTR,      EBADF,       EACCES,          EFAULT,         EINVAL,       EMFILE,          EAGAIN,
      EINPROGRESS, EALREADY,   ENOTSOCK,        EDESTADDRREQ,   EMSGSIZE,     EPROTOTYPE,      ENOPROTOOPT,
      EPROTONOSUPPORT, ESOCKTNOSUPPORT, EOPNOTSUPP, EPFNOSUPPORT, EAFNOSUPPORT, EADDRINUSE,     EADDRNOTAVAIL,
      ENETDOWN,   ENETUNREACH, ENETRESET,       ECONNABORTED,   ECONNRESET,   ENOBUFS,         EISCONN,
      ENOTCONN,   ESHUTDOWN,   ETOOMANYREFS,    ETIMEDOUT,      ECONNREFUSED, ELOOP,           ENAMETOOLONG,
      EHOSTDOWN,  EHOSTUNREACH, ENOTEMPTY,      EUSERS,         EDQUOT,       ESTALE,          EREMOTE};
  if (error == 0) return 0;
  for (int err : kErrnos)
    if (WinsockErrorFromErrno(err) == error) return err;
  return 0;
}

int LookupCodeFromWinsockError(int error) {
  switch (error) {
    case WSATRY_AGAIN: return EAI_AGAIN;
    case WSANO_RECOVERY: return EAI_FAIL;
    default: return EAI_NONAME;
  }
}

const char* ListedText(int error) {
  switch (error) {
#define QUILLON_WINSOCK_ERROR_TEXT(name, number, text) \
  case number: return text;
    QUILLON_WINSOCK_ERRORS(QUILLON_WINSOCK_ERROR_TEXT)
#undef QUILLON_WINSOCK_ERROR_TEXT
    default: return nullptr;
  }
}

}  // namespace

std::string SystemErrorText(int error) {
  const char* listed = ListedText(error);
  if (listed == nullptr) return "";
  std::string text;
  if (IsLookupError(error)) {
    text = gai_strerror(LookupCodeFromWinsockError(error));
  } else if (const int err = ErrnoFromWinsockError(error); err != 0) {
    // In English like every other text of the program, whatever the locale.
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t(0));
    text = c_locale ? strerror_l(err, c_locale) : std::strerror(err);
  } else {
    text = listed;
  }
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

int LastSocketError() { return last_socket_error; }
void SetLastSocketError(int error) { last_socket_error = error; }
int SetLastSocketErrorFromErrno() {
  last_socket_error = WinsockErrorFromErrno(errno);
  return last_socket_error;
}

}  // namespace quillon::platform

#include "platform/posix/error_map.h"

#include <cerrno>
#include <netdb.h>

namespace qel::plat {
namespace {

struct ErrnoEntry {
  int error;
  int32_t wsa;
};

// Windows Sockets numbers are the BSD errno values plus 10000; Linux numbers
// its errno values differently, hence the table.
constexpr ErrnoEntry kErrnoTable[] = {
    {EINTR, 10004},          {EBADF, 10009},         {EACCES, 10013},
    {EPERM, 10013},          {EFAULT, 10014},        {EINVAL, 10022},
    {EMFILE, 10024},         {ENFILE, 10024},        {EAGAIN, 10035},
#if EWOULDBLOCK != EAGAIN
    {EWOULDBLOCK, 10035},
#endif
    {EINPROGRESS, 10036},    {EALREADY, 10037},      {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},   {EMSGSIZE, 10040},      {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},    {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},     {EPFNOSUPPORT, 10046},  {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},     {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},
    {ENETUNREACH, 10051},    {ENETRESET, 10052},     {ECONNABORTED, 10053},
    {ECONNRESET, 10054},     {EPIPE, 10054},         {ENOBUFS, 10055},
    {ENOMEM, 10055},         {EISCONN, 10056},       {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},      {ETOOMANYREFS, 10059},  {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},   {ELOOP, 10062},         {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},      {EHOSTUNREACH, 10065},
};

constexpr int32_t kWsaNetworkError = 10050;
constexpr int32_t kWsaOutOfBuffers = 10055;
constexpr int32_t kResolverHostNotFound = 11001;
constexpr int32_t kResolverTryAgain = 11002;
constexpr int32_t kResolverNoRecovery = 11003;
constexpr int32_t kResolverNoData = 11004;

}  // namespace

int32_t wsaFromErrno(int error) {
  for (const ErrnoEntry& entry : kErrnoTable) {
    if (entry.error == error) return entry.wsa;
  }
  return kWsaNetworkError;
}

int32_t wsaFromResolver(int code, int savedErrno) {
  switch (code) {
    case EAI_NONAME:
      return kResolverHostNotFound;
    case EAI_AGAIN:
      return kResolverTryAgain;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return kResolverNoData;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
      return kResolverNoData;
#endif
    case EAI_MEMORY:
      return kWsaOutOfBuffers;
    case EAI_SYSTEM:
      return wsaFromErrno(savedErrno);
    default:
      return kResolverNoRecovery;
  }
}

}  // namespace qel::plat

// Windows Sockets behind the library's socket interface. Error numbers
// come straight from WSAGetLastError: they already are the numbers every
// backend reports.
#include "platform/win32/windows_api.h"

#include <cstring>

#include "platform/platform.h"
#include "platform/socket_addresses.h"

namespace qel::plat {
namespace {

// The version word of Windows Sockets 1.1 (minor in the high byte).
constexpr WORD kWinsockVersion = 0x0101;
// Socket errors the library maps itself when no Windows Sockets call ran.
constexpr int32_t kWsaBadAddress = 10014;
constexpr int32_t kWsaFamilyNotSupported = 10047;
constexpr int32_t kResolverNoData = 11004;
constexpr int kIpv4Length = 4;

SOCKET socketOf(SocketHandle handle) { return static_cast<SOCKET>(handle); }

int32_t lastSocketError() { return static_cast<int32_t>(WSAGetLastError()); }

}  // namespace

int32_t netStartup() {
  WSADATA data;
  // WSAStartup returns its error number directly instead of through
  // WSAGetLastError, which is not usable before a successful start.
  return static_cast<int32_t>(WSAStartup(kWinsockVersion, &data));
}

void netCleanup() { WSACleanup(); }

bool netBlockingCallInProgress() { return WSAIsBlocking() != FALSE; }

int32_t socketOpen(SocketHandle* handle) { return socketOpenFamily(handle, kFamilyIpv4); }

int32_t socketSetNonBlocking(SocketHandle handle, bool on) {
  u_long argument = on ? 1 : 0;
  if (::ioctlsocket(socketOf(handle), FIONBIO, &argument) == SOCKET_ERROR) return lastSocketError();
  return 0;
}

int32_t socketConnect(SocketHandle handle, uint32_t address, uint16_t port) {
  sockaddr_in target;
  std::memset(&target, 0, sizeof target);
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr.s_addr = htonl(address);
  if (::connect(socketOf(handle), reinterpret_cast<const sockaddr*>(&target), sizeof target) == SOCKET_ERROR)
    return lastSocketError();  // WSAEWOULDBLOCK while a non-blocking connect goes on
  return 0;
}

int32_t socketReady(SocketHandle handle, Readiness kind) {
  // fd_set holds socket handles, not bit positions, so a handle of any value
  // fits in a set of one.
  fd_set tested;
  FD_ZERO(&tested);
  FD_SET(socketOf(handle), &tested);
  timeval noWait{0, 0};
  fd_set* readSet = kind == Readiness::readable ? &tested : nullptr;
  fd_set* writeSet = kind == Readiness::writable ? &tested : nullptr;
  fd_set* errorSet = kind == Readiness::error ? &tested : nullptr;
  // The first argument is ignored by Windows Sockets.
  if (::select(0, readSet, writeSet, errorSet, &noWait) == SOCKET_ERROR) return -1;
  return FD_ISSET(socketOf(handle), &tested) ? 1 : 0;
}

int32_t socketReadiness(SocketHandle handle) {
  fd_set readSet;
  fd_set writeSet;
  FD_ZERO(&readSet);
  FD_ZERO(&writeSet);
  FD_SET(socketOf(handle), &readSet);
  FD_SET(socketOf(handle), &writeSet);
  timeval noWait{0, 0};
  if (::select(0, &readSet, &writeSet, nullptr, &noWait) == SOCKET_ERROR) return -1;
  return (FD_ISSET(socketOf(handle), &readSet) ? kReadyReadable : 0) |
         (FD_ISSET(socketOf(handle), &writeSet) ? kReadyWritable : 0);
}

int32_t socketAckNow(SocketHandle handle) {
  // Windows has no one-off acknowledgement; where it supports it (Windows 10
  // 1703 and later), the socket can acknowledge every segment at once.
  int frequency = 1;
  DWORD returned = 0;
  if (::WSAIoctl(socketOf(handle), SIO_TCP_SET_ACK_FREQUENCY, &frequency, sizeof frequency, nullptr, 0, &returned,
                 nullptr, nullptr) == SOCKET_ERROR)
    return -1;
  return 1;
}

int32_t socketWaitReadable(SocketHandle handle, uint32_t ms) {
  fd_set tested;
  FD_ZERO(&tested);
  FD_SET(socketOf(handle), &tested);
  timeval wait;
  wait.tv_sec = static_cast<long>(ms / 1000);
  wait.tv_usec = static_cast<long>((ms % 1000) * 1000);
  if (::select(0, &tested, nullptr, nullptr, &wait) == SOCKET_ERROR) return -1;
  return FD_ISSET(socketOf(handle), &tested) ? 1 : 0;
}

int32_t socketWaitAny(SocketWait* entries, int32_t count, uint32_t ms) {
  if (entries == nullptr || count <= 0 || count > FD_SETSIZE) return -1;
  // Windows Sockets reports a failed connect in the exception set, so a
  // wait for writability watches that set as well.
  fd_set readSet;
  fd_set writeSet;
  fd_set errorSet;
  FD_ZERO(&readSet);
  FD_ZERO(&writeSet);
  FD_ZERO(&errorSet);
  for (int32_t i = 0; i < count; ++i) {
    entries[i].ready = false;
    SOCKET handle = socketOf(entries[i].handle);
    if (entries[i].readable) FD_SET(handle, &readSet);
    if (entries[i].writable) FD_SET(handle, &writeSet);
    FD_SET(handle, &errorSet);
  }
  timeval wait;
  wait.tv_sec = static_cast<long>(ms / 1000);
  wait.tv_usec = static_cast<long>((ms % 1000) * 1000);
  if (::select(0, &readSet, &writeSet, &errorSet, &wait) == SOCKET_ERROR) return -1;
  int32_t ready = 0;
  for (int32_t i = 0; i < count; ++i) {
    SOCKET handle = socketOf(entries[i].handle);
    if (FD_ISSET(handle, &readSet) || FD_ISSET(handle, &writeSet) || FD_ISSET(handle, &errorSet)) {
      entries[i].ready = true;
      ++ready;
    }
  }
  return ready;
}

int32_t socketSend(SocketHandle handle, const void* data, int32_t length) {
  if (length <= 0) return 0;
  int sent = ::send(socketOf(handle), static_cast<const char*>(data), length, 0);
  if (sent == SOCKET_ERROR) return -lastSocketError();
  return sent;
}

int32_t socketReceive(SocketHandle handle, void* data, int32_t length) {
  if (length <= 0) return 0;
  int got = ::recv(socketOf(handle), static_cast<char*>(data), length, 0);
  if (got == SOCKET_ERROR) return -lastSocketError();
  return got;
}

int32_t socketSetSendTimeout(SocketHandle handle, uint32_t ms) {
  // SO_SNDTIMEO takes a DWORD of milliseconds here (0 = no bound).
  DWORD limit = ms;
  if (::setsockopt(socketOf(handle), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit),
                   sizeof limit) == SOCKET_ERROR)
    return lastSocketError();
  return 0;
}

int32_t socketClose(SocketHandle handle, int32_t lingerSeconds) {
  linger option;
  option.l_onoff = 1;
  option.l_linger = static_cast<u_short>(lingerSeconds);
  ::setsockopt(socketOf(handle), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
               sizeof option);
  if (::closesocket(socketOf(handle)) == SOCKET_ERROR) return lastSocketError();
  return 0;
}

int32_t socketOpenFamily(SocketHandle* handle, uint8_t family) {
  SOCKET made = ::socket(family == kFamilyIpv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (made == INVALID_SOCKET) return lastSocketError();
  // Writes go out at once, as on POSIX (sockets.cpp there says why).
  BOOL on = TRUE;
  ::setsockopt(made, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  *handle = static_cast<SocketHandle>(made);
  return 0;
}

int32_t socketConnectTo(SocketHandle handle, const NetAddress& address, uint16_t port) {
  sockaddr_storage target;
  int length = fillSocketAddress(address, port, &target);
  if (::connect(socketOf(handle), reinterpret_cast<const sockaddr*>(&target), length) == SOCKET_ERROR)
    return lastSocketError();
  return 0;
}

int32_t socketPendingError(SocketHandle handle) {
  int error = 0;
  int length = sizeof error;
  if (::getsockopt(socketOf(handle), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) ==
      SOCKET_ERROR)
    return lastSocketError();
  return static_cast<int32_t>(error);
}

int32_t resolveAll(const char* name, NetAddress* found, int32_t room, int32_t* count) {
  if (name == nullptr || found == nullptr || count == nullptr) return kWsaBadAddress;
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  // getaddrinfo returns its Windows Sockets error number directly.
  int rc = ::getaddrinfo(name, nullptr, &hints, &list);
  if (rc != 0) return static_cast<int32_t>(rc);
  int32_t taken = takeAddresses(list, found, room);
  ::freeaddrinfo(list);
  if (taken == 0) return kResolverNoData;
  *count = taken;
  return 0;
}

int32_t socketLocalAddress(SocketHandle handle, uint32_t* address) {
  sockaddr_in local;
  std::memset(&local, 0, sizeof local);
  int length = sizeof local;
  if (::getsockname(socketOf(handle), reinterpret_cast<sockaddr*>(&local), &length) == SOCKET_ERROR)
    return lastSocketError();
  if (local.sin_family != AF_INET) return kWsaFamilyNotSupported;
  *address = ntohl(local.sin_addr.s_addr);
  return 0;
}

int32_t resolveIpv4(const char* name, uint32_t* address) {
  if (name == nullptr || address == nullptr) return kWsaBadAddress;
  const hostent* found = ::gethostbyname(name);
  if (found == nullptr) return lastSocketError();
  if (found->h_addrtype != AF_INET || found->h_length != kIpv4Length || found->h_addr_list == nullptr ||
      found->h_addr_list[0] == nullptr)
    return kResolverNoData;
  // The result lives in per-thread storage of the socket layer: copied out at once.
  u_long networkOrder = 0;
  std::memcpy(&networkOrder, found->h_addr_list[0], kIpv4Length);
  *address = ntohl(networkOrder);
  return 0;
}

int32_t localHostName(char* buffer, int32_t room) {
  if (buffer == nullptr || room <= 0) return kWsaBadAddress;
  buffer[0] = '\0';
  if (::gethostname(buffer, room) == SOCKET_ERROR) {
    buffer[0] = '\0';
    return lastSocketError();
  }
  buffer[room - 1] = '\0';
  return 0;
}

}  // namespace qel::plat

// POSIX sockets behind the library's socket interface.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "platform/platform.h"
#include "platform/posix/error_map.h"
#include "platform/socket_addresses.h"

namespace qel::plat {
namespace {

int fdOf(SocketHandle handle) { return static_cast<int>(handle); }

int32_t lastSocketError() { return wsaFromErrno(errno); }

constexpr int32_t kResolverNoData = 11004;  // the name has no address of a usable kind

}  // namespace

int32_t netStartup() { return 0; }

void netCleanup() {}

bool netBlockingCallInProgress() { return false; }

int32_t socketOpen(SocketHandle* handle) { return socketOpenFamily(handle, kFamilyIpv4); }

int32_t socketSetNonBlocking(SocketHandle handle, bool on) {
  int flags = ::fcntl(fdOf(handle), F_GETFL, 0);
  if (flags < 0) return lastSocketError();
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (::fcntl(fdOf(handle), F_SETFL, flags) < 0) return lastSocketError();
  return 0;
}

int32_t socketConnect(SocketHandle handle, uint32_t address, uint16_t port) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr.s_addr = htonl(address);
  int rc;
  do {
    rc = ::connect(fdOf(handle), reinterpret_cast<const sockaddr*>(&target), sizeof target);
  } while (rc < 0 && errno == EINTR);
  if (rc == 0) return 0;
  // A non-blocking connect that goes on in the background is "would block"
  // in the Windows Sockets terms the callers use.
  if (errno == EINPROGRESS) return kWsaWouldBlock;
  return lastSocketError();
}

int32_t socketReady(SocketHandle handle, Readiness kind) {
  pollfd entry{};
  entry.fd = fdOf(handle);
  switch (kind) {
    case Readiness::readable:
      entry.events = POLLIN;
      break;
    case Readiness::writable:
      entry.events = POLLOUT;
      break;
    case Readiness::error:
      entry.events = 0;  // POLLERR and POLLHUP are always reported
      break;
  }
  int rc;
  do {
    rc = ::poll(&entry, 1, 0);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0 || (entry.revents & POLLNVAL)) return -1;
  switch (kind) {
    case Readiness::readable:
      // A closed or reset connection counts as readable: the receive that
      // follows meets the end or the error.
      return (entry.revents & (POLLIN | POLLHUP | POLLERR)) ? 1 : 0;
    case Readiness::writable:
      return (entry.revents & POLLOUT) ? 1 : 0;
    case Readiness::error:
      return (entry.revents & POLLERR) ? 1 : 0;
  }
  return 0;
}

int32_t socketReadiness(SocketHandle handle) {
  pollfd entry{};
  entry.fd = fdOf(handle);
  entry.events = POLLIN | POLLOUT;
  int rc;
  do {
    rc = ::poll(&entry, 1, 0);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0 || (entry.revents & POLLNVAL)) return -1;
  // As socketReady: a closed or reset connection counts as readable.
  return ((entry.revents & (POLLIN | POLLHUP | POLLERR)) ? kReadyReadable : 0) |
         ((entry.revents & POLLOUT) ? kReadyWritable : 0);
}

int32_t socketAckNow(SocketHandle handle) {
  // Leaving the delayed-acknowledgement mode sends an acknowledgement that
  // is due at once; the kernel may go back to delaying later ones.
  int on = 1;
  return ::setsockopt(fdOf(handle), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on) == 0 ? 0 : -1;
}

int32_t socketWaitReadable(SocketHandle handle, uint32_t ms) {
  pollfd entry{};
  entry.fd = fdOf(handle);
  entry.events = POLLIN;
  int rc = ::poll(&entry, 1, static_cast<int>(ms > 0x7FFFFFFFu ? 0x7FFFFFFFu : ms));
  if (rc < 0) return errno == EINTR ? 0 : -1;
  if (entry.revents & POLLNVAL) return -1;
  return (entry.revents & (POLLIN | POLLHUP | POLLERR)) ? 1 : 0;
}

int32_t socketWaitAny(SocketWait* entries, int32_t count, uint32_t ms) {
  if (entries == nullptr || count <= 0) return -1;
  // A handful of channels is the common case: no allocation for those.
  constexpr int32_t kStackEntries = 128;
  pollfd stack[kStackEntries];
  std::unique_ptr<pollfd[]> heap;
  pollfd* set = stack;
  if (count > kStackEntries) {
    heap.reset(new (std::nothrow) pollfd[static_cast<size_t>(count)]);
    if (!heap) return -1;
    set = heap.get();
  }
  for (int32_t i = 0; i < count; ++i) {
    set[i] = pollfd{};
    set[i].fd = fdOf(entries[i].handle);
    set[i].events = static_cast<short>((entries[i].readable ? POLLIN : 0) | (entries[i].writable ? POLLOUT : 0));
    entries[i].ready = false;
  }
  int rc = ::poll(set, static_cast<nfds_t>(count), static_cast<int>(ms > 0x7FFFFFFFu ? 0x7FFFFFFFu : ms));
  if (rc < 0) return errno == EINTR ? 0 : -1;
  int32_t ready = 0;
  for (int32_t i = 0; i < count; ++i) {
    // An error, a hang-up or a closed descriptor ends the wait too: the
    // step that follows meets the condition and reports it.
    if (set[i].revents != 0) {
      entries[i].ready = true;
      ++ready;
    }
  }
  return ready;
}

int32_t socketSend(SocketHandle handle, const void* data, int32_t length) {
  if (length <= 0) return 0;
  ssize_t sent;
  do {
    sent = ::send(fdOf(handle), data, static_cast<size_t>(length), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return -lastSocketError();
  return static_cast<int32_t>(sent);
}

int32_t socketReceive(SocketHandle handle, void* data, int32_t length) {
  if (length <= 0) return 0;
  ssize_t got;
  do {
    got = ::recv(fdOf(handle), data, static_cast<size_t>(length), 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return -lastSocketError();
  return static_cast<int32_t>(got);
}

int32_t socketSetSendTimeout(SocketHandle handle, uint32_t ms) {
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(ms / 1000);
  limit.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  if (::setsockopt(fdOf(handle), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) < 0)
    return lastSocketError();
  return 0;
}

int32_t socketClose(SocketHandle handle, int32_t lingerSeconds) {
  linger option{};
  option.l_onoff = 1;
  option.l_linger = lingerSeconds;
  ::setsockopt(fdOf(handle), SOL_SOCKET, SO_LINGER, &option, sizeof option);
  // close() is not retried on EINTR: the descriptor is gone either way, and a
  // second close could hit a number the system has already handed out again.
  if (::close(fdOf(handle)) < 0 && errno != EINTR) return lastSocketError();
  return 0;
}

int32_t socketOpenFamily(SocketHandle* handle, uint8_t family) {
  int fd = ::socket(family == kFamilyIpv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return lastSocketError();
  // Writes go out at once: the library sends whole commands and large
  // blocks, and the delay would only hold back the last, short piece of a
  // message until the server has acknowledged the rest.
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  *handle = static_cast<SocketHandle>(fd);
  return 0;
}

int32_t socketConnectTo(SocketHandle handle, const NetAddress& address, uint16_t port) {
  sockaddr_storage target;
  socklen_t length = static_cast<socklen_t>(fillSocketAddress(address, port, &target));
  int rc;
  do {
    rc = ::connect(fdOf(handle), reinterpret_cast<const sockaddr*>(&target), length);
  } while (rc < 0 && errno == EINTR);
  if (rc == 0) return 0;
  if (errno == EINPROGRESS) return kWsaWouldBlock;
  return lastSocketError();
}

int32_t socketPendingError(SocketHandle handle) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fdOf(handle), SOL_SOCKET, SO_ERROR, &error, &length) < 0) return lastSocketError();
  return error == 0 ? 0 : wsaFromErrno(error);
}

int32_t resolveAll(const char* name, NetAddress* found, int32_t room, int32_t* count) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(name, nullptr, &hints, &list);
  if (rc != 0) return wsaFromResolver(rc, errno);
  int32_t taken = takeAddresses(list, found, room);
  ::freeaddrinfo(list);
  if (taken == 0) return kResolverNoData;
  *count = taken;
  return 0;
}

int32_t socketLocalAddress(SocketHandle handle, uint32_t* address) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(fdOf(handle), reinterpret_cast<sockaddr*>(&local), &length) < 0)
    return lastSocketError();
  if (local.sin_family != AF_INET) return 10047;
  *address = ntohl(local.sin_addr.s_addr);
  return 0;
}

int32_t resolveIpv4(const char* name, uint32_t* address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(name, nullptr, &hints, &found);
  if (rc != 0) return wsaFromResolver(rc, errno);
  int32_t result = kResolverNoData;
  for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
      const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
      *address = ntohl(in->sin_addr.s_addr);
      result = 0;
      break;
    }
  }
  ::freeaddrinfo(found);
  return result;
}

int32_t localHostName(char* buffer, int32_t room) {
  if (buffer == nullptr || room <= 0) return 10014;
  buffer[0] = '\0';
  if (::gethostname(buffer, static_cast<size_t>(room)) < 0) {
    buffer[0] = '\0';
    return lastSocketError();
  }
  buffer[room - 1] = '\0';
  return 0;
}

}  // namespace qel::plat

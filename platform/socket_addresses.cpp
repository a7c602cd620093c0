// Socket addresses in and out of NetAddress (see socket_addresses.h).
#include "platform/socket_addresses.h"

#include <cstring>

namespace qel::plat {

namespace {
constexpr size_t kIpv4Length = 4;
}  // namespace

int fillSocketAddress(const NetAddress& address, uint16_t port, sockaddr_storage* target) {
  std::memset(target, 0, sizeof *target);
  if (address.family == kFamilyIpv6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(target);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    std::memcpy(&in6->sin6_addr, address.bytes, sizeof in6->sin6_addr);
    in6->sin6_scope_id = address.scopeId;
    return static_cast<int>(sizeof *in6);
  }
  auto* in = reinterpret_cast<sockaddr_in*>(target);
  in->sin_family = AF_INET;
  in->sin_port = htons(port);
  std::memcpy(&in->sin_addr, address.bytes, kIpv4Length);
  return static_cast<int>(sizeof *in);
}

int32_t takeAddresses(const addrinfo* list, NetAddress* found, int32_t room) {
  int32_t taken = 0;
  for (const addrinfo* entry = list; entry != nullptr && taken < room; entry = entry->ai_next) {
    NetAddress& out = found[taken];
    std::memset(&out, 0, sizeof out);
    if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
      out.family = kFamilyIpv4;
      std::memcpy(out.bytes, &reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr, kIpv4Length);
    } else if (entry->ai_family == AF_INET6 && entry->ai_addr != nullptr) {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ai_addr);
      out.family = kFamilyIpv6;
      std::memcpy(out.bytes, &in6->sin6_addr, sizeof in6->sin6_addr);
      out.scopeId = in6->sin6_scope_id;
    } else {
      continue;
    }
    ++taken;
  }
  return taken;
}

}  // namespace qel::plat

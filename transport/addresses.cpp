#include "transport/addresses.h"

#include "frame/text.h"

namespace qel {
namespace {

constexpr int32_t kIpv6Groups = 8;

uint32_t groupAt(const plat::NetAddress& address, int32_t group) {
  return (static_cast<uint32_t>(address.bytes[2 * group]) << 8) | address.bytes[2 * group + 1];
}

// The longest run of two or more zero groups, the first of equal ones
// (RFC 5952, section 4.2); start -1 when there is none.
void longestZeroRun(const plat::NetAddress& address, int32_t* start, int32_t* length) {
  *start = -1;
  *length = 0;
  for (int32_t group = 0; group < kIpv6Groups;) {
    int32_t end = group;
    while (end < kIpv6Groups && groupAt(address, end) == 0) ++end;
    if (end - group >= 2 && end - group > *length) {
      *start = group;
      *length = end - group;
    }
    group = end == group ? group + 1 : end;
  }
}

int32_t formatIpv6(const plat::NetAddress& address, char* buffer, int32_t room) {
  int32_t runStart = 0;
  int32_t runLength = 0;
  longestZeroRun(address, &runStart, &runLength);
  int32_t used = 0;
  for (int32_t group = 0; group < kIpv6Groups; ++group) {
    if (group == runStart) {
      used += plat::formatText(buffer + used, room - used, "::");
      group += runLength - 1;
      continue;
    }
    // A colon separates groups, except right after the "::".
    bool afterRun = runStart >= 0 && group == runStart + runLength;
    if (group > 0 && !afterRun) used += plat::formatText(buffer + used, room - used, ":");
    used += plat::formatText(buffer + used, room - used, "%x", groupAt(address, group));
  }
  return used;
}

}  // namespace

plat::NetAddress ipv4NetAddress(uint32_t hostOrder) {
  plat::NetAddress address{};
  address.family = plat::kFamilyIpv4;
  address.bytes[0] = static_cast<uint8_t>(hostOrder >> 24);
  address.bytes[1] = static_cast<uint8_t>(hostOrder >> 16);
  address.bytes[2] = static_cast<uint8_t>(hostOrder >> 8);
  address.bytes[3] = static_cast<uint8_t>(hostOrder);
  return address;
}

uint32_t ipv4Value(const plat::NetAddress& address) {
  return (static_cast<uint32_t>(address.bytes[0]) << 24) | (static_cast<uint32_t>(address.bytes[1]) << 16) |
         (static_cast<uint32_t>(address.bytes[2]) << 8) | address.bytes[3];
}

int32_t formatNetAddress(const plat::NetAddress& address, char* buffer, int32_t room) {
  if (buffer == nullptr || room < kAddressTextRoom) return 0;
  if (address.family == plat::kFamilyIpv6) return formatIpv6(address, buffer, room);
  return formatDottedAddress(ipv4Value(address), buffer, room);
}

void hostWithoutBrackets(const char* name, char* host, int32_t room) {
  if (host == nullptr || room <= 0) return;
  host[0] = '\0';
  if (name == nullptr) return;
  int32_t length = textLength(name);
  if (length >= 2 && name[0] == '[' && name[length - 1] == ']') {
    int32_t inner = length - 2 < room - 1 ? length - 2 : room - 1;
    for (int32_t i = 0; i < inner; ++i) host[i] = name[i + 1];
    host[inner] = '\0';
    return;
  }
  copyText(host, name, room - 1);
}

}  // namespace qel

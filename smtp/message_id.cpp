// Message-IDs that no other message shares (RFC 5322 section 3.6.4): the
// time, the process and a counter keep ids of one host apart, the random
// part those of hosts that share a domain.
#include "smtp/message_id.h"

#include <atomic>

#include "frame/text.h"
#include "platform/platform.h"

namespace qel {
namespace {

constexpr char kDefaultDomain[] = "localhost";
constexpr int32_t kDomainCap = 128;
constexpr int32_t kRandomBytes = 8;
constexpr char kHexDigits[] = "0123456789abcdef";

std::atomic<uint32_t> idsMade{0};

bool domainChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

// The domain of the address inside the angle brackets (of the whole text
// when it has none), keeping only the characters a domain name may hold, so
// that the id stays one valid token.
void takeDomain(const char* from, char* domain) {
  int32_t length = 0;
  const char* open = findChar(from, '<');
  const char* at = findChar(open != nullptr ? open : from, '@');
  if (at != nullptr) {
    for (const char* p = at + 1; *p != '\0' && *p != '>' && length < kDomainCap; ++p) {
      if (domainChar(*p)) domain[length++] = *p;
    }
  }
  domain[length] = '\0';
  if (length == 0) copyText(domain, kDefaultDomain, kDomainCap);
}

}  // namespace

int32_t formatMessageId(const char* fromAddress, char* out) {
  char domain[kDomainCap + 1];
  takeDomain(fromAddress, domain);
  uint8_t random[kRandomBytes];
  plat::randomBytes(random, kRandomBytes);
  char randomHex[2 * kRandomBytes + 1];
  for (int32_t i = 0; i < kRandomBytes; ++i) {
    randomHex[2 * i] = kHexDigits[random[i] >> 4];
    randomHex[2 * i + 1] = kHexDigits[random[i] & 0xF];
  }
  randomHex[2 * kRandomBytes] = '\0';
  plat::LocalTime now{};
  plat::localTime(&now);
  uint32_t count = idsMade.fetch_add(1) + 1;
  return plat::formatText(out, kMessageIdRoom, "<%04d%02d%02d%02d%02d%02d.%u.%u.%s@%s>", now.year, now.month, now.day,
                          now.hour, now.minute, now.second, plat::processId(), count, randomHex, domain);
}

}  // namespace qel

// The mechanisms this library speaks. A new one is a file of its own that
// defines its SaslMechanism, and one row below.
#include <iterator>

#include "codec/text_search.h"
#include "frame/text.h"
#include "sasl/mechanism.h"

namespace qel {

extern const SaslMechanism kOauthBearerMechanism;
extern const SaslMechanism kXoauth2Mechanism;
extern const SaslMechanism kScramSha256Mechanism;
extern const SaslMechanism kCramMd5Mechanism;
extern const SaslMechanism kPlainMechanism;
extern const SaslMechanism kLoginMechanism;

namespace {

// Strongest first: the order of the choice.
const SaslMechanism* const kMechanisms[] = {
    &kOauthBearerMechanism, &kXoauth2Mechanism, &kScramSha256Mechanism,
    &kCramMd5Mechanism,     &kPlainMechanism,   &kLoginMechanism,
};

}  // namespace

const SaslMechanism* findMechanism(uint32_t bit) {
  for (const SaslMechanism* mechanism : kMechanisms) {
    if (mechanism->bit == bit) return mechanism;
  }
  return nullptr;
}

uint32_t mechanismNamed(const char* name, int32_t length) {
  for (const SaslMechanism* mechanism : kMechanisms) {
    if (textLength(mechanism->name) == length && equalsNoCase(name, mechanism->name, length)) return mechanism->bit;
  }
  return 0;
}

uint32_t mechanismsWith(uint8_t traits) {
  uint32_t bits = 0;
  for (const SaslMechanism* mechanism : kMechanisms) {
    if ((mechanism->traits & traits) == traits) bits |= mechanism->bit;
  }
  return bits;
}

uint32_t strongestMechanism(uint32_t bits) {
  for (const SaslMechanism* mechanism : kMechanisms) {
    if ((bits & mechanism->bit) != 0) return mechanism->bit;
  }
  return 0;
}

const char* mechanismName(uint32_t bit) {
  const SaslMechanism* mechanism = findMechanism(bit);
  return mechanism != nullptr ? mechanism->name : "";
}

}  // namespace qel

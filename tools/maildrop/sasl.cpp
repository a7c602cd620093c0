#include "sasl.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>

#include "codec/md5.h"

namespace maildrop {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kNotBase64 = -1;
constexpr size_t kGroupChars = 4;

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return kNotBase64;
}

std::string hexOf(const uint8_t digest[qel::kMd5DigestBytes]) {
  char hex[qel::kMd5HexChars + 1];
  qel::hexDigest(digest, hex);
  return std::string(hex, qel::kMd5HexChars);
}

char lowerHex(char c) { return (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string base64Encode(const std::string& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * kGroupChars);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t group = (static_cast<uint8_t>(bytes[i]) << 16) | (static_cast<uint8_t>(bytes[i + 1]) << 8) |
                     static_cast<uint8_t>(bytes[i + 2]);
    out += kAlphabet[(group >> 18) & 63];
    out += kAlphabet[(group >> 12) & 63];
    out += kAlphabet[(group >> 6) & 63];
    out += kAlphabet[group & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t group = static_cast<uint8_t>(bytes[i]) << 16;
    if (rest == 2) group |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    out += kAlphabet[(group >> 18) & 63];
    out += kAlphabet[(group >> 12) & 63];
    out += rest == 2 ? kAlphabet[(group >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool base64Decode(const std::string& text, std::string& out) {
  out.clear();
  if (text.size() % kGroupChars != 0) return false;
  for (size_t i = 0; i < text.size(); i += kGroupChars) {
    bool last = i + kGroupChars == text.size();
    int values[kGroupChars];
    int padding = 0;
    for (size_t k = 0; k < kGroupChars; ++k) {
      char c = text[i + k];
      // "=" may fill only the last one or two places of the last group.
      if (c == '=' && last && k >= 2) {
        ++padding;
        values[k] = 0;
        continue;
      }
      if (padding > 0) return false;
      values[k] = base64Value(c);
      if (values[k] == kNotBase64) return false;
    }
    uint32_t group = (values[0] << 18) | (values[1] << 12) | (values[2] << 6) | values[3];
    out += static_cast<char>((group >> 16) & 0xFF);
    if (padding < 2) out += static_cast<char>((group >> 8) & 0xFF);
    if (padding < 1) out += static_cast<char>(group & 0xFF);
  }
  return true;
}

std::string cramDigest(const std::string& challenge, const std::string& password) {
  uint8_t digest[qel::kMd5DigestBytes];
  qel::hmacMd5(challenge.data(), challenge.size(), password.data(), password.size(), digest);
  return hexOf(digest);
}

std::string apopDigest(const std::string& timestamp, const std::string& password) {
  return md5Hex(timestamp + password);
}

std::string md5Hex(const std::string& text) {
  uint8_t digest[qel::kMd5DigestBytes];
  qel::md5Digest(text.data(), text.size(), digest);
  return hexOf(digest);
}

bool sameDigest(const std::string& expected, const std::string& given) {
  if (expected.size() != given.size()) return false;
  unsigned difference = 0;
  for (size_t i = 0; i < expected.size(); ++i)
    difference |= static_cast<unsigned>(lowerHex(expected[i]) ^ lowerHex(given[i]));
  return difference == 0;
}

std::string makeChallenge(const std::string& host) {
  static std::atomic<uint32_t> sequence{0};
  char text[160];
  std::snprintf(text, sizeof text, "<%ld.%u.%lld@%s>", static_cast<long>(getpid()),
                static_cast<unsigned>(++sequence), static_cast<long long>(std::time(nullptr)), host.c_str());
  return text;
}

}  // namespace maildrop

// Published test vectors of the login digests, shared by the Linux test
// and the Windows platform check: SHA-256 (FIPS 180-2 examples), HMAC-
// SHA-256 (RFC 4231 cases 1 to 4, 6 and 7; case 5 is truncated output),
// PBKDF2-HMAC-SHA-256 (RFC 7914, section 11) and the SCRAM-SHA-256
// exchange of RFC 7677, section 3.
#pragma once

#include <cstdint>
#include <string>

namespace qel::test {

// Bytes written as text: "hex:..." is hexadecimal, "rep:XX*N" is byte XX
// N times, anything else is the text itself.
inline std::string vectorBytes(const std::string& text) {
  std::string out;
  auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  if (text.rfind("hex:", 0) == 0) {
    for (size_t i = 4; i + 1 < text.size(); i += 2) out += static_cast<char>(nibble(text[i]) * 16 + nibble(text[i + 1]));
  } else if (text.rfind("rep:", 0) == 0) {
    char byte = static_cast<char>(nibble(text[4]) * 16 + nibble(text[5]));
    out.assign(static_cast<size_t>(std::stoi(text.substr(7))), byte);
  } else {
    out = text;
  }
  return out;
}

inline std::string hexOf(const uint8_t* bytes, size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

struct Sha256Vector {
  const char* data;
  const char* digest;
};
constexpr Sha256Vector kSha256Vectors[] = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
};

struct HmacVector {
  const char* key;
  const char* data;
  const char* mac;
};
constexpr HmacVector kHmacVectors[] = {
    {"rep:0b*20", "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
    {"Jefe", "what do ya want for nothing?", "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
    {"rep:aa*20", "rep:dd*50", "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
    {"hex:0102030405060708090a0b0c0d0e0f10111213141516171819", "rep:cd*50",
     "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
    {"rep:aa*131", "Test Using Larger Than Block-Size Key - Hash Key First",
     "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    {"rep:aa*131",
     "This is a test using a larger than block-size key and a larger than block-size data. The key needs to be "
     "hashed before being used by the HMAC algorithm.",
     "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
};

struct Pbkdf2Vector {
  const char* password;
  const char* salt;
  uint32_t iterations;
  const char* derived;  // 64 bytes
};
constexpr Pbkdf2Vector kPbkdf2Vectors[] = {
    {"passwd", "salt", 1,
     "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc49ca9cccf179b645991664b39d77ef317c71b845b1e30b"
     "d509112041d3a19783"},
    {"Password", "NaCl", 80000,
     "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56a1d425a1225833549adb841b51c9b3176a272bdebba1d0"
     "78478f62b397f33c8d"},
};

// RFC 7677, section 3: user "user", password "pencil".
struct ScramVector {
  const char* user;
  const char* password;
  const char* clientNonce;
  const char* clientFirst;
  const char* serverFirst;
  const char* clientFinal;
  const char* serverFinal;
};
constexpr ScramVector kScramVector = {
    "user",
    "pencil",
    "rOprNGfwEbeRWgbNEkqO",
    "n,,n=user,r=rOprNGfwEbeRWgbNEkqO",
    "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096",
    "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=",
    "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=",
};

}  // namespace qel::test

// Base64 encoder and decoder: vectors, exact-size buffers, round trips and
// agreement with an independent encoder.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "codec/base64.h"
#include "exact_buffer.h"
#include "qel32.h"
#include "support/library.h"

using namespace qel;
using qel::test::ExactBuffer;

namespace {

// Room the encoder's contract asks for: 78 characters per full line of 57
// bytes, and 4 per started group plus CR LF for a last, shorter line.
size_t encodedSize(size_t length) {
  size_t rest = length % 57;
  return (length / 57) * 78 + (rest > 0 ? 4 * ((rest + 2) / 3) + 2 : 0);
}

// Room the decoder's contract asks for: 3 bytes per 4 characters of each
// line, plus 4.
size_t decodeRoom(const std::string& text) {
  size_t room = 4;
  size_t line = 0;
  for (char c : text) {
    if (c == '\r' || c == '\n') {
      room += 3 * (line / 4);
      line = 0;
    } else {
      ++line;
    }
  }
  return room + 3 * (line / 4);
}

std::string encode(const std::string& data, int32_t* result) {
  ExactBuffer source = ExactBuffer::of(data, false);
  ExactBuffer destination(encodedSize(data.size()));
  *result = qelEncodeBuffer(source.data(), destination.data(), static_cast<int32_t>(data.size()));
  return destination.bytes();
}

std::string decode(const std::string& text, int32_t* result) {
  ExactBuffer source = ExactBuffer::of(text, false);  // no NUL: only `length` may be read
  ExactBuffer destination(decodeRoom(text));
  *result = qelDecodeBuffer(source.data(), destination.data(), static_cast<int32_t>(text.size()));
  if (*result < 0 || static_cast<size_t>(*result) > destination.size()) return "<bad result>";
  // Decoded bytes are always followed by a zero byte.
  if (*result > 0 && static_cast<size_t>(*result) < destination.size()) {
    EXPECT_EQ(destination.data()[*result], '\0') << "after decoding " << text;
  }
  return destination.prefix(static_cast<size_t>(*result));
}

TEST(Base64Encode, Vectors) {
  const std::string fullLine = std::string(76, 'A') + "\r\n";
  struct Case {
    std::string data;
    std::string expected;
  } cases[] = {
      {"abc", "YWJj\r\n"},
      {"\xFF", "/w==\r\n"},
      {"\xFB\xFF", "+/8=\r\n"},
      {"f", "Zg==\r\n"},
      {"fo", "Zm8=\r\n"},
      {"foo", "Zm9v\r\n"},
      {"foob", "Zm9vYg==\r\n"},
      {"fooba", "Zm9vYmE=\r\n"},
      {"foobar", "Zm9vYmFy\r\n"},
      {std::string(57, '\0'), fullLine},
      {std::string(58, '\0'), fullLine + "AA==\r\n"},
      {std::string(114, '\0'), fullLine + fullLine},
      {std::string(116, '\0'), fullLine + fullLine + "AAA=\r\n"},
  };
  for (const Case& c : cases) {
    int32_t result = -1;
    EXPECT_EQ(encode(c.data, &result), c.expected) << c.data.size() << " bytes";
    EXPECT_EQ(result, static_cast<int32_t>(c.expected.size()));
  }
}

TEST(Base64Encode, LineHelperAndGroup) {
  // One unbroken line for a run longer than a standard line (the AUTH
  // responses): 60 bytes give 80 characters.
  const std::string name(60, 'u');
  ExactBuffer line(80 + 2);
  EXPECT_EQ(base64EncodeLine(reinterpret_cast<const uint8_t*>(name.data()), line.data(), 60), 80);
  std::string expected;
  for (int i = 0; i < 20; ++i) expected += "dXV1";
  EXPECT_EQ(line.bytes(), expected + "\r\n");

  char group[4];
  base64EncodeGroup(0x00, 0x10, 0x83, group);
  EXPECT_EQ(std::string(group, 4), "ABCD");
  base64EncodeGroup(0xFF, 0xFF, 0xFF, group);
  EXPECT_EQ(std::string(group, 4), "////");
}

TEST(Base64Decode, Vectors) {
  std::string nulThenShortLines("\0AA", 3);
  for (int i = 0; i < 99; ++i) nulThenShortLines += "\r\nAAA";
  struct Case {
    std::string text;
    std::string expected;
  } cases[] = {
      {"QUJD\r\nQQ==", "ABCA"},
      {"QUJD\r\nQQ==\r\n", "ABCA"},
      {"\r\nQUJD", "ABC"},            // a leading line end is skipped
      {"\r\n\r\nQUJD\r\n\r\n", "ABC"},
      {"QUJD\nQQ==", "ABCA"},         // a bare LF ends a line as well
      {"QU*D", std::string("A@\x03", 3)},  // "*" decodes as value 0
      {"Q U=", std::string("@\x05", 2)},   // so does a space
      {"QUJDQQ", "ABC"},              // a line loses its last 1 to 3 characters
      {"QQ==QUJD", std::string("A\0\0ABC", 6)},  // "=" counts only in the last group of a line
      {"QUI=", "AB"},
      {"Zm9vYmFy", "foobar"},
      {"+/8=", "\xFB\xFF"},
      {"QQ", ""},
      {"\r\n", ""},
      // A NUL is an invalid character, not the end of the text: the line
      // ends are still found behind it, so every short line stays short.
      {nulThenShortLines, ""},
      {std::string("QU\0D\r\nQQ==", 10), std::string("A@\x03" "A", 4)},
  };
  for (const Case& c : cases) {
    int32_t result = -1;
    EXPECT_EQ(decode(c.text, &result), c.expected) << c.text;
    EXPECT_EQ(result, static_cast<int32_t>(c.expected.size())) << c.text;
  }
}

TEST(Base64Decode, RunZeroFillAndResult) {
  struct Case {
    std::string text;
    int32_t n;
    size_t filled;  // bytes the run may write: 3 per group + 4, none for n <= 2
    int32_t result;
    std::string decoded;
  } cases[] = {
      {"QUJ", 3, 4, 0, ""},
      {"QU", 2, 0, 0, ""},
      {"Q", 1, 0, 0, ""},
      {"", 0, 0, 0, ""},
      {"QQ==", 4, 7, 1, "A"},
      {"QUI=", 4, 7, 2, "AB"},
      {"QUJD\r\n", 6, 7, 3, "ABC"},
      {"QUJDQUJDQQ=", 11, 10, 6, "ABCABC"},
      {"A===", 4, 7, 1, std::string(1, '\0')},
  };
  for (const Case& c : cases) {
    ExactBuffer source = ExactBuffer::of(c.text, false);
    ExactBuffer destination(c.filled > 0 ? c.filled : 4, '#');
    EXPECT_EQ(base64DecodeRun(source.data(), destination.data(), c.n), c.result) << c.text;
    std::string expected = c.filled == 0 ? std::string(4, '#') : c.decoded + std::string(c.filled - c.decoded.size(), '\0');
    EXPECT_EQ(destination.bytes(), expected) << c.text;
  }
}

// The fast path of the content decoders: whole groups while they come in a
// row, never past a character outside the alphabet (pad, line end, NUL),
// nor past maxGroups, nor past a group cut short; the bytes are those of
// base64DecodeRun.
TEST(Base64Decode, GroupsInARow) {
  const std::string nul(1, '\0');
  struct Case {
    std::string text;
    int32_t maxGroups;
    int32_t groups;
  } cases[] = {
      {"QUJDREVG", 10, 2},     {"QUJDREVG", 1, 1},  {"QUJDREVG", 0, 0},   {"QUJDREV", 10, 1},
      {"QUJD\r\nREVG", 10, 1}, {"QUJDRE==", 10, 1}, {"QU" + nul + "DREVG", 10, 0},
      {"+/+/AAAA____", 10, 2}, {"", 10, 0},          {"QUJDREVGR0hJ", 3, 3},
  };
  for (const Case& c : cases) {
    ExactBuffer text = ExactBuffer::of(c.text, false);
    ExactBuffer out(3 * static_cast<size_t>(c.groups));
    int32_t groups = base64DecodeGroups(text.data(), static_cast<int32_t>(c.text.size()), out.data(), c.maxGroups);
    EXPECT_EQ(groups, c.groups) << c.text;
    if (groups != c.groups) continue;
    std::vector<char> expected(3 * static_cast<size_t>(groups) + 8);
    base64DecodeRun(c.text.data(), expected.data(), 4 * groups);
    EXPECT_EQ(out.prefix(3 * static_cast<size_t>(groups)), std::string(expected.data(), 3 * static_cast<size_t>(groups)))
        << c.text;
  }
}

// The streaming decoder of both incoming decoders: the same bytes however
// the text is cut into two pieces, a cut group carried to the next piece.
TEST(Base64Decode, StreamAcrossPieces) {
  const Base64Form lenient = Base64Form::lenient, strict = Base64Form::strict;
  struct Case {
    Base64Form form;
    std::string text;
    std::string bytes;
    bool noise;
    int32_t carried;
  } cases[] = {
      {lenient, "QUJD\r\nREVG", "ABCDEF", false, 0}, {strict, "QUJD\r\nREVG", "ABCDEF", false, 0},
      {lenient, "QUI=", "AB", false, 0},             {strict, "QUI=", "AB", false, 0},
      {lenient, "QQ==", "A", false, 0},              {strict, "QQ==QUI=", "AAB", false, 0},
      {lenient, "Q*U!I=", "AB", false, 0},           {strict, "Q*U!I=", "AB", true, 0},
      {lenient, "=QUJ", "\x01\x05\x09", false, 0}, {strict, "=QUJD", "ABC", false, 0},
      {strict, "QU\tJ D", "ABC", false, 0},          {lenient, "QUJDRE", "ABC", false, 2},
  };
  for (const Case& c : cases) {
    for (size_t cut = 0; cut <= c.text.size(); ++cut) {
      DecodeCarry carry{};
      std::string out;
      auto sink = [](void* context, const char* bytes, int32_t n) {
        static_cast<std::string*>(context)->append(bytes, static_cast<size_t>(n));
      };
      uint32_t flags = base64DecodeStream(&carry, c.text.data(), static_cast<int32_t>(cut), c.form, sink, &out);
      flags |= base64DecodeStream(&carry, c.text.data() + cut, static_cast<int32_t>(c.text.size() - cut), c.form,
                                  sink, &out);
      EXPECT_EQ(out, c.bytes) << c.text << " cut at " << cut;
      EXPECT_EQ((flags & kBase64Noise) != 0, c.noise) << c.text;
      EXPECT_EQ(carry.count, c.carried) << c.text;
    }
  }
}

TEST(Base64Decode, ValueOfEveryByte) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int c = 0; c < 256; ++c) {
    size_t index = alphabet.find(static_cast<char>(c));
    int32_t expected = (c != 0 && index != std::string::npos) ? static_cast<int32_t>(index) : 0;
    EXPECT_EQ(base64Value(static_cast<char>(c)), expected) << c;
  }
  uint8_t out[3];
  base64DecodeGroup("////", out);
  EXPECT_EQ(out[0], 0xFF);
  EXPECT_EQ(out[1], 0xFF);
  EXPECT_EQ(out[2], 0xFF);
  base64DecodeGroup("\r\n==", out);
  EXPECT_EQ(out[0] | out[1] | out[2], 0);
}

// Every length from 0 to 300 through the two exports, in exact-size
// buffers on both sides.
TEST(Base64, RoundTripEveryLength) {
  std::mt19937 random(20240607);
  for (size_t length = 0; length <= 300; ++length) {
    std::string data(length, '\0');
    for (char& c : data) c = static_cast<char>(random() & 0xFF);
    int32_t encodedLength = -1;
    std::string text = encode(data, &encodedLength);
    ASSERT_EQ(encodedLength, static_cast<int32_t>(encodedSize(length))) << length;
    int32_t decodedLength = -1;
    EXPECT_EQ(decode(text, &decodedLength), data) << length;
    EXPECT_EQ(decodedLength, static_cast<int32_t>(length));
  }
}

std::string runCommand(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
  pclose(pipe);
  return output;
}

// Python's base64 module encodes every prefix of the same random data; our
// lines must match its output cut into 76-character CR LF lines, and its own
// LF-only MIME form must decode back to the data.
TEST(Base64, AgreesWithIndependentEncoder) {
  if (runCommand("command -v python3").empty()) GTEST_SKIP() << "python3 is not installed";
  qel::test::TempDir directory;
  std::mt19937 random(77);
  std::string data(300, '\0');
  for (char& c : data) c = static_cast<char>(random() & 0xFF);
  qel::test::writeFile(directory.file("data"), data);
  const char* script =
      "import base64, sys\n"
      "data = open(sys.argv[1], 'rb').read()\n"
      "out = []\n"
      "for n in range(len(data) + 1):\n"
      "    e = base64.b64encode(data[:n]).decode()\n"
      "    crlf = ''.join(e[i:i + 76] + '\\r\\n' for i in range(0, len(e), 76))\n"
      "    out.append(crlf + '#' + base64.encodebytes(data[:n]).decode())\n"
      "sys.stdout.buffer.write('|'.join(out).encode())\n";
  qel::test::writeFile(directory.file("encode.py"), script);
  std::string output = runCommand("python3 " + directory.file("encode.py") + " " + directory.file("data"));

  std::vector<std::string> entries;
  size_t start = 0;
  for (size_t bar; (bar = output.find('|', start)) != std::string::npos; start = bar + 1) {
    entries.push_back(output.substr(start, bar - start));
  }
  entries.push_back(output.substr(start));
  ASSERT_EQ(entries.size(), data.size() + 1) << "python3 output: " << output.substr(0, 200);

  for (size_t length = 0; length <= data.size(); ++length) {
    size_t hash = entries[length].find('#');
    ASSERT_NE(hash, std::string::npos);
    std::string theirs = entries[length].substr(0, hash);
    std::string theirMime = entries[length].substr(hash + 1);
    int32_t result = -1;
    EXPECT_EQ(encode(data.substr(0, length), &result), theirs) << length;
    EXPECT_EQ(decode(theirMime, &result), data.substr(0, length)) << length;
  }
}

TEST(Base64, NullPointersAndNonPositiveLengths) {
  ExactBuffer source = ExactBuffer::of("QUJDQUJD", false);
  ExactBuffer destination(16, '#');
  const std::string untouched = destination.bytes();
  struct Case {
    const char* source;
    char* destination;
    int32_t length;
  } cases[] = {
      {nullptr, destination.data(), 8}, {source.data(), nullptr, 8}, {nullptr, nullptr, 8},
      {source.data(), destination.data(), 0}, {source.data(), destination.data(), -1},
      {source.data(), destination.data(), INT32_MIN},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qelEncodeBuffer(c.source, c.destination, c.length), 0) << c.length;
    EXPECT_EQ(qelDecodeBuffer(c.source, c.destination, c.length), 0) << c.length;
    EXPECT_EQ(destination.bytes(), untouched);
  }
  // A length whose encoded size would not fit the result is refused before
  // anything is read or written.
  EXPECT_EQ(qelEncodeBuffer(source.data(), destination.data(), INT32_MAX), 0);
  EXPECT_EQ(destination.bytes(), untouched);

  uint8_t bytes[3] = {1, 2, 3};
  EXPECT_EQ(base64EncodeLine(bytes, destination.data(), 0), 0);
  EXPECT_EQ(base64EncodeLine(bytes, destination.data(), -3), 0);
  EXPECT_EQ(base64EncodeLine(nullptr, destination.data(), 3), 0);
  EXPECT_EQ(base64EncodeLine(bytes, nullptr, 3), 0);
  EXPECT_EQ(base64DecodeRun(nullptr, destination.data(), 8), 0);
  EXPECT_EQ(base64DecodeRun(source.data(), nullptr, 8), 0);
  EXPECT_EQ(base64DecodeRun(source.data(), destination.data(), -8), 0);
  EXPECT_EQ(destination.bytes(), untouched);
}

}  // namespace

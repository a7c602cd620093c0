// The codecs and text helpers, each with destinations of exactly the size
// its contract names (so the sanitizer sees a single byte written beyond).
// The first byte chooses the routine; the rest is its input.
//   0  qelEncodeBuffer, then qelDecodeBuffer of the result: the bytes again
//   1  qelDecodeBuffer of arbitrary text
//   2  quoted-printable decoding of one line
//   3  outgoing body lines (plain, quoted-printable, HTML) from a body file
//   4  qelVerifyFormat
//   5  qelExtractText and qelExtractLine (second byte: buffer size / line)
// A first byte of 240 or more chooses MIME field values instead: the
// parameters filename, name and boundary, RFC 2047 words and 8-bit text in
// charsets the system converts, each into a room of exactly
// (first byte - 239) * 8 bytes; and uuencoded content, decoded whole and in
// pieces of (first byte - 239) bytes to the same bytes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "codec/mime_params.h"
#include "codec/quoted_printable.h"
#include "codec/uuencode.h"
#include "frame/channel.h"
#include "frame/settings.h"
#include "fuzz_support.h"
#include "platform/platform.h"
#include "qel32.h"
#include "smtp/body_reader.h"

using namespace qel;
using namespace qel::fuzz;

namespace {

constexpr int32_t kLineBytes = 57;
constexpr int32_t kLineChars = 78;  // 76 characters and CR LF
constexpr int kBodyLineLimit = 100000;

// Destination rooms as include/qel32.h states them.
int32_t encodeRoom(int32_t length) {
  int32_t rest = length % kLineBytes;
  return length / kLineBytes * kLineChars + (rest > 0 ? 4 * ((rest + 2) / 3) + 2 : 0);
}

int32_t decodeRoom(const std::string& text) {
  int32_t room = 4;
  int32_t run = 0;
  for (char c : text) {
    if (c == '\r' || c == '\n') {
      room += 3 * (run / 4);
      run = 0;
    } else {
      ++run;
    }
  }
  return room + 3 * (run / 4);
}

void encodeAndDecode(const std::string& bytes) {
  int32_t length = static_cast<int32_t>(bytes.size());
  if (length == 0) return;
  auto encoded = std::make_unique<char[]>(encodeRoom(length));
  int32_t chars = qelEncodeBuffer(bytes.data(), encoded.get(), length);
  require(chars == encodeRoom(length), "the encoder writes the documented number of characters");
  std::string text(encoded.get(), chars);  // base64 holds no NUL
  auto decoded = std::make_unique<char[]>(decodeRoom(text));
  int32_t got = qelDecodeBuffer(text.data(), decoded.get(), chars);
  require(got == length && std::memcmp(decoded.get(), bytes.data(), length) == 0, "decoding gives the bytes back");
}

void decode(const std::string& text) {
  auto decoded = std::make_unique<char[]>(decodeRoom(text));
  int32_t got = qelDecodeBuffer(text.data(), decoded.get(), static_cast<int32_t>(text.size()));
  require(got >= 0 && got <= decodeRoom(text) - 4, "the decoder stays within its room");
}

void quotedPrintable(const std::string& bytes) {
  std::string line(bytes.c_str());  // one NUL-terminated line
  auto decoded = std::make_unique<char[]>(line.size() + 1);
  int32_t got = qpDecode(line.c_str(), decoded.get());
  require(got >= 0 && static_cast<size_t>(got) <= line.size() && decoded[got] == '\0',
          "a decoded line is never longer than its source");
}

void bodyLines(const std::string& bytes, uint8_t form) {
  static const int32_t kBodyTypes[] = {QEL_BODY_PLAIN, QEL_BODY_TEXT, QEL_BODY_HTML};
  const std::string path = workDir() + "/body";
  FILE* file = std::fopen(path.c_str(), "wb");
  require(file != nullptr, "the body file can be written");
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  require(qelAttach(1, 0) == 1, "the library attaches");
  ChannelRecord* record = channelRecord(0);
  require(openSmtpSession(record) == 0, "the session is made");
  record->smtp->bodyType = kBodyTypes[form % 3];
  require(openSmtpSend(record) == 0, "the send is made");
  record->smtp->send->bodyFromText = 0;
  record->fileHandle = plat::fileOpenRead(path.c_str());
  require(record->fileHandle > 0, "the body file can be read");
  resetBodyReader(record);
  int lines = 0;
  for (int32_t length = 0; lines < kBodyLineLimit; ++lines) {
    length = readBodyLine(record, record->texts.commandLine);
    if (length < 0) break;
    size_t sent = std::strlen(record->texts.commandLine);
    require(sent == static_cast<size_t>(length) || sent == static_cast<size_t>(length) + 1,
            "a body line is as long as reported (a doubled period aside)");
    require(length <= kLongestBodyLine, "a body line stays within the longest line");
  }
  require(lines < kBodyLineLimit, "the body lines come to an end");
  plat::fileClose(record->fileHandle);
  record->fileHandle = 0;
  qelRelease();
}

void verifyFormat(const std::string& bytes) {
  static const std::set<int32_t> results = {1, QEL_ERR_NULL_POINTER, QEL_ERR_EMPTY_ADDRESS, QEL_ERR_MISSING_LT,
                                            QEL_ERR_MISSING_GT, QEL_ERR_TOO_MANY_AT, QEL_ERR_BAD_ADDRESS_CHAR,
                                            QEL_ERR_MISSING_AT};
  require(results.count(qelVerifyFormat(bytes.c_str())) == 1, "qelVerifyFormat gives a documented result");
}

void extract(const std::string& bytes) {
  if (bytes.empty()) return;
  int32_t size = static_cast<uint8_t>(bytes[0]);
  std::string rest = bytes.substr(1);
  std::string text(rest.c_str());
  std::string search = rest.size() > text.size() ? std::string(rest.c_str() + text.size() + 1) : "";
  auto buffer = std::make_unique<char[]>(size > 0 ? size : 1);
  int32_t got = qelExtractText(text.c_str(), search.c_str(), buffer.get(), size);
  require(got >= 0 && (got == 0 || got < size), "qelExtractText fits its buffer");
  got = qelExtractLine(text.c_str(), size % 16, buffer.get(), size);
  require(got >= 0 && (got == 0 || got < size), "qelExtractLine fits its buffer");
}

constexpr uint8_t kFirstFieldSelector = 240;

void appendBytes(void* context, const char* bytes, int32_t n) { static_cast<std::string*>(context)->append(bytes, n); }

std::string uuDecoded(const std::string& bytes, size_t piece) {
  auto decoder = std::make_unique<UuDecoder>();
  uuStart(decoder.get());
  std::string out;
  for (size_t at = 0; at < bytes.size(); at += piece) {
    size_t n = std::min(piece, bytes.size() - at);
    uuDecodeStream(decoder.get(), bytes.data() + at, static_cast<int32_t>(n), appendBytes, &out);
  }
  uuDecodeEnd(decoder.get(), appendBytes, &out);
  return out;
}

void uuWholeAndInPieces(const std::string& bytes, size_t piece) {
  require(uuDecoded(bytes, bytes.size() + 1) == uuDecoded(bytes, piece), "uudecoding is the same in pieces");
}

void fieldValues(const std::string& bytes, uint8_t selector) {
  int32_t room = (selector - kFirstFieldSelector + 1) * 8;
  auto out = std::make_unique<char[]>(static_cast<size_t>(room));
  auto length = static_cast<int32_t>(bytes.size());
  for (const char* name : {"filename", "name", "boundary"}) {
    int32_t got = findParameter(bytes.data(), length, name, out.get(), room);
    require(got >= -1 && got < room && (got < 0 || out[got] == '\0'), "a parameter fits its room");
  }
  int32_t got = decodeEncodedWords(bytes.data(), length, out.get(), room);
  require(got >= 0 && got < room && out[got] == '\0', "decoded words fit their room");
  got = valueToken(bytes.data(), length, out.get(), room);
  require(got >= 0 && got < room && out[got] == '\0', "a token fits its room");
  for (const char* charset : {"shift_jis", "iso-2022-jp", "windows-1251", "gb18030"}) {
    got = eightBitTextAsUtf8(charset, bytes.data(), length, out.get(), room);
    require(got >= 0 && got < room && out[got] == '\0', "converted text fits its room");
  }
  uuWholeAndInPieces(bytes, selector - kFirstFieldSelector + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] >= kFirstFieldSelector) {
    fieldValues(bytes, data[0]);
    return 0;
  }
  switch (data[0] % 6) {
    case 0: encodeAndDecode(bytes); break;
    case 1: decode(bytes); break;
    case 2: quotedPrintable(bytes); break;
    case 3: bodyLines(bytes, data[0] / 6); break;
    case 4: verifyFormat(bytes); break;
    default: extract(bytes); break;
  }
  return 0;
}

/* dll_check, the exports that need no channel: base64, address checks and
 * text extraction. Destinations are followed by guard bytes that a call must
 * leave alone, since no sanitizer watches the Windows build. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "dll_check.h"

/* Bytes behind a result that a call must leave alone. */
#define GUARD_BYTES 16

static int guardIntact(const char* buffer, size_t from) {
  for (size_t i = from; i < from + GUARD_BYTES; ++i) {
    if (buffer[i] != '#') return 0;
  }
  return 1;
}

void base64(void) {
  /* Destinations hold exactly what the header asks for, then guard bytes. */
  char zeros[58];
  char expected[200];
  char out[400];
  const char* fullLine = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\r\n";
  struct {
    const char* data;
    int32_t length;
    const char* encoded;
  } vectors[] = {
      {"abc", 3, "YWJj\r\n"},  {"\xFB\xFF", 2, "+/8=\r\n"}, {"f", 1, "Zg==\r\n"},
      {"foob", 4, "Zm9vYg==\r\n"}, {"foobar", 6, "Zm9vYmFy\r\n"},
  };
  memset(zeros, 0, sizeof zeros);
  for (size_t i = 0; i < sizeof vectors / sizeof vectors[0]; ++i) {
    size_t length = strlen(vectors[i].encoded);
    memset(out, '#', sizeof out);
    CHECK_INT(qelEncodeBuffer(vectors[i].data, out, vectors[i].length), (long)length);
    CHECK_BYTES(out, length, vectors[i].encoded, length);
    CHECK(guardIntact(out, length)); /* no NUL is written after the text */
  }
  /* 57 bytes fill a line of 76 characters; the 58th starts the next. */
  snprintf(expected, sizeof expected, "%sAA==\r\n", fullLine);
  memset(out, '#', sizeof out);
  CHECK_INT(qelEncodeBuffer(zeros, out, 58), 84);
  CHECK_BYTES(out, 84, expected, 84);
  CHECK(guardIntact(out, 84));

  memset(out, '#', sizeof out);
  CHECK_INT(qelDecodeBuffer("QUJD\r\nQQ==", out, 10), 4);
  CHECK_BYTES(out, 4, "ABCA", 4);
  CHECK_INT(qelDecodeBuffer("Zm9vYmFy", out, 8), 6);
  CHECK_BYTES(out, 6, "foobar", 6);
  CHECK(guardIntact(out, 6 + 4)); /* 3 bytes per 4 characters, plus 4 */

  CHECK_INT(qelEncodeBuffer(NULL, out, 3), 0);
  CHECK_INT(qelEncodeBuffer("abc", NULL, 3), 0);
  CHECK_INT(qelEncodeBuffer("abc", out, 0), 0);
  CHECK_INT(qelDecodeBuffer(NULL, out, 4), 0);
  CHECK_INT(qelDecodeBuffer("QUJD", out, -1), 0);
}

/* Every byte value, encoded and decoded again. */
void base64RoundTrip(void) {
  /* 17 full lines of 57 bytes and one of 31: the last line has 11 groups,
   * the last with "==". Decoding may use 3 bytes per group plus 4. */
  enum { kBytes = 1000, kLines = 18, kEncoded = 17 * 78 + 44 + 2, kDecodeRoom = 17 * 57 + 11 * 3 + 4 };
  static char data[kBytes], encoded[kEncoded + GUARD_BYTES], decoded[kDecodeRoom + GUARD_BYTES];
  int lineShapeOk = 1;
  for (int i = 0; i < kBytes; ++i) data[i] = (char)((i * 7 + 3) & 0xFF);
  memset(encoded, '#', sizeof encoded);
  CHECK_INT(qelEncodeBuffer(data, encoded, kBytes), kEncoded);
  CHECK(guardIntact(encoded, kEncoded));
  for (int line = 0; line < kLines - 1; ++line) {
    const char* end = encoded + line * 78 + 76;
    lineShapeOk = lineShapeOk && end[0] == '\r' && end[1] == '\n';
  }
  CHECK(lineShapeOk);
  memset(decoded, '#', sizeof decoded);
  CHECK_INT(qelDecodeBuffer(encoded, decoded, kEncoded), kBytes);
  CHECK_BYTES(decoded, kBytes, data, kBytes);
  CHECK(guardIntact(decoded, kDecodeRoom));
}

void addresses(void) {
  const struct {
    const char* address;
    int32_t verdict;
  } cases[] = {
      {"Ann Lee <ann.lee@example.org>", 1},
      {"<A-Z_a/b$c&d'e.9@x.y>", 1},
      {"<ann@example.org>, bob without brackets", 1},
      {"ann@example.org", -41},
      {"Ann <ann@example.org", -43},
      {"", -37},
      {"Nobody <>", -47},
      {"<@example.org>", -37},
      {"<ann+tag@example.org>", -32},
      {"<ann\xE9@example.org>", -32},
      {"<ann@host@example.org>", -53},
      {"<x>", -39},
      {"Lee, Ann <ann@example.org>", -41}, /* the comma ends the first item */
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    if (!CHECK_INT(qelVerifyFormat(cases[i].address), cases[i].verdict)) printf("   address \"%s\"\n", cases[i].address);
  }
  CHECK_INT(qelVerifyFormat(NULL), -47);
  /* The recipient separator is a library setting, made through a channel. */
  CHECK_INT(qelAttach(1, 0), 1);
  CHECK_INT(qelIntegerParam(0, 23, ';'), 1);
  CHECK_INT(qelVerifyFormat("Lee, Ann <ann@example.org>"), 1);
  CHECK_INT(qelVerifyFormat("ann@example.org; <bob@example.org>"), -41);
  CHECK_INT(qelIntegerParam(0, 23, ','), 1);
  CHECK_INT(qelRelease(), 1);
}

void textExtraction(void) {
  static const char header[] =
      "Return-Path: <a@b>\r\n"
      "X-Original-To: z@y\r\n"
      "subject: Lunch\r\n"
      "\r\n"
      "last line";
  char buffer[64 + GUARD_BYTES];
  memset(buffer, '#', sizeof buffer);
  CHECK_INT(qelExtractText(header, "SUBJECT:", buffer, 17), 16);
  CHECK_TEXT(buffer, "subject: Lunch\r\n");
  CHECK(guardIntact(buffer, 17));
  CHECK_INT(qelExtractText(header, "Subject:", buffer, 16), 0); /* one byte short */
  CHECK_INT(qelExtractText(header, "To:", buffer, 64), 9);
  CHECK_TEXT(buffer, "To: z@y\r\n");
  CHECK_INT(qelExtractText(header, "Cc:", buffer, 64), 0);
  CHECK_INT(qelExtractLine(header, 3, buffer, 64), 16);
  CHECK_TEXT(buffer, "subject: Lunch\r\n");
  CHECK_INT(qelExtractLine(header, 4, buffer, 64), 2);
  CHECK_TEXT(buffer, "\r\n");
  CHECK_INT(qelExtractLine(header, 5, buffer, 64), 9);
  CHECK_TEXT(buffer, "last line");
  CHECK_INT(qelExtractLine(header, 6, buffer, 64), 0);
  CHECK_INT(qelExtractText(NULL, "a", buffer, 8), 0);
  CHECK_INT(qelExtractLine(header, 1, NULL, 8), 0);
  CHECK_INT(qelExtractLine(header, 1, buffer, 0), 0);
}

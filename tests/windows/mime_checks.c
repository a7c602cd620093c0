/* dll_check, full MIME mode against the loopback mail drop: a message whose
 * attachments are named the ways real mail names them comes back with every
 * part saved under its decoded UTF-8 name. On Windows those names reach the
 * file system through the wide-character file calls; the files are read
 * back here through the same calls, and compare_runs.py then finds the same
 * names and bytes in the Wine run as in the Linux one.
 *
 * The message is the third in the mailbox: the caller writes its MIME
 * structure itself (a plain body and its own Content-Type header line), so
 * the library sends it as it is. Its parts are named
 *   - RFC 2231 in UTF-8 ("März.png"), and continued over two sections with
 *     a CJK name;
 *   - RFC 2047, B in UTF-8 (Cyrillic) on the third line of a folded field,
 *     and Q in ISO-8859-1 ("Grüße.txt", the part quoted-printable);
 *   - twice "März.png", and once "MÄRZ.png", which is the same name to a
 *     Windows file system: the later ones are numbered, nothing is
 *     overwritten; so are "ǎ.txt", "ⅰ.txt" and "ἀ.txt" after "Ǎ.txt",
 *     "Ⅰ.txt" and "Ἀ.txt";
 *   - unencoded, in 8-bit bytes that are not UTF-8 ("\xFF.txt" and
 *     "\xFE.txt", sent with raw 8-bit bodies on): "ÿ.txt" and "þ.txt", two
 *     files;
 *   - in the charsets the system converts (iconv on Linux, the code pages
 *     of MultiByteToWideChar in QEL32.dll): windows-1251 and KOI8-R
 *     ("файл"), Shift_JIS and EUC-KR split between two words inside a
 *     character, ISO-2022-JP, GBK and Big5. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dll_check.h"

enum {
  kParamBodyType = 8,
  kParamRawEightBit = 19,
  kParamSmtpPort = 15,
  kParamPop3Port = 16,
  kParamUseEsmtp = 29,
  kParamFullMime = 130,
  kStringLogFile = 20,
  kStringAddHeader = 56,
  kStringPassword = 57,
  kStringUser = 58,
  kStatSavedCount = 22,
  kDebugSavedNames = 29,
};

enum { kBodyPlain = 0 };
enum { kPathRoom = 600, kMessageRoom = 16384, kContentRoom = 2048, kEncodedRoom = 3000, kNamesRoom = 512 };
/* The message's number in the mailbox: the server sections sent two before. */
enum { kMessageNumber = 3, kMessagesBefore = 2 };

#define SERVER "127.0.0.1"
#define FROM_TEXT "QEL Check <check@example.org>"
#define BOUNDARY "qel-names"
#define MAIL_DIR "mail-names"
#define ATTACH_DIR "attach-names"
#define MESSAGE_FILE "message-3.txt"
#define TEXT_LINE "Attachments named in every way."

/* The quoted-printable part: ISO-8859-1 text, a soft line break; the line
 * end before the delimiter belongs to the delimiter. */
#define GREETING_ENCODED "Gr=FC=DFe aus M=FCn=\r\nchen\r\n"
#define GREETING_DECODED "Gr\xFC\xDF" "e aus M\xFC" "nchen"

typedef struct {
  const char* header;    /* the part header but its transfer encoding, lines ending in CR LF */
  const char* savedName; /* the name the file must be saved under, UTF-8 */
  long length;           /* base64: pseudo-random bytes of this length; 0: the greeting, quoted-printable */
  uint32_t seed;
} NamedPart;

static const NamedPart kParts[] = {
    {"Content-Type: image/png\r\n"
     "Content-Disposition: attachment;\r\n filename*=utf-8''M%C3%A4rz.png\r\n",
     "M\xC3\xA4rz.png", 300, 0x2231u},
    {"Content-Type: application/pdf;\r\n x-unix-mode=0644;\r\n name=\"=?utf-8?b?0J7RgtGH0ZHRgi5wZGY=?=\"\r\n",
     "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.pdf", 1000, 0x2047u},
    {"Content-Type: text/plain; charset=iso-8859-1\r\n"
     "Content-Disposition: attachment; filename=\"=?iso-8859-1?q?Gr=FC=DFe.txt?=\"\r\n",
     "Gr\xC3\xBC\xC3\x9F" "e.txt", 0, 0},
    {"Content-Type: text/plain\r\n"
     "Content-Disposition: attachment;\r\n filename*0*=utf-8''%E5%A0%B1%E5%91%8A;\r\n filename*1*=%E6%9B%B8.txt\r\n",
     "\xE5\xA0\xB1\xE5\x91\x8A\xE6\x9B\xB8.txt", 57, 0x4E2Du},
    {"Content-Type: image/png; name=\"=?utf-8?q?M=C3=A4rz.png?=\"\r\n",
     "M\xC3\xA4rz (2).png", 58, 0x0002u},
    {"Content-Type: image/png\r\n"
     "Content-Disposition: inline; filename*=utf-8''M%C3%84RZ.png\r\n",
     "M\xC3\x84RZ (3).png", 1, 0x0003u},
    {"Content-Type: text/plain\r\nContent-Disposition: attachment; filename=\"\xFF.txt\"\r\n", "\xC3\xBF.txt", 5, 0x00FFu},
    {"Content-Type: text/plain; name=\"\xFE.txt\"\r\n", "\xC3\xBE.txt", 6, 0x00FEu},
    {"Content-Disposition: attachment; filename*=utf-8''%C7%8D.txt\r\n", "\xC7\x8D.txt", 7, 0x01CDu},
    {"Content-Disposition: attachment; filename*=utf-8''%C7%8E.txt\r\n", "\xC7\x8E (2).txt", 8, 0x01CEu},
    {"Content-Disposition: attachment; filename*=utf-8''%E2%85%A0.txt\r\n", "\xE2\x85\xA0.txt", 9, 0x2160u},
    {"Content-Disposition: attachment; filename*=utf-8''%E2%85%B0.txt\r\n", "\xE2\x85\xB0 (2).txt", 10, 0x2170u},
    {"Content-Disposition: attachment; filename*=utf-8''%E1%BC%88.txt\r\n", "\xE1\xBC\x88.txt", 11, 0x1F08u},
    {"Content-Disposition: attachment; filename*=utf-8''%E1%BC%80.txt\r\n", "\xE1\xBC\x80 (2).txt", 12, 0x1F00u},
    {"Content-Type: application/octet-stream;\r\n name=\"=?windows-1251?B?9ODp6y5zY3IueHo=?=\"\r\n",
     "\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB.scr.xz", 24, 0x1251u},
    {"Content-Disposition: attachment; filename*=koi8-r''%C6%C1%CA%CC.txt\r\n", "\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB.txt", 21,
     0x8066u},
    {"Content-Type: application/octet-stream;\r\n name=\"=?shift_jis?Q?=95=F1=8D?= =?shift_jis?Q?=90=8F=91.pdf?=\"\r\n",
     "\xE5\xA0\xB1\xE5\x91\x8A\xE6\x9B\xB8.pdf", 20, 0x0932u},
    {"Content-Type: application/octet-stream;\r\n name=\"=?iso-2022-jp?B?GyRCSnM5cD1xGyhCLmRvYw==?=\"\r\n",
     "\xE5\xA0\xB1\xE5\x91\x8A\xE6\x9B\xB8.doc", 20, 0x2022u},
    {"Content-Disposition: attachment; filename*=gbk''%B1%A8%B8%E6.xls\r\n", "\xE6\x8A\xA5\xE5\x91\x8A.xls", 19, 0x0936u},
    {"Content-Type: application/octet-stream;\r\n name=\"=?big5?B?s/inaS5wcHQ=?=\"\r\n", "\xE5\xA0\xB1\xE5\x91\x8A.ppt", 19,
     0x0950u},
    {"Content-Type: application/octet-stream;\r\n name=\"=?euc-kr?Q?=BA=B8=B0?= =?euc-kr?Q?=ED=BC=AD.hwp?=\"\r\n",
     "\xEB\xB3\xB4\xEA\xB3\xA0\xEC\x84\x9C.hwp", 20, 0x0949u},
};
#define PART_COUNT ((int)(sizeof kParts / sizeof kParts[0]))

/* A part's content: pseudo-random bytes (xorshift32), or the greeting. */
static long partContent(const NamedPart* part, char* out) {
  uint32_t state = part->seed;
  if (part->length == 0) {
    memcpy(out, GREETING_DECODED, sizeof GREETING_DECODED - 1);
    return (long)(sizeof GREETING_DECODED - 1);
  }
  for (long i = 0; i < part->length; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    out[i] = (char)(state >> 24);
  }
  return part->length;
}

static void append(char* message, const char* text) {
  size_t used = strlen(message);
  snprintf(message + used, kMessageRoom - used, "%s", text);
}

/* The body: a text part, then the named parts, then the closing
 * delimiter. */
static void buildBody(char* message) {
  char content[kContentRoom], encoded[kEncodedRoom];
  message[0] = '\0';
  append(message, "--" BOUNDARY "\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" TEXT_LINE "\r\n");
  for (int i = 0; i < PART_COUNT; ++i) {
    append(message, "--" BOUNDARY "\r\n");
    append(message, kParts[i].header);
    if (kParts[i].length == 0) {
      append(message, "Content-Transfer-Encoding: quoted-printable\r\n\r\n" GREETING_ENCODED);
      continue;
    }
    append(message, "Content-Transfer-Encoding: base64\r\n\r\n");
    long length = partContent(&kParts[i], content);
    int32_t written = qelEncodeBuffer(content, encoded, (int32_t)length);
    encoded[written > 0 && written < kEncodedRoom ? written : 0] = '\0';
    append(message, encoded);
  }
  append(message, "--" BOUNDARY "--\r\n");
}

static void filesPath(char* out, size_t room, const char* name) {
  snprintf(out, room, "%s" HOST_SEPARATOR "%s", options.files, name);
}

static int sendNamedParts(void) {
  char* body = (char*)malloc(kMessageRoom);
  char to[200], log[kPathRoom];
  int sent = 0;
  if (!CHECK(body != NULL)) return 0;
  buildBody(body);
  CHECK_INT(qelAttach(1, 0), 1);
  filesPath(log, sizeof log, "names-send.log");
  CHECK(qelStringParam(0, kStringLogFile, log) > 0);
  CHECK_INT(qelIntegerParam(0, kParamSmtpPort, options.smtpPort), 1);
  CHECK_INT(qelIntegerParam(0, kParamUseEsmtp, 1), 1);
  CHECK_INT(qelIntegerParam(0, kParamBodyType, kBodyPlain), 1);
  CHECK_INT(qelIntegerParam(0, kParamRawEightBit, 1), 1);
  CHECK_INT(qelStringParam(0, kStringUser, options.user), (long)strlen(options.user));
  CHECK_INT(qelStringParam(0, kStringPassword, options.password), (long)strlen(options.password));
  CHECK(qelStringParam(0, kStringAddHeader, "MIME-Version: 1.0") > 0);
  CHECK(qelStringParam(0, kStringAddHeader, "Content-Type: multipart/mixed; boundary=\"" BOUNDARY "\"") > 0);
  if (CHECK_INT(qelSmtpConnect(0, SERVER, FROM_TEXT, NULL), 0)) {
    snprintf(to, sizeof to, "<%s@localhost>", options.user);
    sent = CHECK_INT(qelSendEmail(0, to, NULL, NULL, "Names in every form", body, NULL), 0);
    CHECK_INT(qelClose(0), 0);
  }
  CHECK_INT(qelIntegerParam(0, kParamRawEightBit, 0), 1);
  CHECK_INT(qelRelease(), 1);
  free(body);
  return sent;
}

/* The expected list of saved names, as qelDebug gives it. */
static void expectedNames(char* out, size_t room) {
  out[0] = '\0';
  for (int i = 0; i < PART_COUNT; ++i) {
    size_t used = strlen(out);
    snprintf(out + used, room - used, "%s%s", i > 0 ? "," : "", kParts[i].savedName);
  }
}

static void checkFiles(const char* attachDir) {
  char content[kContentRoom], path[kPathRoom + 64];
  for (int i = 0; i < PART_COUNT; ++i) {
    long expected = partContent(&kParts[i], content), length = 0;
    char* data;
    snprintf(path, sizeof path, "%s" HOST_SEPARATOR "%s", attachDir, kParts[i].savedName);
    data = hostReadFile(path, &length);
    if (!CHECK_BYTES(data, length, content, expected)) printf("   file %s\n", path);
    free(data);
  }
}

void fullMimeNames(void) {
  char mailDir[kPathRoom], attachDir[kPathRoom], messagePath[kPathRoom + 32], log[kPathRoom];
  char names[kNamesRoom], expected[kNamesRoom];
  long length = 0;
  char* data;
  if (!sendNamedParts()) return;

  filesPath(mailDir, sizeof mailDir, MAIL_DIR);
  filesPath(attachDir, sizeof attachDir, ATTACH_DIR);
  CHECK(hostMakeDirectory(mailDir));
  CHECK(hostMakeDirectory(attachDir));
  CHECK_INT(qelAttach(1, 0), 1);
  filesPath(log, sizeof log, "names-download.log");
  CHECK(qelStringParam(0, kStringLogFile, log) > 0);
  CHECK_INT(qelIntegerParam(0, kParamPop3Port, options.pop3Port), 1);
  CHECK_INT(qelIntegerParam(0, kParamFullMime, 1), 1);
  if (CHECK_INT(qelPop3Connect(0, SERVER, options.user, options.password), 0)) {
    CHECK_INT(qelGetEmailCount(0), kMessagesBefore + 1);
    CHECK_INT(qelGetEmailFile(0, kMessageNumber, MESSAGE_FILE, mailDir, attachDir), 0);
    CHECK_INT(qelStatistics(0, kStatSavedCount), PART_COUNT);
    expectedNames(expected, sizeof expected);
    CHECK_INT(qelDebug(0, kDebugSavedNames, names, (int32_t)sizeof names), (long)strlen(expected));
    CHECK_TEXT(names, expected);
    CHECK_INT(qelClose(0), 0);
  }
  CHECK_INT(qelRelease(), 1);
  checkFiles(attachDir);

  /* The readable text stays in the message file; the parts do not. */
  snprintf(messagePath, sizeof messagePath, "%s" HOST_SEPARATOR MESSAGE_FILE, mailDir);
  data = hostReadFile(messagePath, &length);
  if (!CHECK(data != NULL)) return;
  CHECK(strstr(data, TEXT_LINE "\r\n") != NULL);
  CHECK(strstr(data, GREETING_ENCODED) == NULL);
  free(data);
}

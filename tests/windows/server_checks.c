/* dll_check, the sections that talk to a mail server on 127.0.0.1: the
 * project's loopback mail drop, with one mailbox that starts empty.
 *
 * Two messages go out through the library and come back through it:
 *   1. HTML (body type 2) with a few hundred KB of pseudo-random bytes shown
 *      under another name, and an inline GIF image;
 *   2. quoted-printable text (body type 1) read from a file, with an extra
 *      header line and an empty attachment.
 * The downloads must give back every attachment byte for byte, under the
 * saved names and counts the library reports. Message 1 is downloaded twice,
 * into directories given without and with a trailing separator.
 *
 * The bytes are the same on every run and platform, so that the mail drop's
 * Maildirs and the downloaded files of a Windows run and a Linux run can be
 * compared (compare_runs.py). Then the exact codes and texts of refused
 * connections, logins and recipients. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dll_check.h"

/* Settings, statistics and queries, by the numbers an application passes. */
enum {
  kParamBodyType = 8,
  kParamSmtpPort = 15,
  kParamPop3Port = 16,
  kParamBlockingConnect = 18,
  kParamUseEsmtp = 29,
  kParamUseApop = 30,
  kParamAutoCall = 9,
  kParamClosePause = 100,
  kStringLogFile = 20,
  kStringAddHeader = 56,
  kStringPassword = 57,
  kStringUser = 58,
  kStatReplyCode = 3,
  kStatSocketCode = 4,
  kStatMessageBytesRead = 10,
  kStatAttachBytesRead = 11,
  kStatMessageBytesSent = 13,
  kStatAttachBytesSent = 14,
  kStatConnection = 20,
  kStatSavedCount = 22,
  kDebugSavedNames = 29,
};

enum { kBodyHtml = 2, kBodyText = 1 };
enum { kPathRoom = 600, kTextRoom = 1024 };

/* Errors the sections expect. */
enum {
  kErrCannotOpen = -35,
  kErrConnect = -36,
  kErrNotConnected = -44,
  kErrSmtp = -49,
  kErrPop3 = -63,
  kErrRefused = -10061,
};

#define FROM_TEXT "QEL Check <check@example.org>"
#define REPLY_TO_TEXT "<replies@example.org>"
#define SERVER "127.0.0.1"

/* ---- the files that go out --------------------------------------------- */

/* A few hundred KB, not a multiple of 3 or 57: the last base64 line is
 * short and padded. */
#define PAYLOAD_BYTES 300001L
#define PAYLOAD_NAME "payload.bin"
#define PAYLOAD_SOURCE "payload-source.bin"
#define IMAGE_NAME "pixel.gif"
#define EMPTY_NAME "empty.txt"
#define BODY_SOURCE "body.txt"

/* A 1x1 GIF image. */
static const unsigned char kPixelGif[] = {
    0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00,
    0xFF, 0xFF, 0xFF, 0x21, 0xF9, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x2C, 0x00, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3B,
};

static const char kHtmlBody[] =
    "<html><body>\r\n"
    "<p>Two platforms, one message.</p>\r\n"
    "<img src=\"cid:message-root.1\" alt=\"pixel\">\r\n"
    ".a line that starts with a period\r\n"
    "</body></html>\r\n";

/* Message 2's text file: 8-bit bytes, "=", a lone ".", a line longer than
 * a quoted-printable line, an LF without CR, and no line end at the end. */
static const char kTextBody[] =
    "Second message, its text read from a file.\r\n"
    "An equals sign = and a byte \xE9 go quoted-printable.\r\n"
    ".\r\n"
    "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuv\n"
    "last line without a line end";

/* The same pseudo-random bytes on every run (xorshift32). */
static unsigned char* makePayload(void) {
  unsigned char* data = (unsigned char*)malloc((size_t)PAYLOAD_BYTES);
  uint32_t state = 0x51E1D00Du;
  if (data == NULL) return NULL;
  for (long i = 0; i < PAYLOAD_BYTES; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    data[i] = (unsigned char)(state >> 24);
  }
  return data;
}

/* Bytes the library sends for a file in base64: 76 characters and CR LF
 * for each 57 bytes, a shorter padded line for the rest. */
static long base64LineBytes(long length) {
  long rest = length % 57;
  return length / 57 * 78 + (rest > 0 ? (rest + 2) / 3 * 4 + 2 : 0);
}

/* ---- paths ---------------------------------------------------------------- */

/* A path in the directory where downloads go and stay (--files). */
static void filesPath(char* out, size_t room, const char* name) {
  snprintf(out, room, "%s" HOST_SEPARATOR "%s", options.files, name);
}

/* The download directories: the first pair is given to the library
 * without a trailing separator, the second with one. */
#define MAIL_DIR "mail"
#define ATTACH_DIR "attach"
#define MAIL_DIR_SLASH "mail-slash"
#define ATTACH_DIR_SLASH "attach-slash"

static void mailboxAddress(char* out, size_t room, const char* display) {
  snprintf(out, room, "%s<%s@localhost>", display, options.user);
}

/* Whether the bytes hold the text. */
static int holds(const char* data, long length, const char* text) {
  long n = (long)strlen(text);
  if (data == NULL) return 0;
  for (long i = 0; i + n <= length; ++i) {
    if (memcmp(data + i, text, (size_t)n) == 0) return 1;
  }
  return 0;
}

/* Opens a channel's log among the downloads: the sent lines of both
 * platforms' runs are compared, and a failed run leaves its dialogues
 * behind. */
static void openLog(int32_t chan, const char* name) {
  char path[kPathRoom];
  filesPath(path, sizeof path, name);
  CHECK(qelStringParam(chan, kStringLogFile, path) > 0);
}

/* ---- sending ----------------------------------------------------------- */

void sendMessages(void) {
  char payloadPath[kPathRoom], imagePath[kPathRoom], bodyPath[kPathRoom], emptyPath[kPathRoom];
  char attachments[3 * kPathRoom], message[kPathRoom + 1], to[200];
  unsigned char* payload = makePayload();
  if (!CHECK(payload != NULL)) return;

  hostPath(payloadPath, sizeof payloadPath, PAYLOAD_SOURCE);
  hostPath(imagePath, sizeof imagePath, IMAGE_NAME);
  hostPath(bodyPath, sizeof bodyPath, BODY_SOURCE);
  hostPath(emptyPath, sizeof emptyPath, EMPTY_NAME);
  CHECK(hostWriteFile(payloadPath, payload, PAYLOAD_BYTES));
  CHECK(hostWriteFile(imagePath, kPixelGif, (long)sizeof kPixelGif));
  CHECK(hostWriteFile(bodyPath, kTextBody, (long)strlen(kTextBody)));
  CHECK(hostWriteFile(emptyPath, "", 0));
  free(payload);

  CHECK_INT(qelAttach(2, 0), 1);
  openLog(0, "send.log");
  CHECK_INT(qelIntegerParam(0, kParamSmtpPort, options.smtpPort), 1);
  CHECK_INT(qelIntegerParam(0, kParamUseEsmtp, 1), 1);
  CHECK_INT(qelStringParam(0, kStringUser, options.user), (long)strlen(options.user));
  CHECK_INT(qelStringParam(0, kStringPassword, options.password), (long)strlen(options.password));
  if (!CHECK_INT(qelSmtpConnect(0, SERVER, FROM_TEXT, REPLY_TO_TEXT), 0)) {
    CHECK_INT(qelRelease(), 1);
    return;
  }

  /* 1: HTML with the payload shown under another name, and the image. */
  mailboxAddress(to, sizeof to, "QEL Mailbox ");
  snprintf(attachments, sizeof attachments, "%s|" PAYLOAD_NAME ",%s", payloadPath, imagePath);
  CHECK_INT(qelIntegerParam(0, kParamBodyType, kBodyHtml), 1);
  CHECK_INT(qelSendEmail(0, to, NULL, NULL, "Two platforms, one message", kHtmlBody, attachments), 0);
  CHECK_INT(qelStatistics(0, kStatMessageBytesRead), (long)strlen(kHtmlBody));
  /* Every body line is shorter than a line may be, so each is sent as it
   * is: the bytes sent are the bytes read (the doubled period of the
   * fourth line is not counted). */
  CHECK_INT(qelStatistics(0, kStatMessageBytesSent), (long)strlen(kHtmlBody));
  CHECK_INT(qelStatistics(0, kStatAttachBytesRead), PAYLOAD_BYTES + (long)sizeof kPixelGif);
  CHECK_INT(qelStatistics(0, kStatAttachBytesSent),
            base64LineBytes(PAYLOAD_BYTES) + base64LineBytes((long)sizeof kPixelGif));

  /* 2: quoted-printable text from a file, an extra header line, and an
   * empty attachment; on the same connection. */
  mailboxAddress(to, sizeof to, "");
  snprintf(message, sizeof message, "@%s", bodyPath);
  CHECK_INT(qelIntegerParam(0, kParamBodyType, kBodyText), 1);
  CHECK_INT(qelStringParam(0, kStringAddHeader, "X-Check: two platforms"), 4);
  CHECK_INT(qelSendEmail(0, to, NULL, NULL, "Second message", message, emptyPath), 0);
  CHECK_INT(qelStatistics(0, kStatMessageBytesRead), (long)strlen(kTextBody));
  CHECK_INT(qelStatistics(0, kStatAttachBytesRead), 0);
  CHECK_INT(qelStatistics(0, kStatAttachBytesSent), 0);

  CHECK_INT(qelClose(0), 0);
  CHECK_INT(qelRelease(), 1);

  CHECK(hostRemoveFile(payloadPath));
  CHECK(hostRemoveFile(imagePath));
  CHECK(hostRemoveFile(bodyPath));
  CHECK(hostRemoveFile(emptyPath));
}

/* ---- downloading --------------------------------------------------------- */

/* A directory and a name joined as the library must join them: one
 * separator between them, none added when the directory ends in one. */
static void joined(char* out, size_t room, const char* directory, const char* name) {
  size_t used = strlen(directory);
  const char* separator = (used > 0 && directory[used - 1] == HOST_SEPARATOR[0]) ? "" : HOST_SEPARATOR;
  snprintf(out, room, "%s%s%s", directory, separator, name);
}

/* Checks one attachment file against its source. */
static void checkSavedFile(const char* directory, const char* name, const char* expected, long expectedLength) {
  char path[kPathRoom + 32];
  long length = 0;
  char* data;
  joined(path, sizeof path, directory, name);
  data = hostReadFile(path, &length);
  if (!CHECK_BYTES(data, length, expected, expectedLength)) printf("   file %s\n", path);
  free(data);
}

/* The note line the library writes into the message file where a saved
 * part ended. */
static int holdsNote(const char* data, long length, const char* directory, const char* name) {
  char path[kPathRoom + 32], note[kPathRoom + 96];
  joined(path, sizeof path, directory, name);
  snprintf(note, sizeof note, "[Attachment saved to \"%s\"]\r\n", path);
  if (!holds(data, length, note)) {
    printf("   no note line %s", note);
    return 0;
  }
  return 1;
}

/* Downloads message 1 into the two directories; given with a trailing
 * separator when slash is set. */
static void downloadFirst(const char* mailName, const char* attachName, int slash, const char* payload,
                          const char* firstBase64Line) {
  char mailDir[kPathRoom], attachDir[kPathRoom], messagePath[kPathRoom + 32], names[256];
  long length = 0;
  char* data;
  filesPath(mailDir, sizeof mailDir, mailName);
  filesPath(attachDir, sizeof attachDir, attachName);
  CHECK(hostMakeDirectory(mailDir));
  CHECK(hostMakeDirectory(attachDir));
  if (slash) {
    strncat(mailDir, HOST_SEPARATOR, sizeof mailDir - strlen(mailDir) - 1);
    strncat(attachDir, HOST_SEPARATOR, sizeof attachDir - strlen(attachDir) - 1);
  }

  CHECK_INT(qelGetEmailFile(0, 1, "message-1.txt", mailDir, attachDir), 0);
  CHECK_INT(qelStatistics(0, kStatSavedCount), 2);
  memset(names, '#', sizeof names);
  CHECK_INT(qelDebug(0, kDebugSavedNames, names, (int32_t)sizeof names), (long)strlen(PAYLOAD_NAME "," IMAGE_NAME));
  CHECK_TEXT(names, PAYLOAD_NAME "," IMAGE_NAME);

  checkSavedFile(attachDir, PAYLOAD_NAME, payload, PAYLOAD_BYTES);
  checkSavedFile(attachDir, IMAGE_NAME, (const char*)kPixelGif, (long)sizeof kPixelGif);

  joined(messagePath, sizeof messagePath, mailDir, "message-1.txt");
  data = hostReadFile(messagePath, &length);
  if (!CHECK(data != NULL)) {
    printf("   no message file %s\n", messagePath);
    return;
  }
  CHECK(holdsNote(data, length, attachDir, PAYLOAD_NAME));
  CHECK(holdsNote(data, length, attachDir, IMAGE_NAME));
  CHECK(holds(data, length, "Subject: Two platforms, one message\r\n"));
  CHECK(holds(data, length, "<p>Two platforms, one message.</p>\r\n"));
  /* The period the sender doubled is gone again. */
  CHECK(holds(data, length, "\r\n.a line that starts with a period\r\n"));
  /* Saved parts are not copied into the message file. */
  CHECK(!holds(data, length, firstBase64Line));
  free(data);
}

static void downloadSecond(void) {
  char mailDir[kPathRoom], attachDir[kPathRoom], messagePath[kPathRoom], names[64];
  long length = 0;
  char* data;
  filesPath(mailDir, sizeof mailDir, MAIL_DIR);
  filesPath(attachDir, sizeof attachDir, ATTACH_DIR);
  CHECK_INT(qelGetEmailFile(0, 2, "message-2.txt", mailDir, attachDir), 0);
  CHECK_INT(qelStatistics(0, kStatSavedCount), 1);
  CHECK_INT(qelDebug(0, kDebugSavedNames, names, (int32_t)sizeof names), (long)strlen(EMPTY_NAME));
  CHECK_TEXT(names, EMPTY_NAME);
  checkSavedFile(attachDir, EMPTY_NAME, "", 0);

  filesPath(messagePath, sizeof messagePath, MAIL_DIR HOST_SEPARATOR "message-2.txt");
  data = hostReadFile(messagePath, &length);
  if (!CHECK(data != NULL)) return;
  CHECK(holdsNote(data, length, attachDir, EMPTY_NAME));
  CHECK(holds(data, length, "X-Check: two platforms\r\n"));
  /* The text as it was in the file, decoded again: the bytes back, the
   * soft line break joined, every line ending in CR LF. */
  CHECK(holds(data, length,
              "\r\n\r\nSecond message, its text read from a file.\r\n"
              "An equals sign = and a byte \xE9 go quoted-printable.\r\n"
              ".\r\n"
              "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuv\r\n"
              "last line without a line end\r\n"));
  free(data);
}

void downloadMessages(void) {
  char firstBase64Line[100];
  unsigned char* payload = makePayload();
  int32_t encoded;
  if (!CHECK(payload != NULL)) return;
  encoded = qelEncodeBuffer((const char*)payload, firstBase64Line, 57);
  CHECK_INT(encoded, 78);
  firstBase64Line[encoded > 0 && encoded < (int32_t)sizeof firstBase64Line ? encoded : 0] = '\0';

  CHECK_INT(qelAttach(1, 0), 1);
  openLog(0, "download.log");
  CHECK_INT(qelIntegerParam(0, kParamPop3Port, options.pop3Port), 1);
  CHECK_INT(qelIntegerParam(0, kParamUseApop, 1), 1);
  if (CHECK_INT(qelPop3Connect(0, SERVER, options.user, options.password), 0)) {
    CHECK_INT(qelGetEmailCount(0), 2);
    downloadFirst(MAIL_DIR, ATTACH_DIR, 0, (const char*)payload, firstBase64Line);
    downloadFirst(MAIL_DIR_SLASH, ATTACH_DIR_SLASH, 1, (const char*)payload, firstBase64Line);
    downloadSecond();
    CHECK_INT(qelClose(0), 0);
  }
  CHECK_INT(qelRelease(), 1);
  free(payload);
}

/* ---- failures ------------------------------------------------------------ */

/* The error text of a code on a channel, as a fresh string. */
static const char* errorText(int32_t chan, int32_t code) {
  static char text[kTextRoom];
  text[0] = '\0';
  qelErrorText(chan, code, text, (int32_t)sizeof text);
  return text;
}

void connectFailures(void) {
  CHECK_INT(qelAttach(2, 0), 1);
  /* A connect that blocks meets the refusal itself: its code is kept. */
  CHECK_INT(qelIntegerParam(0, kParamSmtpPort, options.refusedPort), 1);
  CHECK_INT(qelIntegerParam(0, kParamBlockingConnect, 1), 1);
  CHECK_INT(qelSmtpConnect(0, SERVER, FROM_TEXT, NULL), kErrConnect);
  CHECK_INT(qelStatistics(0, kStatSocketCode), kErrRefused);
  CHECK_TEXT(errorText(0, kErrConnect), "Error attempting to connect. ");
  CHECK_TEXT(errorText(0, kErrRefused), "Connection refused by remote host.");
  CHECK_INT(qelSendEmail(0, "<a@example.org>", NULL, NULL, "s", "m", NULL), kErrNotConnected);

  /* A connect that does not block learns of it from the error condition of
   * the socket, which carries no code. */
  CHECK_INT(qelIntegerParam(1, kParamPop3Port, options.refusedPort), 1);
  CHECK_INT(qelPop3Connect(1, SERVER, options.user, options.password), kErrConnect);
  CHECK_INT(qelStatistics(1, kStatSocketCode), 0);
  CHECK_TEXT(errorText(1, kErrConnect), "Error attempting to connect. ");
  CHECK_INT(qelStatistics(1, kStatConnection), kErrConnect);
  /* ... but the channel still knows why. */
  CHECK_INT(qelConnectError(1), kErrRefused);

  /* The IPv6 loopback, with and without brackets: nothing listens there on
   * this port either. */
  CHECK_INT(qelPop3Connect(1, "::1", options.user, options.password), kErrConnect);
  CHECK_INT(qelConnectError(1), kErrRefused);
  CHECK_INT(qelPop3Connect(1, "[::1]", options.user, options.password), kErrConnect);
  CHECK_INT(qelConnectError(1), kErrRefused);
  CHECK_INT(qelRelease(), 1);
}

void loginFailures(void) {
  char wrong[80], to[200], missing[kPathRoom];
  snprintf(wrong, sizeof wrong, "%s-not", options.password);
  CHECK_INT(qelAttach(3, 0), 1);
  openLog(0, "failures.log");

  /* POP3, USER and PASS, then APOP: the server's reply follows the text. */
  CHECK_INT(qelIntegerParam(0, kParamPop3Port, options.pop3Port), 1);
  CHECK_INT(qelPop3Connect(0, SERVER, options.user, wrong), kErrPop3);
  CHECK_INT(qelStatistics(0, kStatSocketCode), 0);
  CHECK_INT(qelStatistics(0, kStatReplyCode), 500);
  CHECK_TEXT(errorText(0, kErrPop3), "POP3 returned error. -ERR [AUTH] invalid user name or password\r\n");
  CHECK_INT(qelIntegerParam(0, kParamUseApop, 1), 1);
  CHECK_INT(qelPop3Connect(0, SERVER, options.user, wrong), kErrPop3);
  CHECK_TEXT(errorText(0, kErrPop3), "POP3 returned error. -ERR [AUTH] invalid user name or password\r\n");

  /* SMTP authentication with the wrong password. */
  CHECK_INT(qelIntegerParam(1, kParamSmtpPort, options.smtpPort), 1);
  CHECK_INT(qelIntegerParam(1, kParamUseEsmtp, 1), 1);
  CHECK_INT(qelStringParam(1, kStringUser, options.user), (long)strlen(options.user));
  CHECK_INT(qelStringParam(1, kStringPassword, wrong), (long)strlen(wrong));
  CHECK_INT(qelSmtpConnect(1, SERVER, FROM_TEXT, NULL), kErrSmtp);
  CHECK_INT(qelStatistics(1, kStatReplyCode), 535);
  CHECK_TEXT(errorText(1, kErrSmtp), "SMTP returned error. 535 5.7.8 Error: authentication failed\r\n");

  /* Logged in, a recipient without a mailbox is refused. */
  CHECK_INT(qelIntegerParam(2, kParamSmtpPort, options.smtpPort), 1);
  CHECK_INT(qelIntegerParam(2, kParamUseEsmtp, 1), 1);
  CHECK_INT(qelStringParam(2, kStringUser, options.user), (long)strlen(options.user));
  CHECK_INT(qelStringParam(2, kStringPassword, options.password), (long)strlen(options.password));
  CHECK_INT(qelSmtpConnect(2, SERVER, FROM_TEXT, NULL), 0);
  snprintf(to, sizeof to, "<nobody-%s@localhost>", options.user);
  CHECK_INT(qelSendEmail(2, to, NULL, NULL, "s", "m", NULL), kErrSmtp);
  CHECK_INT(qelStatistics(2, kStatReplyCode), 550);
  {
    char expected[300];
    snprintf(expected, sizeof expected,
             "SMTP returned error. 550 5.1.1 <nobody-%s@localhost>: Recipient address rejected: User unknown\r\n",
             options.user);
    CHECK_TEXT(errorText(2, kErrSmtp), expected);
  }
  CHECK_INT(qelSendEmail(2, to, NULL, NULL, "s", "m", NULL), kErrNotConnected);

  /* An attachment that cannot be opened ends the send in the middle of the
   * message, which the server then drops. */
  hostPath(missing, sizeof missing, "no-such-file.bin");
  mailboxAddress(to, sizeof to, "");
  CHECK_INT(qelSmtpConnect(2, SERVER, FROM_TEXT, NULL), 0);
  CHECK_INT(qelSendEmail(2, to, NULL, NULL, "s", "m", missing), kErrCannotOpen);
  CHECK_TEXT(errorText(2, kErrCannotOpen), "Cannot open file.");
  CHECK_INT(qelRelease(), 1);
}

/* ---- several channels driven from one thread ------------------------------ */

/* Connects and closes a few channels at once, driving them with qelDriver
 * and sleeping in qelWait in between: the wait over several sockets. */
void drivenChannels(void) {
  enum { kChannels = 4, kMaxRounds = 2000, kWaitMs = 5000, kAnyChannel = -1 };
  int phase[kChannels];
  int32_t ch, socket = 0, events = 0;
  int left = kChannels, round;
  CHECK_INT(qelAttach(kChannels, 0), 1);
  CHECK_INT(qelIntegerParam(0, kParamClosePause, 0), 1);
  for (ch = 0; ch < kChannels; ++ch) {
    phase[ch] = 0;
    CHECK_INT(qelIntegerParam(ch, kParamSmtpPort, options.smtpPort), 1);
    CHECK_INT(qelIntegerParam(ch, kParamAutoCall, 0), 1);
    CHECK_INT(qelSmtpConnect(ch, SERVER, FROM_TEXT, NULL), 0);
  }
  for (round = 0; left > 0 && round < kMaxRounds; ++round) {
    for (ch = 0; ch < kChannels; ++ch) {
      int32_t rc;
      if (phase[ch] == 2) continue;
      rc = qelDriver(ch);
      if (rc > 0) continue;
      CHECK_INT(rc, 0);
      if (++phase[ch] == 1) {
        CHECK_INT(qelClose(ch), 0);
      } else {
        --left;
      }
    }
    CHECK(qelWait(kAnyChannel, kWaitMs) >= 0);
  }
  CHECK_INT(left, 0);
  /* Nothing runs any more, and channel 0 has no socket. */
  CHECK_INT(qelWait(kAnyChannel, kWaitMs), 0);
  CHECK_INT(qelWaitPlan(0, &socket, &events), 0);
  CHECK_INT(socket, -1);
  CHECK_INT(events, 0);
  CHECK_INT(qelRelease(), 1);
}

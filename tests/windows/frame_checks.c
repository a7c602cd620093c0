/* dll_check, the library frame: attach and release, the channel check,
 * settings, statistics, error texts, the channel log and the diagnostic
 * queries, all through the loaded library's exports. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dll_check.h"

/* ---- attach, release and the channel check ----------------------------- */

void lifecycle(void) {
  char text[64];
  CHECK_INT(qelRelease(), 1);
  CHECK_INT(qelStatistics(0, 16), -71);
  CHECK_INT(qelAttach(129, 0), -73);
  CHECK_INT(qelStatistics(0, 16), -71);
  CHECK_INT(qelAttach(128, 12345), 1);
  CHECK_INT(qelAttach(1, 0), -72);
  CHECK_INT(qelStatistics(127, 16), 0x0341);
  CHECK_INT(qelStatistics(128, 16), -73);
  CHECK_INT(qelRelease(), 1);
  CHECK_INT(qelRelease(), 1);

  /* Only the low 16 bits of a channel count or number are read. */
  CHECK_INT(qelAttach(65536 + 3, -1), 1);
  CHECK_INT(qelStatistics(2, 26), 16);
  CHECK_INT(qelStatistics(3, 26), -73);
  CHECK_INT(qelStatistics(-1, 26), -73);
  CHECK_INT(qelErrorText(65536, 0, text, (int32_t)sizeof text), 13);
  CHECK_TEXT(text, "Cannot comply");
  CHECK_INT(qelErrorText(INT32_MIN, -72, text, (int32_t)sizeof text), 17);
  CHECK_INT(qelIntegerParam(65537, 15, 25), 1);
  CHECK_INT(qelRelease(), 1);

  {
    const int32_t channels[] = {0, 1, -1, 65536, 200};
    for (int i = 0; i < 5; ++i) {
      CHECK_INT(qelErrorText(channels[i], 0, text, (int32_t)sizeof text), -71);
      CHECK_INT(qelIntegerParam(channels[i], 1, 25), -71);
      CHECK_INT(qelStringParam(channels[i], 50, "x"), -71);
      CHECK_INT(qelStatistics(channels[i], 2), -71);
      CHECK_INT(qelDebug(channels[i], 23, text, 10), -71);
    }
  }

  /* Zero channels leave the library unattached; a later attach works. */
  CHECK_INT(qelAttach(0, 0), 1);
  CHECK_INT(qelStatistics(0, 16), -71);
  CHECK_INT(qelAttach(2, 0), 1);
  CHECK_INT(qelStatistics(1, 16), 0x0341);
  /* The ready-made message calls: channel check first, then the protocol. */
  CHECK_INT(qelSendPreparedFile(2, NULL, "a@example.org", "m.eml"), -73);
  CHECK_INT(qelSendPreparedMemory(1, NULL, "a@example.org", "x", 1), -58);
  CHECK_INT(qelRelease(), 1);
}

/* ---- integer and text settings ----------------------------------------- */

typedef struct {
  int32_t index;
  int32_t value;
} Setting;

/* Every served index with its default, so setting them changes nothing for
 * the sections that follow. */
static const Setting kIntegerDefaults[] = {
    {1, 25},  {2, 25000}, {3, 60000}, {5, 0},   {6, 25000}, {8, 0},   {9, 1},    {10, 0},  {11, 25000},
    {12, 25000}, {13, 100}, {14, 0},  {15, 25}, {16, 110},  {17, 78}, {18, 0},   {19, 0},  {21, 0},
    {22, 0},  {23, ','},  {24, 1},    {25, ','}, {26, '|'}, {27, 1},  {28, 0},   {29, 0},  {30, 0},
};

void integerParams(void) {
  const int32_t refused[] = {0, 4, 7, 20, 31, -1, 1000};
  CHECK_INT(qelAttach(2, 0), 1);
  for (size_t i = 0; i < sizeof kIntegerDefaults / sizeof kIntegerDefaults[0]; ++i) {
    CHECK_INT(qelIntegerParam(1, kIntegerDefaults[i].index, kIntegerDefaults[i].value), 1);
  }
  for (size_t i = 0; i < sizeof refused / sizeof refused[0]; ++i) {
    CHECK_INT(qelIntegerParam(0, refused[i], 5), -1);
  }
  CHECK_INT(qelRelease(), 1);
}

void stringParams(void) {
  char longText[301];
  memset(longText, 'a', 300);
  longText[300] = '\0';
  CHECK_INT(qelAttach(1, 0), 1);
  /* Texts that go into the message are kept whole or refused (-150);
   * credentials are cut at their capacity. The result is the length kept. */
  CHECK_INT(qelStringParam(0, 50, longText), -150);
  CHECK_INT(qelStringParam(0, 53, "<a@b>"), 5);
  CHECK_INT(qelStringParam(0, 54, longText), -150);
  CHECK_INT(qelStringParam(0, 55, longText), -150);
  CHECK_INT(qelStringParam(0, 55, longText + 172), 128);
  CHECK_INT(qelStringParam(0, 57, longText), 64);
  CHECK_INT(qelStringParam(0, 58, "tim"), 3);
  CHECK_INT(qelStringParam(0, 49, "x"), -1);
  CHECK_INT(qelStringParam(0, 58, NULL), -47);
  /* Extra header lines: set, append, remove. */
  CHECK_INT(qelStringParam(0, 51, "X-A: one\r\n"), 2);
  CHECK_INT(qelStringParam(0, 51, "X-A: one"), 4);
  CHECK_INT(qelStringParam(0, 56, "X-B: two"), 4);
  CHECK_INT(qelStringParam(0, 51, ""), 0);
  CHECK_INT(qelStringParam(0, 56, "X-C: 3\n"), 3);
  CHECK_INT(qelStringParam(0, 51, "ab"), 3);
  CHECK_INT(qelStringParam(0, 51, ""), 0);
  /* No lines block to save, no log to write to. */
  CHECK_INT(qelStringParam(0, 41, "lines.txt"), -47);
  CHECK_INT(qelStringParam(0, 52, "nothing"), 0);
  /* The content type and encoding are library-wide: back to empty. */
  CHECK_INT(qelStringParam(0, 54, ""), 0);
  CHECK_INT(qelStringParam(0, 55, ""), 0);
  CHECK_INT(qelRelease(), 1);
}

void statistics(void) {
  const int32_t zero[] = {2, 3, 4, 10, 11, 12, 13, 14, 15, 17, 18, 19, 22, 24, 27};
  const int32_t refused[] = {0, 1, 5, 6, 7, 8, 9, 21, 23, 25, 28, -3};
  CHECK_INT(qelAttach(1, 0), 1);
  CHECK_INT(qelStatistics(0, 16), 833);
  CHECK_INT(qelStatistics(0, 26), 16);
  for (size_t i = 0; i < sizeof zero / sizeof zero[0]; ++i) CHECK_INT(qelStatistics(0, zero[i]), 0);
  for (size_t i = 0; i < sizeof refused / sizeof refused[0]; ++i) CHECK_INT(qelStatistics(0, refused[i]), -1);
  /* A channel that never connected has no usable socket. */
  CHECK_INT(qelStatistics(0, 20), -36);
  CHECK_INT(qelRelease(), 1);
}

/* ---- error texts -------------------------------------------------------- */

typedef struct {
  int32_t code;
  const char* text;
} ErrorText;

static const ErrorText kErrorTexts[] = {
    {0, "Cannot comply"},
    {-1, "Socket has been closed."},
    {-4, "WINSOCK is currently blocking."},
    {-5, "Bad status flag passed to qelStatus."},
    {-7, "Invalid socket."},
    {-8, "Socket timed out."},
    {-9, "No available sockaddr structures."},
    {-12, "No host name."},
    {-18, "Cannot create socket."},
    {-31, "Response buffer has overflowed."},
    {-32, "Bad character in email address."},
    {-34, "Cannot access WINSOCK"},
    {-35, "Cannot open file."},
    {-37, "EMPTY email address."},
    {-38, "FromPtr is NULL."},
    {-39, "Missing '@' character in email address."},
    {-40, "Missing FROM email address."},
    {-41, "Missing '<' delimiter in email address."},
    {-43, "Missing '>' terminating email address."},
    {-44, "Not connected to server"},
    {-45, "Must have at least one recipient."},
    {-46, "Cannot find SMTP/POP3 server."},
    {-47, "Unexpected NULL pointer."},
    {-48, "ToPtr is NULL."},
    {-50, "SMTP/POP3 server not specified."},
    {-51, "Socket read error."},
    {-52, "Socket write error."},
    {-53, "Too many '@' symbols in email address."},
    {-54, "Found unexpected '>' character in email address."},
    {-55, "Cannot allocate memory."},
    {-56, "Illegal chars in server name."},
    {-57, "APOP timestamp missing."},
    {-58, "SMTP function ONLY."},
    {-59, "POP3 function ONLY."},
    {-61, "USER name not specified."},
    {-62, "PASSWORD not specified."},
    {-64, "No such message number."},
    {-65, "Missing filename."},
    {-66, "Missing email path."},
    {-67, "Cannot create file."},
    {-68, "Buffer is NULL."},
    {-69, "Buffer size < 128."},
    {-70, "Missing path for attachments."},
    {-71, "Must call qelAttach first."},
    {-72, "Already attached."},
    {-73, "Channel out of range."},
    {-10004, "Interrupted system call."},
    {-10009, "Bad file number."},
    {-10013, "Access denied."},
    {-10014, "Bad address."},
    {-10022, "Invalid argument."},
    {-10024, "Too many open files."},
    {-10035, "Would block socket in non-blocking mode."},
    {-10036, "Blocking call already in progress."},
    {-10037, "Operation already completed."},
    {-10038, "Not a valid socket"},
    {-10039, "Destination address required."},
    {-10040, "Message too big for buffer."},
    {-10041, "Protocol mismatch."},
    {-10042, "Protocol option invalid."},
    {-10043, "Protocol not supported."},
    {-10044, "Socket type not supported."},
    {-10045, "Socket operation not supported."},
    {-10047, "Socket address family not supported."},
    {-10048, "Socket address already in use."},
    {-10049, "Socket address not available."},
    {-10050, "Network error."},
    {-10051, "Cannot reach network."},
    {-10052, "Connection dropped."},
    {-10053, "Connection timed-out or aborted."},
    {-10054, "Connection reset by remote host."},
    {-10055, "Out of buffer space."},
    {-10056, "Socket already connected."},
    {-10057, "Socket not connected."},
    {-10058, "Socket functionality shut down."},
    {-10060, "Timed-out attempting to connect."},
    {-10061, "Connection refused by remote host."},
    {-10064, "Host is down"},
    {-10065, "No route to host"},
    {-10091, "Network not yet ready."},
    {-10092, "WINSOCK doesn't support requested version."},
    {-10093, "Sockets not initialized. Call WSAStartup."},
    {-11001, "Host does not exist."},
    {-11002, "Host not found. Try again."},
    {-11003, "Non-recoverable error has occurred."},
    {-11004, "No data is available."},
};

void errorTexts(void) {
  char text[512];
  const int32_t unknown[] = {-2, -3, -6, -42, -60, -74, 5, 999, -10000, -10046};
  CHECK_INT(qelAttach(2, 0), 1);
  for (size_t i = 0; i < sizeof kErrorTexts / sizeof kErrorTexts[0]; ++i) {
    memset(text, '#', sizeof text);
    if (!CHECK_INT(qelErrorText(1, kErrorTexts[i].code, text, (int32_t)sizeof text),
                   (long)strlen(kErrorTexts[i].text)))
      printf("   code %ld\n", (long)kErrorTexts[i].code);
    CHECK_TEXT(text, kErrorTexts[i].text);
  }
  for (size_t i = 0; i < sizeof unknown / sizeof unknown[0]; ++i) {
    memset(text, '#', sizeof text);
    CHECK_INT(qelErrorText(0, unknown[i], text, 64), 0);
    CHECK_TEXT(text, "");
  }
  /* The three codes that carry the last reply get a space and the reply,
   * here an empty one. */
  CHECK_INT(qelErrorText(0, -36, text, (int32_t)sizeof text), 29);
  CHECK_TEXT(text, "Error attempting to connect. ");
  CHECK_INT(qelErrorText(0, -49, text, (int32_t)sizeof text), 21);
  CHECK_TEXT(text, "SMTP returned error. ");
  CHECK_INT(qelErrorText(0, -63, text, (int32_t)sizeof text), 21);
  CHECK_TEXT(text, "POP3 returned error. ");
  /* Cut at size - 1. */
  CHECK_INT(qelErrorText(0, -49, text, 20), 19);
  CHECK_TEXT(text, "SMTP returned error");
  CHECK_INT(qelErrorText(0, -73, text, 1), 0);
  CHECK_TEXT(text, "");
  /* Hostile arguments. */
  CHECK_INT(qelErrorText(0, -8, NULL, 100), 0);
  text[0] = '#';
  CHECK_INT(qelErrorText(0, -8, text, 0), 0);
  CHECK_INT(qelErrorText(0, -8, text, -5), 0);
  CHECK(text[0] == '#');
  CHECK_INT(qelErrorText(2, -8, text, 10), -73);
  CHECK_INT(qelRelease(), 1);
}

/* ---- the channel log, written through the library's file calls --------- */

/* Appends text to a growing expectation; returns the new length. */
static size_t expect(char* buffer, size_t used, size_t room, const char* text, size_t length) {
  if (used + length >= room) return used;
  memcpy(buffer + used, text, length);
  buffer[used + length] = '\0';
  return used + length;
}
#define EXPECT_TEXT(text) used = expect(expected, used, sizeof expected, (text), strlen(text))

void logFile(void) {
  char path[600], second[600], missing[600];
  char longText[1501];
  char expected[4096];
  size_t used = 0;
  long length = 0;
  char* written;
  int32_t handle;

  hostPath(path, sizeof path, "chan2.log");
  hostPath(second, sizeof second, "second.log");
  hostPath(missing, sizeof missing, "no" HOST_SEPARATOR "such" HOST_SEPARATOR "dir.log");
  memset(longText, 'L', 1500);
  longText[1500] = '\0';

  CHECK_INT(qelAttach(3, 0), 1);
  handle = qelStringParam(2, 20, path);
  CHECK(handle > 0);
  CHECK_INT(qelIntegerParam(2, 7, -3), -1);
  CHECK_INT(qelStringParam(2, 52, "hello"), handle);
  CHECK_INT(qelStringParam(2, 52, longText), handle);
  CHECK_INT(qelStringParam(2, 57, "secret"), 6);
  CHECK_INT(qelIntegerParam(1, 13, 100), 1); /* channel 1 has no log */
  CHECK_INT(qelRelease(), 1);

  EXPECT_TEXT("*** qelIntegerParam(2,7,-3)\r\n");
  EXPECT_TEXT("*** qelStringParam(2,52,hello)\r\nhello\r\n");
  /* An entry line is formatted text: at most 1023 characters, so the long
   * one loses its end and its CR LF; the text itself is written whole. */
  EXPECT_TEXT("*** qelStringParam(2,52,");
  used = expect(expected, used, sizeof expected, longText, 1023 - strlen("*** qelStringParam(2,52,"));
  EXPECT_TEXT(longText);
  EXPECT_TEXT("\r\n");
  EXPECT_TEXT("*** qelStringParam(2,57,secret)\r\n");
  EXPECT_TEXT("Releasing channel 2\r\n");
  written = hostReadFile(path, &length);
  CHECK_BYTES(written, length, expected, used);
  free(written);
  CHECK(hostRemoveFile(path));

  /* A second log replaces the first, which is closed. */
  CHECK_INT(qelAttach(1, 0), 1);
  handle = qelStringParam(0, 20, path);
  CHECK(handle > 0);
  handle = qelStringParam(0, 20, second);
  CHECK(handle > 0);
  CHECK_INT(qelStringParam(0, 52, "in b"), handle);
#if defined(_WIN32)
  /* Windows refuses to delete a file that is open: the first log can go,
   * the second cannot until release closes it. */
  CHECK(hostRemoveFile(path));
  CHECK(!hostRemoveFile(second));
#endif
  CHECK_INT(qelRelease(), 1);
  used = 0;
  expected[0] = '\0';
  EXPECT_TEXT("*** qelStringParam(0,52,in b)\r\nin b\r\nReleasing channel 0\r\n");
  written = hostReadFile(second, &length);
  CHECK_BYTES(written, length, expected, used);
  free(written);
  CHECK(hostRemoveFile(second));
  hostRemoveFile(path);

  /* A log that cannot be created leaves logging off. */
  CHECK_INT(qelAttach(1, 0), 1);
  CHECK_INT(qelStringParam(0, 20, missing), -1);
  CHECK_INT(qelStringParam(0, 52, "nowhere"), 0);
  CHECK_INT(qelRelease(), 1);
}

/* ---- diagnostic queries and the date line ------------------------------ */

static const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
static const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

static int nameIndex(const char* const* names, int count, const char* name) {
  for (int i = 0; i < count; ++i) {
    if (strcmp(names[i], name) == 0) return i;
  }
  return -1;
}

/* "Date: Www, D Mmm YYYY H:MM:SS +ZZZZ" for today, in the given zone. */
static void checkDateLine(const char* line, const HostDate* today) {
  char day[8] = "", month[8] = "", zone[8] = "", rebuilt[128];
  int dayOfMonth = -1, year = -1, hour = -1, minute = -1, second = -1;
  int fields = sscanf(line, "Date: %3[A-Za-z], %d %3[A-Za-z] %d %d:%d:%d %7s", day, &dayOfMonth, month, &year,
                      &hour, &minute, &second, zone);
  CHECK_INT(fields, 8);
  if (fields != 8) {
    printf("   date line \"%s\"\n", line);
    return;
  }
  /* Written back in the exact layout, the line must come out the same:
   * this catches padding, spacing and the comma. */
  snprintf(rebuilt, sizeof rebuilt, "Date: %s, %d %s %d %d:%02d:%02d %s", day, dayOfMonth, month, year, hour, minute,
           second, zone);
  CHECK_TEXT(line, rebuilt);
  CHECK_INT(nameIndex(kDayNames, 7, day), today->dayOfWeek);
  CHECK_INT(nameIndex(kMonthNames, 12, month) + 1, today->month);
  CHECK_INT(dayOfMonth, today->day);
  CHECK_INT(year, today->year);
  CHECK(hour >= 0 && hour <= 23);
  CHECK(minute >= 0 && minute <= 59);
  CHECK(second >= 0 && second <= 60);
  CHECK(strlen(zone) == 5 && (zone[0] == '+' || zone[0] == '-') && strspn(zone + 1, "0123456789") == 4 &&
        zone[3] <= '5');
  if (options.zone != NULL) CHECK_TEXT(zone, options.zone);
}

void diagnostics(void) {
  char buffer[256];
  char full[256];
  HostDate before, after;
  int attempt;

  /* The memory sweep needs no channel; with every block intact it must not
   * open its alert. */
  CHECK_INT(qelDebug(-2, 0, NULL, 0), 0);
  CHECK_INT(qelAttach(2, 0), 1);
  CHECK_INT(qelStringParam(1, 50, "<reply@example.org>"), 19);
  CHECK_INT(qelDebug(-2, 0, NULL, 0), 0);
  CHECK_INT(hostWindowCount(), 0);

  /* Read the date on both sides of the query, so a run across midnight
   * tries again instead of failing. */
  for (attempt = 0; attempt < 2; ++attempt) {
    hostToday(&before);
    CHECK_INT(qelDebug(0, -12, buffer, 200), 0);
    hostToday(&after);
    if (memcmp(&before, &after, sizeof before) == 0) break;
  }
  checkDateLine(buffer, &after);
  memcpy(full, buffer, sizeof full);
  CHECK_INT(qelDebug(0, -12, buffer, 10), 0);
  CHECK_INT((long)strlen(buffer), 10);
  CHECK(strncmp(buffer, full, 10) == 0);

  CHECK_INT(qelDebug(0, 999, buffer, 10), 0);
  CHECK_TEXT(buffer, "?");
  CHECK_INT(qelDebug(0, 25, buffer, 16), 0);
  CHECK_TEXT(buffer, "");
  CHECK_INT(qelDebug(0, 25, buffer, 17), 7);
  CHECK_TEXT(buffer, "0.0.0.0");
  CHECK_INT(qelDebug(0, 28, buffer, 17), 0);
  CHECK_TEXT(buffer, "");
  CHECK_INT(qelDebug(0, 23, buffer, 128), 0);
  CHECK_TEXT(buffer, "");
  CHECK_INT(qelDebug(1, 29, buffer, 100), 0);
  CHECK_INT(qelDebug(1, 30, buffer, 100), 0);
  CHECK_INT(qelDebug(1, 40, buffer, 100), -47);
  CHECK_INT(qelDebug(0, 23, NULL, 100), 0);
  CHECK_INT(qelDebug(2, 23, buffer, 10), -73);
  CHECK_INT(qelRelease(), 1);
}

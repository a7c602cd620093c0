/* A very small check harness for the programs that run under Wine, where
 * GoogleTest is not at hand: every check prints a line when it fails, the
 * program prints a summary and returns non-zero when anything failed.
 *
 *   SECTION("error texts");
 *   CHECK(handle > 0);
 *   CHECK_INT(qelAttach(3, 0), 1);
 *   CHECK_TEXT(buffer, "Channel out of range.");
 *   CHECK_BYTES(data, length, expected, expectedLength);
 */
#ifndef QEL_TESTS_WINDOWS_CHECK_H
#define QEL_TESTS_WINDOWS_CHECK_H

#include <stdio.h>
#include <string.h>

static int checkCount = 0;
static int checkFailures = 0;
static const char* checkSectionName = "";

static inline void checkSection(const char* name) {
  checkSectionName = name;
  printf("-- %s\n", name);
  fflush(stdout);
}

static inline int checkReport(int ok, int line, const char* what) {
  ++checkCount;
  if (!ok) {
    ++checkFailures;
    printf("FAIL [%s] line %d: %s\n", checkSectionName, line, what);
    fflush(stdout);
  }
  return ok;
}

static inline int checkLong(long actual, long expected, const char* what, int line) {
  if (actual == expected) return checkReport(1, line, what);
  printf("FAIL [%s] line %d: %s is %ld, expected %ld\n", checkSectionName, line, what, actual, expected);
  ++checkCount;
  ++checkFailures;
  fflush(stdout);
  return 0;
}

static inline int checkString(const char* actual, const char* expected, const char* what, int line) {
  if (actual != NULL && expected != NULL && strcmp(actual, expected) == 0) return checkReport(1, line, what);
  printf("FAIL [%s] line %d: %s is \"%s\", expected \"%s\"\n", checkSectionName, line, what,
         actual ? actual : "(null)", expected ? expected : "(null)");
  ++checkCount;
  ++checkFailures;
  fflush(stdout);
  return 0;
}

/* Compares byte strings that may hold CR, LF and NUL; shows where they part. */
static inline int checkByteString(const char* actual, long actualLength, const char* expected, long expectedLength,
                                  const char* what, int line) {
  long at = 0;
  if (actual != NULL && actualLength == expectedLength && memcmp(actual, expected, (size_t)actualLength) == 0)
    return checkReport(1, line, what);
  if (actual != NULL) {
    while (at < actualLength && at < expectedLength && actual[at] == expected[at]) ++at;
  }
  printf("FAIL [%s] line %d: %s: %ld bytes, expected %ld; first difference at byte %ld\n", checkSectionName, line,
         what, actual ? actualLength : -1L, expectedLength, at);
  ++checkCount;
  ++checkFailures;
  fflush(stdout);
  return 0;
}

static inline int checkSummary(const char* program) {
  printf("%s: %d checks, %d failed\n", program, checkCount, checkFailures);
  fflush(stdout);
  return checkFailures == 0 ? 0 : 1;
}

#define SECTION(name) checkSection(name)
#define CHECK(condition) checkReport((condition) ? 1 : 0, __LINE__, #condition)
#define CHECK_INT(actual, expected) checkLong((long)(actual), (long)(expected), #actual, __LINE__)
#define CHECK_TEXT(actual, expected) checkString((actual), (expected), #actual, __LINE__)
#define CHECK_BYTES(actual, actualLength, expected, expectedLength) \
  checkByteString((actual), (long)(actualLength), (expected), (long)(expectedLength), #actual, __LINE__)

#endif

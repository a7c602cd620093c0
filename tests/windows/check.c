/* The check harness of check.h. */
#include "check.h"

#include <stdio.h>
#include <string.h>

static int checkCount = 0;
static int checkFailures = 0;
static const char* checkSectionName = "";

void checkSection(const char* name) {
  checkSectionName = name;
  printf("-- %s\n", name);
  fflush(stdout);
}

/* Counts one check; prints the detail line of a failure first. */
static int count(int ok) {
  ++checkCount;
  if (!ok) ++checkFailures;
  fflush(stdout);
  return ok;
}

int checkReport(int ok, int line, const char* what) {
  if (!ok) printf("FAIL [%s] line %d: %s\n", checkSectionName, line, what);
  return count(ok);
}

int checkLong(long actual, long expected, const char* what, int line) {
  int ok = actual == expected;
  if (!ok) printf("FAIL [%s] line %d: %s is %ld, expected %ld\n", checkSectionName, line, what, actual, expected);
  return count(ok);
}

int checkString(const char* actual, const char* expected, const char* what, int line) {
  int ok = actual != NULL && expected != NULL && strcmp(actual, expected) == 0;
  if (!ok) {
    printf("FAIL [%s] line %d: %s is \"%s\", expected \"%s\"\n", checkSectionName, line, what,
           actual ? actual : "(null)", expected ? expected : "(null)");
  }
  return count(ok);
}

int checkByteString(const char* actual, long actualLength, const char* expected, long expectedLength,
                    const char* what, int line) {
  long at = 0;
  int ok = actual != NULL && actualLength == expectedLength &&
           memcmp(actual, expected, (size_t)actualLength) == 0;
  if (!ok) {
    if (actual != NULL) {
      while (at < actualLength && at < expectedLength && actual[at] == expected[at]) ++at;
    }
    printf("FAIL [%s] line %d: %s: %ld bytes, expected %ld; first difference at byte %ld\n", checkSectionName,
           line, what, actual ? actualLength : -1L, expectedLength, at);
  }
  return count(ok);
}

void checkFail(const char* what) {
  printf("FAIL [%s]: %s\n", checkSectionName, what);
  count(0);
}

int checkSummary(const char* program) {
  printf("%s: %d checks, %d failed\n", program, checkCount, checkFailures);
  fflush(stdout);
  return checkFailures == 0 ? 0 : 1;
}

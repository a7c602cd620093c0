/* A very small check harness for the programs that run under Wine, where
 * GoogleTest is not at hand: every check prints a line when it fails, the
 * program prints a summary and returns non-zero when anything failed.
 *
 *   SECTION("error texts");
 *   CHECK(handle > 0);
 *   CHECK_INT(qelAttach(3, 0), 1);
 *   CHECK_TEXT(buffer, "Channel out of range.");
 *   CHECK_BYTES(data, length, expected, expectedLength);
 *
 * Each macro returns 1 when the check held, so a caller can add detail:
 *   if (!CHECK_INT(...)) printf("   address %s\n", address);
 */
#ifndef QEL_TESTS_WINDOWS_CHECK_H
#define QEL_TESTS_WINDOWS_CHECK_H

#ifdef __cplusplus
extern "C" {
#endif

void checkSection(const char* name);
int checkReport(int ok, int line, const char* what);
int checkLong(long actual, long expected, const char* what, int line);
int checkString(const char* actual, const char* expected, const char* what, int line);
/* Byte strings that may hold CR, LF and NUL; a failure shows where they part. */
int checkByteString(const char* actual, long actualLength, const char* expected, long expectedLength,
                    const char* what, int line);
/* Counts a failure that is not a single comparison (a missing export ...). */
void checkFail(const char* what);
/* Prints the totals; returns the program's exit status. */
int checkSummary(const char* program);

#ifdef __cplusplus
}
#endif

#define SECTION(name) checkSection(name)
#define CHECK(condition) checkReport((condition) ? 1 : 0, __LINE__, #condition)
#define CHECK_INT(actual, expected) checkLong((long)(actual), (long)(expected), #actual, __LINE__)
#define CHECK_TEXT(actual, expected) checkString((actual), (expected), #actual, __LINE__)
#define CHECK_BYTES(actual, actualLength, expected, expectedLength) \
  checkByteString((actual), (long)(actualLength), (expected), (long)(expectedLength), #actual, __LINE__)

#endif

/* Compiled as C: proves that the public header is usable from C, and that the
 * shared library exports what the header declares. */
#include "qel32.h"

#include <stdio.h>
#include <string.h>

int main(void) {
  char text[64];
  int32_t rc;
  if (qelAttach(2, 0) != 1) return 1;
  rc = qelErrorText(0, QEL_ERR_CHANNEL_RANGE, text, (int32_t)sizeof text);
  if (rc != 21 || strcmp(text, "Channel out of range.") != 0) {
    printf("unexpected text %d '%s'\n", (int)rc, text);
    return 1;
  }
  if (qelStatistics(1, QEL_STAT_VERSION) != 0x0341) return 1;
  /* Channel 0 is no SMTP channel yet. */
  if (qelSendPreparedFile(0, NULL, "a@example.org", "m.eml") != QEL_ERR_SMTP_ONLY) return 1;
  if (qelSendPreparedMemory(0, NULL, "a@example.org", "x", 1) != QEL_ERR_SMTP_ONLY) return 1;
  if (qelRelease() != 1) return 1;
  if (qelStatistics(0, QEL_STAT_VERSION) != QEL_ERR_NOT_ATTACHED) return 1;
  puts("C header ok");
  return 0;
}

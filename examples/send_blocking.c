/*
 * send_blocking.c - send one message, the simplest way: every operation runs
 * to completion before it returns (autoCall is on by default).
 *
 *   send_blocking SERVER PORT FROM TO [ATTACHMENT]
 *
 * FROM and TO are address texts such as "Ann <ann@example.org>".
 */
#include <stdio.h>
#include <stdlib.h>

#include "qel32.h"

/* Prints a failed step with the library's text for the code; for server
 * refusals the text ends with the server's own reply. */
static int report(const char *what, int32_t code) {
  char text[512];
  qelErrorText(0, code, text, (int32_t)sizeof text);
  fprintf(stderr, "%s failed (%d): %s\n", what, (int)code, text);
  return 1;
}

int main(int argc, char **argv) {
  int32_t rc;
  const char *attachment = argc > 5 ? argv[5] : NULL;
  if (argc < 5) {
    fprintf(stderr, "usage: %s SERVER PORT FROM TO [ATTACHMENT]\n", argv[0]);
    return 2;
  }
  if (qelAttach(1, 0) != 1) return 1;
  qelIntegerParam(0, QEL_PARAM_SMTP_PORT, atoi(argv[2]));
  qelIntegerParam(0, QEL_PARAM_REPLY_TIMEOUT, 10000);

  rc = qelSmtpConnect(0, argv[1], argv[3], NULL);
  if (rc < 0) {
    qelRelease();
    return report("connect", rc);
  }
  rc = qelSendEmail(0, argv[4], NULL, NULL, "Hello from QEL", "This message was sent in blocking mode.\r\n",
                    attachment);
  if (rc < 0) {
    report("send", rc);
    qelClose(0);
    qelRelease();
    return 1;
  }
  qelClose(0);
  qelRelease();
  puts("sent");
  return 0;
}

/*
 * bench_channels.c - the many-channel case of scripts/bench.sh: COUNT
 * messages over COUNT SMTP connections at once, all driven from one thread
 * with qelDriver and qelWait, without the library's pauses.
 *
 *   bench_channels SERVER PORT FROM TO COUNT BODYFILE
 *
 * Each message's text is read from BODYFILE ("@" form of qelSendEmail).
 * Prints "N sent, M failed"; exit status 0 when every message was taken.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qel32.h"

enum phase { CONNECTING, SENDING, CLOSING, DONE, FAILED };

/* How long one qelWait may sleep before the loop looks round again. */
#define WAIT_SLICE_MS 1000

static void fast_timing(int32_t chan, int32_t port) {
  qelIntegerParam(chan, QEL_PARAM_SMTP_PORT, port);
  qelIntegerParam(chan, QEL_PARAM_AUTO_CALL, 0);
  qelIntegerParam(chan, QEL_PARAM_MINIMUM_WAIT, 0);
  qelIntegerParam(chan, QEL_PARAM_LOGIN_PAUSE, 0);
  qelIntegerParam(chan, QEL_PARAM_CLOSE_PAUSE, 0);
  qelIntegerParam(chan, QEL_PARAM_POLL_INTERVAL, 0);
  qelIntegerParam(chan, QEL_PARAM_FINAL_REPLY_WAIT, 0);
}

int main(int argc, char **argv) {
  static enum phase phase[QEL_MAX_CHANNELS];
  static char message[4096];
  int32_t count, chan, busy, progress, sent = 0, failed = 0;
  if (argc < 7) {
    fprintf(stderr, "usage: %s SERVER PORT FROM TO COUNT BODYFILE\n", argv[0]);
    return 2;
  }
  count = atoi(argv[5]);
  if (count < 1 || count > QEL_MAX_CHANNELS || strlen(argv[6]) + 2 > sizeof message) return 2;
  snprintf(message, sizeof message, "@%s", argv[6]);
  if (qelAttach(count, 0) != 1) return 1;
  for (chan = 0; chan < count; chan++) {
    fast_timing(chan, atoi(argv[2]));
    phase[chan] = qelSmtpConnect(chan, argv[1], argv[3], NULL) < 0 ? FAILED : CONNECTING;
    if (phase[chan] == FAILED) failed++;
  }
  do {
    busy = 0;
    progress = 0;
    for (chan = 0; chan < count; chan++) {
      int32_t rc;
      if (phase[chan] == DONE || phase[chan] == FAILED) continue;
      busy = 1;
      rc = qelDriver(chan);
      if (rc == QEL_WAITING) continue;
      progress = 1;
      if (rc > 0) continue;
      if (rc < 0) {
        fprintf(stderr, "channel %d failed (%d) in phase %d\n", (int)chan, (int)rc, (int)phase[chan]);
        if (phase[chan] == CLOSING) {
          phase[chan] = DONE;
        } else {
          phase[chan] = FAILED;
          failed++;
        }
      } else if (phase[chan] == CONNECTING) {
        phase[chan] = SENDING;
        if (qelSendEmail(chan, argv[4], NULL, NULL, "bench", message, NULL) < 0) {
          phase[chan] = FAILED;
          failed++;
        }
      } else if (phase[chan] == SENDING) {
        sent++;
        qelClose(chan);
        phase[chan] = CLOSING;
      } else {
        phase[chan] = DONE;
      }
    }
    /* Nothing could run: sleep until a socket or a pause lets a channel on. */
    if (busy && !progress) qelWait(QEL_WAIT_ANY_CHANNEL, WAIT_SLICE_MS);
  } while (busy);
  qelRelease();
  printf("%d sent, %d failed\n", (int)sent, (int)failed);
  return failed == 0 ? 0 : 1;
}

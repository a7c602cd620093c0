/*
 * many_channels.c - one thread, several connections at once.
 *
 * With autoCall off, an operation only stages its work and returns 0; the
 * program then calls qelDriver for each busy channel in turn. qelDriver runs
 * at most one step and returns, so the channels make progress side by side.
 * A channel's operation is done when qelDriver returns 0, failed when it
 * returns a negative code (the library has then closed that connection).
 *
 *   many_channels SERVER PORT FROM TO COUNT
 *
 * sends COUNT messages (1 to 32) over COUNT simultaneous SMTP connections.
 */
#include <stdio.h>
#include <stdlib.h>

#include "qel32.h"

#define MAX_CHANNELS 32

enum phase { CONNECTING, SENDING, CLOSING, DONE, FAILED };

static const char *const phase_names[] = {"connect", "send", "QUIT"};

int main(int argc, char **argv) {
  enum phase phase[MAX_CHANNELS];
  int32_t count, chan, busy, sent = 0, failed = 0;
  char subject[64];
  if (argc < 6) {
    fprintf(stderr, "usage: %s SERVER PORT FROM TO COUNT\n", argv[0]);
    return 2;
  }
  count = atoi(argv[5]);
  if (count < 1 || count > MAX_CHANNELS) {
    fprintf(stderr, "COUNT must be from 1 to %d\n", MAX_CHANNELS);
    return 2;
  }
  if (qelAttach(count, 0) != 1) return 1;

  for (chan = 0; chan < count; chan++) {
    qelIntegerParam(chan, QEL_PARAM_SMTP_PORT, atoi(argv[2]));
    qelIntegerParam(chan, QEL_PARAM_AUTO_CALL, 0);
    phase[chan] = CONNECTING;
    if (qelSmtpConnect(chan, argv[1], argv[3], NULL) < 0) { /* arguments refused */
      phase[chan] = FAILED;
      failed++;
    }
  }

  /* The loop of a program that serves many channels: one step for each
   * busy channel in turn. A program with other work would do it here too. */
  do {
    busy = 0;
    for (chan = 0; chan < count; chan++) {
      int32_t rc;
      if (phase[chan] == DONE || phase[chan] == FAILED) continue;
      busy = 1;
      rc = qelDriver(chan);
      if (rc > 0) continue; /* a step ran, or the channel waits: come back later */
      if (rc < 0) {
        char text[512];
        qelErrorText(chan, rc, text, (int32_t)sizeof text);
        fprintf(stderr, "channel %d: %s failed (%d): %s\n", (int)chan, phase_names[phase[chan]], (int)rc, text);
        if (phase[chan] == CLOSING) {
          phase[chan] = DONE; /* the message had been accepted already */
        } else {
          phase[chan] = FAILED;
          failed++;
        }
        continue;
      }
      /* rc == 0: the channel's operation is finished; stage the next one. */
      if (phase[chan] == CONNECTING) {
        sprintf(subject, "Message %d of %d", (int)chan + 1, (int)count);
        phase[chan] = SENDING;
        if (qelSendEmail(chan, argv[4], NULL, NULL, subject, "Sent while other channels were busy too.\r\n",
                         NULL) < 0) { /* the arguments were refused: nothing was staged */
          fprintf(stderr, "channel %d: send refused\n", (int)chan);
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
  } while (busy);

  qelRelease();
  printf("%d sent, %d failed\n", (int)sent, (int)failed);
  return failed == 0 ? 0 : 1;
}

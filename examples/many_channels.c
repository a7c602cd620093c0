/*
 * many_channels.c - one thread, many connections at once.
 *
 * With autoCall off, an operation only stages its work and returns 0; the
 * program then calls qelDriver for each busy channel in turn. qelDriver runs
 * at most one step and returns, so the channels make progress side by side.
 * A channel's operation is done when qelDriver returns 0, failed when it
 * returns a negative code (the library has then closed that connection).
 * After each round the thread sleeps in qelWait until a channel has work
 * again: a reply has come, a socket takes data again, a pause is over.
 *
 *   many_channels [--fast] [--body FILE] [--messages N] SERVER PORT FROM TO COUNT
 *
 * sends COUNT messages (1 to QEL_MAX_CHANNELS) over COUNT simultaneous SMTP
 * connections, or N messages over each with --messages N. --fast turns the
 * library's pauses off (what a program that drives many channels usually
 * wants); --body FILE sends FILE's text as each message's body.
 * scripts/bench.sh runs it with these options. Where the server offers
 * PIPELINING, each message's envelope goes out in one write.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qel32.h"

enum phase { CONNECTING, SENDING, CLOSING, DONE, FAILED };

static const char *const phase_names[] = {"connect", "send", "QUIT"};

/* How long one qelWait may sleep before the loop looks round again. */
#define WAIT_SLICE_MS 1000

struct options {
  int fast;
  long messages;
  const char *body_file;
  const char *server, *port, *from, *to, *count;
};

static int parse_options(int argc, char **argv, struct options *opt) {
  int i = 1;
  memset(opt, 0, sizeof *opt);
  opt->messages = 1;
  for (; i < argc && strncmp(argv[i], "--", 2) == 0; i++) {
    if (strcmp(argv[i], "--fast") == 0) {
      opt->fast = 1;
    } else if (strcmp(argv[i], "--body") == 0 && i + 1 < argc) {
      opt->body_file = argv[++i];
    } else if (strcmp(argv[i], "--messages") == 0 && i + 1 < argc) {
      opt->messages = atol(argv[++i]);
      if (opt->messages < 1) return 0;
    } else {
      return 0;
    }
  }
  if (argc - i != 5) return 0;
  opt->server = argv[i];
  opt->port = argv[i + 1];
  opt->from = argv[i + 2];
  opt->to = argv[i + 3];
  opt->count = argv[i + 4];
  return 1;
}

/* No pauses between steps, at login or after closing, and no step that
 * waits inside qelDriver for the answer to a message: one slow server must
 * not hold up the other channels. These settings are library-wide. */
static void fast_timing(void) {
  qelIntegerParam(0, QEL_PARAM_MINIMUM_WAIT, 0);
  qelIntegerParam(0, QEL_PARAM_LOGIN_PAUSE, 0);
  qelIntegerParam(0, QEL_PARAM_CLOSE_PAUSE, 0);
  qelIntegerParam(0, QEL_PARAM_POLL_INTERVAL, 0);
  qelIntegerParam(0, QEL_PARAM_FINAL_REPLY_WAIT, 0);
}

int main(int argc, char **argv) {
  static enum phase phase[QEL_MAX_CHANNELS];
  static long done[QEL_MAX_CHANNELS]; /* messages a channel has sent */
  static char body[4096];
  struct options opt;
  int32_t count, chan, busy, sent = 0, failed = 0;
  char subject[64];
  if (!parse_options(argc, argv, &opt)) {
    fprintf(stderr, "usage: %s [--fast] [--body FILE] [--messages N] SERVER PORT FROM TO COUNT\n", argv[0]);
    return 2;
  }
  count = atoi(opt.count);
  if (count < 1 || count > QEL_MAX_CHANNELS) {
    fprintf(stderr, "COUNT must be from 1 to %d\n", QEL_MAX_CHANNELS);
    return 2;
  }
  /* A message text that begins with "@" names the file that holds it. */
  if (opt.body_file != NULL) {
    if (strlen(opt.body_file) + 2 > sizeof body) return 2;
    snprintf(body, sizeof body, "@%s", opt.body_file);
  } else {
    snprintf(body, sizeof body, "Sent while other channels were busy too.\r\n");
  }
  if (qelAttach(count, 0) != 1) return 1;
  if (opt.fast) fast_timing();

  for (chan = 0; chan < count; chan++) {
    qelIntegerParam(chan, QEL_PARAM_SMTP_PORT, atoi(opt.port));
    qelIntegerParam(chan, QEL_PARAM_AUTO_CALL, 0);
    /* EHLO, no login without a user name, and the envelope of each message
     * in one write where the server offers PIPELINING. */
    qelIntegerParam(chan, QEL_PARAM_USE_ESMTP, 1);
    qelIntegerParam(chan, QEL_PARAM_NEGOTIATE_LOGIN, 1);
    qelIntegerParam(chan, QEL_PARAM_PIPELINING, 1);
    phase[chan] = CONNECTING;
    if (qelSmtpConnect(chan, opt.server, opt.from, NULL) < 0) { /* arguments refused */
      phase[chan] = FAILED;
      failed++;
    }
  }

  /* The loop of a program that serves many channels: one step for each
   * busy channel in turn, then sleep until one of them has work again. A
   * program with other work would do it here too. */
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
      if (phase[chan] == SENDING) {
        sent++;
        done[chan]++;
      }
      if (phase[chan] == CONNECTING || (phase[chan] == SENDING && done[chan] < opt.messages)) {
        if (opt.messages == 1) {
          sprintf(subject, "Message %d of %d", (int)chan + 1, (int)count);
        } else {
          sprintf(subject, "Message %ld of channel %d", done[chan] + 1, (int)chan + 1);
        }
        phase[chan] = SENDING;
        if (qelSendEmail(chan, opt.to, NULL, NULL, subject, body, NULL) < 0) { /* refused: nothing was staged */
          fprintf(stderr, "channel %d: send refused\n", (int)chan);
          phase[chan] = FAILED;
          failed++;
        }
      } else if (phase[chan] == SENDING) {
        qelClose(chan);
        phase[chan] = CLOSING;
      } else {
        phase[chan] = DONE;
      }
    }
    /* Returns at once while a channel can go on; otherwise sleeps until a
     * socket or the end of a pause lets one go on. */
    if (busy) qelWait(QEL_WAIT_ANY_CHANNEL, WAIT_SLICE_MS);
  } while (busy);

  qelRelease();
  printf("%d sent, %d failed\n", (int)sent, (int)failed);
  return failed == 0 ? 0 : 1;
}

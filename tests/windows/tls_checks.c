/* dll_check, the TLS sections: Postfix and Dovecot on 127.0.0.1 as
 * tests/e2e/servers.sh starts them with --tls (STARTTLS required on the
 * submission port, an implicit-TLS SMTP port, STLS on the POP3 port, a
 * pop3s port), found through the env file it writes (--tls-env) and the CA
 * that signed their certificate (--tls-ca).
 *
 * A message with an attachment goes from alice to bob with AUTH through
 * STARTTLS and through implicit TLS, and comes back through STLS and pop3s
 * with the attachment byte for byte; then the refusals: the CA not trusted
 * (implicit and after STARTTLS), STARTTLS required where it is not offered,
 * a certificate for another name, an expired one, and the check turned
 * off, which works and is logged. Last the negotiated login: SMTP takes
 * the strongest mechanism offered (SCRAM-SHA-256, whose digests come from
 * CNG in QEL32.dll), POP3 logs in with each one offered in turn. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dll_check.h"

#if defined(_WIN32)
#include <windows.h>
#define pauseMs(ms) Sleep(ms)
#else
#include <unistd.h>
#define pauseMs(ms) usleep((ms) * 1000)
#endif

enum {
  kParamSmtpPort = 15,
  kParamPop3Port = 16,
  kParamUseEsmtp = 29,
  kParamTlsMode = 110,
  kParamTlsVerify = 111,
  kStringLogFile = 20,
  kStringPassword = 57,
  kStringUser = 58,
  kStringCaFile = 110,
  kStatSavedCount = 22,
  kParamNegotiateLogin = 120,
  kParamAuthMechanisms = 121,
  kStringLoginUser = 120,
  kStringLoginPassword = 121,
};
enum { kTlsStartTls = 1, kTlsImplicit = 3 };
enum { kErrTlsNotOffered = -110, kErrTlsUntrusted = -112, kErrTlsNameMismatch = -113 };
enum { kValueRoom = 300, kPathRoom = 600, kTextRoom = 1024 };
enum { kPayloadBytes = 200003, kDeliveryPolls = 300, kPollPauseMs = 100 };

/* ---- the env file -------------------------------------------------------- */

/* The value of KEY='value' in the env file, without the quotes; "" when
 * the key is not there. */
static const char* envValue(const char* key) {
  static char value[kValueRoom];
  long length = 0;
  char* text = hostReadFile(options.tlsEnv, &length);
  size_t keyLength = strlen(key);
  value[0] = '\0';
  for (char* line = text; line != NULL && *line != '\0';) {
    char* end = strchr(line, '\n');
    if (end != NULL) *end = '\0';
    if (strncmp(line, key, keyLength) == 0 && line[keyLength] == '=') {
      const char* start = line + keyLength + 1;
      size_t n = strlen(start);
      if (n >= 2 && start[0] == '\'' && start[n - 1] == '\'') {
        ++start;
        n -= 2;
      }
      snprintf(value, sizeof value, "%.*s", (int)n, start);
      break;
    }
    line = end != NULL ? end + 1 : NULL;
  }
  free(text);
  return value;
}

static int envPort(const char* key) { return atoi(envValue(key)); }

/* ---- helpers ------------------------------------------------------------- */

static void scratchLog(char* out, size_t room, const char* name) { hostPath(out, room, name); }

static char* readLog(const char* path) {
  long length = 0;
  char* text = hostReadFile(path, &length);
  return text != NULL ? text : (char*)calloc(1, 1);
}

static const char* errorText(int32_t code) {
  static char text[kTextRoom];
  text[0] = '\0';
  qelErrorText(0, code, text, (int32_t)sizeof text);
  return text;
}

/* Channel 0 set up for TLS in mode, with or without the test CA. */
static void useTls(int32_t mode, int withCa) {
  CHECK_INT(qelIntegerParam(0, kParamTlsMode, mode), 1);
  CHECK(qelStringParam(0, kStringCaFile, withCa ? options.tlsCa : "") >= 0);
}

/* An SMTP connect as alice to the port named by portKey, logged to log. */
static int32_t smtpConnect(const char* portKey, int32_t mode, int withCa, const char* log) {
  char user[kValueRoom], password[kValueRoom], from[kValueRoom];
  snprintf(user, sizeof user, "%s", envValue("ALICE_USER"));
  snprintf(password, sizeof password, "%s", envValue("ALICE_PASSWORD"));
  snprintf(from, sizeof from, "Alice <%s>", envValue("ALICE_ADDRESS"));
  CHECK(qelStringParam(0, kStringLogFile, log) > 0);
  useTls(mode, withCa);
  CHECK_INT(qelIntegerParam(0, kParamSmtpPort, envPort(portKey)), 1);
  CHECK_INT(qelIntegerParam(0, kParamUseEsmtp, 1), 1);
  qelStringParam(0, kStringUser, user);
  qelStringParam(0, kStringPassword, password);
  return qelSmtpConnect(0, "127.0.0.1", from, NULL);
}

/* A POP3 connect as bob to the port named by portKey. */
static int32_t pop3Connect(const char* portKey, int32_t mode) {
  char user[kValueRoom], password[kValueRoom];
  snprintf(user, sizeof user, "%s", envValue("BOB_USER"));
  snprintf(password, sizeof password, "%s", envValue("BOB_PASSWORD"));
  useTls(mode, 1);
  CHECK_INT(qelIntegerParam(0, kParamPop3Port, envPort(portKey)), 1);
  return qelPop3Connect(0, "127.0.0.1", user, password);
}

/* Waits until bob's mailbox holds more than count messages (Postfix
 * delivers a moment after it accepted the message); the new count, or
 * count when none came. */
static int32_t waitForDelivery(const char* portKey, int32_t mode, int32_t count) {
  for (int poll = 0; poll < kDeliveryPolls; ++poll) {
    int32_t now = -1;
    if (pop3Connect(portKey, mode) == 0) {
      now = qelGetEmailCount(0);
      qelClose(0);
    }
    if (now > count) return now;
    pauseMs(kPollPauseMs);
  }
  return count;
}

/* ---- sections ------------------------------------------------------------ */

void tlsSendAndFetch(void) {
  static const struct {
    const char* name;
    const char* smtpPort;
    const char* pop3Port;
    int32_t mode;
  } kModes[] = {
      {"starttls", "SUBMISSION_PORT", "POP3_PORT", kTlsStartTls},
      {"implicit", "SMTPS_PORT", "POP3S_PORT", kTlsImplicit},
  };
  char source[kPathRoom], attachments[2 * kPathRoom], log[kPathRoom], to[kValueRoom], saved[kPathRoom];
  unsigned char* payload = (unsigned char*)malloc(kPayloadBytes);
  uint32_t state = 0x7E5AB1Eu;
  int32_t count = 0;
  if (!CHECK(payload != NULL)) return;
  for (long i = 0; i < kPayloadBytes; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    payload[i] = (unsigned char)(state >> 24);
  }
  hostPath(source, sizeof source, "tls-payload.bin");
  CHECK(hostWriteFile(source, payload, kPayloadBytes));
  snprintf(to, sizeof to, "<%s>", envValue("BOB_ADDRESS"));
  CHECK_INT(qelAttach(1, 0), 1);
  for (size_t m = 0; m < sizeof kModes / sizeof kModes[0]; ++m) {
    char* text;
    long length = 0;
    printf("   mode %s\n", kModes[m].name);
    scratchLog(log, sizeof log, "tls-send.log");
    hostRemoveFile(log);
    snprintf(attachments, sizeof attachments, "%s|tls-%s.bin", source, kModes[m].name);
    if (!CHECK_INT(smtpConnect(kModes[m].smtpPort, kModes[m].mode, 1, log), 0)) continue;
    CHECK_INT(qelSendEmail(0, to, NULL, NULL, "over TLS", "Sent through TLS.", attachments), 0);
    CHECK_INT(qelClose(0), 0);
    text = readLog(log);
    /* Which TLS version and cipher ran, for the record. */
    if (strstr(text, "TLS established") != NULL) {
      const char* line = strstr(text, "TLS established");
      printf("   %.*s\n", (int)strcspn(line, "\r\n"), line);
    }
    CHECK(strstr(text, "certificate checked") != NULL);
    CHECK(strstr(text, "AUTH CRAM-MD5 ok") != NULL);
    free(text);

    count = waitForDelivery(kModes[m].pop3Port, kModes[m].mode, count);
    if (!CHECK_INT(pop3Connect(kModes[m].pop3Port, kModes[m].mode), 0)) continue;
    CHECK_INT(qelGetEmailFile(0, count, "tls-message.txt", hostScratchPath(), hostScratchPath()), 0);
    CHECK_INT(qelStatistics(0, kStatSavedCount), 1);
    CHECK_INT(qelClose(0), 0);
    snprintf(saved, sizeof saved, "%s" HOST_SEPARATOR "tls-%s.bin", hostScratchPath(), kModes[m].name);
    text = hostReadFile(saved, &length);
    CHECK_BYTES(text, length, (const char*)payload, kPayloadBytes);
    free(text);
  }
  CHECK_INT(qelRelease(), 1);
  free(payload);
}

void tlsRefusals(void) {
  static const struct {
    const char* name;
    const char* port;
    int32_t mode;
    int withCa;
    int32_t result;
    const char* text;
  } kCases[] = {
      {"STARTTLS required, not offered", "SMTP_PORT", kTlsStartTls, 1, kErrTlsNotOffered,
       "Server does not offer TLS. STARTTLS not in the EHLO reply"},
      {"CA not trusted", "SMTPS_PORT", kTlsImplicit, 0, kErrTlsUntrusted,
       "Server certificate not trusted. unable to get local issuer certificate"},
      {"CA not trusted after STARTTLS", "SUBMISSION_PORT", kTlsStartTls, 0, kErrTlsUntrusted,
       "Server certificate not trusted. unable to get local issuer certificate"},
      {"a certificate for another name", "SMTPS_OTHER_NAME_PORT", kTlsImplicit, 1, kErrTlsNameMismatch,
       "Server certificate is not for this server name. IP address mismatch"},
      {"expired certificate", "SMTPS_EXPIRED_PORT", kTlsImplicit, 1, kErrTlsUntrusted,
       "Server certificate not trusted. certificate has expired"},
  };
  char log[kPathRoom];
  char* text;
  scratchLog(log, sizeof log, "tls-refusals.log");
  CHECK_INT(qelAttach(1, 0), 1);
  for (size_t i = 0; i < sizeof kCases / sizeof kCases[0]; ++i) {
    int32_t result;
    hostRemoveFile(log);
    result = smtpConnect(kCases[i].port, kCases[i].mode, kCases[i].withCa, log);
    if (!CHECK_INT(result, kCases[i].result) || !CHECK(strstr(errorText(result), kCases[i].text) != NULL)) {
      printf("   case %s: %s\n", kCases[i].name, errorText(result));
    }
    text = readLog(log);
    /* No credentials leave the client. */
    CHECK(strstr(text, "S: AUTH") == NULL);
    free(text);
    qelAbort(0);
  }
  /* The check turned off: the certificate of an unknown CA is taken, and
   * the log says the check was off. */
  hostRemoveFile(log);
  CHECK_INT(qelIntegerParam(0, kParamTlsVerify, 0), 1);
  CHECK_INT(smtpConnect("SMTPS_PORT", kTlsImplicit, 0, log), 0);
  CHECK_INT(qelClose(0), 0);
  text = readLog(log);
  CHECK(strstr(text, "certificate NOT checked") != NULL);
  free(text);
  CHECK_INT(qelRelease(), 1);
}

/* The negotiated login through TLS: SMTP with every mechanism allowed, then
 * POP3 with each mechanism of the servers' list alone; the log names the
 * one that went through. */
void tlsNegotiatedLogin(void) {
  static const struct {
    const char* name;
    int32_t bit;
  } kMechanisms[] = {{"SCRAM-SHA-256", 8}, {"CRAM-MD5", 4}, {"PLAIN", 2}, {"LOGIN", 1}};
  char log[kPathRoom], from[kValueRoom], expected[kValueRoom];
  CHECK_INT(qelAttach(1, 0), 1);
  snprintf(from, sizeof from, "Alice <%s>", envValue("ALICE_ADDRESS"));
  for (int round = -1; round < (int)(sizeof kMechanisms / sizeof kMechanisms[0]); ++round) {
    int pop3 = round >= 0;
    char* text;
    scratchLog(log, sizeof log, "tls-login.log");
    hostRemoveFile(log);
    CHECK(qelStringParam(0, kStringLogFile, log) > 0);
    useTls(kTlsStartTls, 1);
    CHECK_INT(qelIntegerParam(0, kParamNegotiateLogin, 1), 1);
    CHECK_INT(qelIntegerParam(0, kParamAuthMechanisms, pop3 ? kMechanisms[round].bit : 0), 1);
    qelStringParam(0, kStringLoginUser, envValue("ALICE_USER"));
    qelStringParam(0, kStringLoginPassword, envValue("ALICE_PASSWORD"));
    if (pop3) {
      printf("   POP3 %s\n", kMechanisms[round].name);
      CHECK_INT(qelIntegerParam(0, kParamPop3Port, envPort("POP3_PORT")), 1);
      if (!CHECK_INT(qelPop3Connect(0, "127.0.0.1", "-", "-"), 0)) continue;
    } else {
      CHECK_INT(qelIntegerParam(0, kParamSmtpPort, envPort("SUBMISSION_PORT")), 1);
      if (!CHECK_INT(qelSmtpConnect(0, "127.0.0.1", from, NULL), 0)) continue;
    }
    CHECK_INT(qelClose(0), 0);
    text = readLog(log);
    snprintf(expected, sizeof expected, "AUTH %s ok", pop3 ? kMechanisms[round].name : "SCRAM-SHA-256");
    CHECK(strstr(text, expected) != NULL);
    CHECK(strstr(text, envValue("ALICE_PASSWORD")) == NULL);
    free(text);
  }
  CHECK_INT(qelRelease(), 1);
}

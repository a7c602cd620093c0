/* Shared by the parts of dll_check: the library's exports as an application
 * declares them, the options, and the sections. */
#ifndef QEL_TESTS_WINDOWS_DLL_CHECK_H
#define QEL_TESTS_WINDOWS_DLL_CHECK_H

#include <stdint.h>

#include "check.h"
#include "host.h"

/* Every export: name, parameters, and the bytes of arguments it takes (the
 * stdcall decoration "name@bytes" that a plain export must not carry). The
 * types are written here, not taken from the library's header. */
#define QEL_EXPORTS(X)                                                                                        \
  X(qelAttach, (int32_t channels, int32_t reserved), 8)                                                        \
  X(qelRelease, (void), 0)                                                                                     \
  X(qelIntegerParam, (int32_t chan, int32_t index, int32_t value), 12)                                         \
  X(qelStringParam, (int32_t chan, int32_t index, const char* text), 12)                                       \
  X(qelStatistics, (int32_t chan, int32_t index), 8)                                                           \
  X(qelErrorText, (int32_t chan, int32_t code, char* buffer, int32_t size), 16)                                \
  X(qelDebug, (int32_t chan, int32_t index, char* buffer, int32_t size), 16)                                   \
  X(qelDriver, (int32_t chan), 4)                                                                              \
  X(qelClose, (int32_t chan), 4)                                                                               \
  X(qelAbort, (int32_t chan), 4)                                                                               \
  X(qelCommand, (int32_t chan, const char* text), 8)                                                           \
  X(qelSmtpConnect, (int32_t chan, const char* server, const char* from, const char* replyTo), 16)             \
  X(qelSendEmail, (int32_t chan, const char* to, const char* cc, const char* bcc, const char* subject,         \
                   const char* message, const char* attachments), 28)                                          \
  X(qelVerifyUser, (int32_t chan, const char* names), 8)                                                       \
  X(qelPop3Connect, (int32_t chan, const char* server, const char* user, const char* password), 16)            \
  X(qelGetEmailCount, (int32_t chan), 4)                                                                       \
  X(qelGetEmailSize, (int32_t chan, int32_t message), 8)                                                       \
  X(qelGetEmailLines, (int32_t chan, int32_t message, int32_t lines, char* buffer, int32_t size), 20)          \
  X(qelGetEmailFile, (int32_t chan, int32_t message, const char* fileName, const char* emailDir,               \
                      const char* attachDir), 20)                                                              \
  X(qelGetEmailUID, (int32_t chan, int32_t message, char* buffer, int32_t size), 16)                           \
  X(qelDeleteEmail, (int32_t chan, int32_t message), 8)                                                        \
  X(qelEncodeBuffer, (const char* source, char* destination, int32_t length), 12)                              \
  X(qelDecodeBuffer, (const char* source, char* destination, int32_t length), 12)                              \
  X(qelVerifyFormat, (const char* address), 4)                                                                 \
  X(qelExtractText, (const char* text, const char* search, char* buffer, int32_t size), 16)                    \
  X(qelExtractLine, (const char* text, int32_t lineNumber, char* buffer, int32_t size), 16)                   \
  X(qelConnectError, (int32_t chan), 4)                                                                       \
  X(qelWait, (int32_t chan, int32_t timeoutMs), 8)                                                            \
  X(qelWaitPlan, (int32_t chan, int32_t* socket, int32_t* events), 12)                                        \
  X(qelSendPreparedFile, (int32_t chan, const char* sender, const char* recipients, const char* path), 16)     \
  X(qelSendPreparedMemory, (int32_t chan, const char* sender, const char* recipients, const char* data,         \
                            int32_t length), 20)

/* One function pointer per export, named like the export, filled in by
 * dll_check.c and NULL when the library lacks the export. */
#define QEL_DECLARE_EXPORT(name, params, bytes) extern int32_t(QEL_STDCALL* name) params;
QEL_EXPORTS(QEL_DECLARE_EXPORT)

typedef struct {
  const char* library;  /* --library */
  const char* zone;     /* --zone: the UTC offset the date line must carry */
  int smtpPort;         /* --smtp-port: the mail drop's SMTP port on 127.0.0.1 */
  int pop3Port;         /* --pop3-port: its POP3 port */
  int refusedPort;      /* --refused-port: a port of 127.0.0.1 that refuses connections */
  const char* user;     /* --user, --password: the mailbox and its login */
  const char* password;
  const char* files;    /* --files: where downloads and logs are written and kept */
  const char* tlsEnv;   /* --tls-env: the env file of tests/e2e/servers.sh --tls */
  const char* tlsCa;    /* --tls-ca: the CA that signed those servers' certificate */
} DllCheckOptions;

extern DllCheckOptions options;

/* Sections of frame_checks.c: the library frame through its exports. */
void lifecycle(void);
void integerParams(void);
void stringParams(void);
void statistics(void);
void errorTexts(void);
void logFile(void);
void diagnostics(void);

/* Sections of helper_checks.c: the exports that need no channel. */
void base64(void);
void base64RoundTrip(void);
void addresses(void);
void textExtraction(void);

/* Sections of server_checks.c: a mail server on 127.0.0.1. */
void sendMessages(void);
void downloadMessages(void);
void connectFailures(void);
void loginFailures(void);
void drivenChannels(void);

/* Sections of mime_checks.c: full MIME mode against the mail drop. */
void fullMimeNames(void);

/* Sections of tls_checks.c: Postfix and Dovecot with TLS on 127.0.0.1. */
void tlsSendAndFetch(void);
void tlsRefusals(void);
void tlsNegotiatedLogin(void);

#endif

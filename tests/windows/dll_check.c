/* Checks the library the way an application uses it: loaded at run time
 * (LoadLibrary/GetProcAddress on Windows, dlopen/dlsym on Linux), every
 * export fetched by its plain name and called through a function pointer
 * type declared here, not taken from the library's header.
 *
 * The same program runs against QEL32.dll under Wine and against
 * libqel32.so natively, so both builds must answer alike: same results,
 * same texts, same bytes in the files they write.
 *
 *   dll_check [--library PATH] [--zone +HHMM]
 *             [--smtp-port N --pop3-port N --refused-port N
 *              --user NAME --password TEXT --files DIR]
 *             [--tls-env FILE --tls-ca FILE]
 *
 *   --library       the library to load (default QEL32.dll on Windows)
 *   --zone          the UTC offset the date line must carry
 *   --smtp-port     the loopback mail drop (qel-maildrop) on 127.0.0.1,
 *   --pop3-port     with a mailbox that starts empty: the sections that
 *   --user          talk to a server run only when all of these are given
 *   --password      (with_maildrop.py starts the mail drop and passes them)
 *   --refused-port  a port of 127.0.0.1 where connections are refused
 *   --files         an empty directory where the downloaded messages,
 *                   attachments and channel logs are written and kept
 *   --tls-env       the env file of Postfix and Dovecot started by
 *   --tls-ca        tests/e2e/servers.sh --tls, and their CA: the TLS
 *                   sections run only when both are given
 *
 * To add checks: write a section function (frame_checks.c, helper_checks.c,
 * server_checks.c, or a new file for a new family), declare it in
 * dll_check.h and list it in kSections with the exports it calls; sections
 * that talk to a server say which one in needs and read its options. */
#include "dll_check.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define QEL_DEFINE_EXPORT(name, params, bytes) int32_t(QEL_STDCALL* name) params = NULL;
QEL_EXPORTS(QEL_DEFINE_EXPORT)

DllCheckOptions options;

typedef struct {
  const char* name;
  void* slot;        /* the function pointer variable named like the export */
  int argumentBytes; /* the stdcall decoration a plain export must not carry */
} Export;

#define QEL_EXPORT_ENTRY(name, params, bytes) {#name, (void*)&name, bytes},
static const Export kExports[] = {QEL_EXPORTS(QEL_EXPORT_ENTRY)};
#define EXPORT_COUNT ((int)(sizeof kExports / sizeof kExports[0]))

/* Fetches every export by its plain name; returns how many were found. */
static int resolveExports(void) {
  int found = 0;
  for (int i = 0; i < EXPORT_COUNT; ++i) {
    HostProc address = hostSymbol(kExports[i].name);
    memcpy(kExports[i].slot, &address, sizeof address);
    if (address != NULL) ++found;
  }
  return found;
}

static int exportPresent(const char* name) {
  for (int i = 0; i < EXPORT_COUNT; ++i) {
    if (strcmp(kExports[i].name, name) == 0) {
      HostProc address = NULL;
      memcpy(&address, kExports[i].slot, sizeof address);
      return address != NULL;
    }
  }
  return 0;
}

/* ---- exports --------------------------------------------------------- */

static void exportNames(void) {
  for (int i = 0; i < EXPORT_COUNT; ++i) {
    const Export* entry = &kExports[i];
    char decorated[80];
    if (!exportPresent(entry->name)) printf("   missing export %s\n", entry->name);
    CHECK(exportPresent(entry->name));
#if defined(_WIN32)
    /* Exported under the plain name only, never with the stdcall decoration. */
    snprintf(decorated, sizeof decorated, "%s@%d", entry->name, entry->argumentBytes);
    CHECK(hostSymbol(decorated) == NULL);
    snprintf(decorated, sizeof decorated, "_%s@%d", entry->name, entry->argumentBytes);
    CHECK(hostSymbol(decorated) == NULL);
#else
    (void)decorated;
#endif
  }
}

/* ---- running the sections ---------------------------------------------- */

/* What a section needs besides the library. */
enum { kNeedsNothing = 0, kNeedsMailDrop = 1, kNeedsTlsServers = 2 };

typedef struct {
  const char* name;
  void (*run)(void);
  const char* exports; /* the exports it calls, separated by spaces */
  int needs;           /* kNeedsMailDrop: the mail drop's ports and login; kNeedsTlsServers: --tls-env */
} Section;

static const Section kSections[] = {
    {"exports", exportNames, "", 0},
    {"attach, release and the channel check", lifecycle, "qelAttach qelRelease qelStatistics qelErrorText "
                                                         "qelIntegerParam qelStringParam qelDebug", 0},
    {"integer settings", integerParams, "qelAttach qelRelease qelIntegerParam", 0},
    {"text settings", stringParams, "qelAttach qelRelease qelStringParam", 0},
    {"statistics", statistics, "qelAttach qelRelease qelStatistics", 0},
    {"error texts", errorTexts, "qelAttach qelRelease qelErrorText", 0},
    {"log file", logFile, "qelAttach qelRelease qelIntegerParam qelStringParam", 0},
    {"diagnostics and the date line", diagnostics, "qelAttach qelRelease qelStringParam qelDebug", 0},
    {"base64", base64, "qelEncodeBuffer qelDecodeBuffer", 0},
    {"base64 round trip", base64RoundTrip, "qelEncodeBuffer qelDecodeBuffer", 0},
    {"address checks", addresses, "qelVerifyFormat qelAttach qelRelease qelIntegerParam", 0},
    {"text extraction", textExtraction, "qelExtractText qelExtractLine", 0},
    {"sending through the mail drop", sendMessages, "qelAttach qelRelease qelIntegerParam qelStringParam "
                                                    "qelSmtpConnect qelSendEmail qelStatistics qelClose", 1},
    {"downloading from the mail drop", downloadMessages, "qelAttach qelRelease qelIntegerParam qelPop3Connect "
                                                         "qelGetEmailCount qelGetEmailFile qelStatistics qelDebug "
                                                         "qelClose qelEncodeBuffer", 1},
    {"full MIME mode: attachment names in UTF-8", fullMimeNames,
     "qelAttach qelRelease qelIntegerParam qelStringParam qelSmtpConnect qelSendEmail qelClose qelPop3Connect "
     "qelGetEmailCount qelGetEmailFile qelStatistics qelDebug qelEncodeBuffer", 1},
    {"refused connections", connectFailures, "qelAttach qelRelease qelIntegerParam qelSmtpConnect "
                                             "qelPop3Connect qelSendEmail qelStatistics qelErrorText qelConnectError", 1},
    {"refused logins, recipients and files", loginFailures,
     "qelAttach qelRelease qelIntegerParam qelStringParam qelSmtpConnect qelSendEmail qelPop3Connect qelStatistics "
     "qelErrorText qelClose", 1},
    {"channels driven through qelWait", drivenChannels, "qelAttach qelRelease qelIntegerParam qelSmtpConnect "
                                                        "qelDriver qelClose qelWait qelWaitPlan", 1},
    {"TLS: send and fetch through STARTTLS/STLS and implicit TLS", tlsSendAndFetch,
     "qelAttach qelRelease qelIntegerParam qelStringParam qelSmtpConnect qelSendEmail qelClose qelPop3Connect "
     "qelGetEmailCount qelGetEmailFile qelStatistics", kNeedsTlsServers},
    {"TLS: refusals and the check turned off", tlsRefusals,
     "qelAttach qelRelease qelIntegerParam qelStringParam qelSmtpConnect qelErrorText qelAbort qelClose",
     kNeedsTlsServers},
    {"TLS: negotiated login, SCRAM-SHA-256 and each mechanism offered", tlsNegotiatedLogin,
     "qelAttach qelRelease qelIntegerParam qelStringParam qelSmtpConnect qelPop3Connect qelClose", kNeedsTlsServers},
};

/* Whether every export a section names is there; the first missing one is
 * returned through missing. */
static int sectionExportsPresent(const Section* section, char* missing, size_t room) {
  const char* next = section->exports;
  while (*next != '\0') {
    size_t length = strcspn(next, " ");
    if (length > 0) {
      snprintf(missing, room, "%.*s", (int)length, next);
      if (!exportPresent(missing)) return 0;
    }
    next += length;
    while (*next == ' ') ++next;
  }
  return 1;
}

static int parseOptions(int argc, char** argv) {
#if defined(_WIN32)
  options.library = "QEL32.dll";
#endif
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--library") == 0 && i + 1 < argc) {
      options.library = argv[++i];
    } else if (strcmp(argv[i], "--zone") == 0 && i + 1 < argc) {
      options.zone = argv[++i];
    } else if (strcmp(argv[i], "--smtp-port") == 0 && i + 1 < argc) {
      options.smtpPort = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--pop3-port") == 0 && i + 1 < argc) {
      options.pop3Port = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--refused-port") == 0 && i + 1 < argc) {
      options.refusedPort = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--user") == 0 && i + 1 < argc) {
      options.user = argv[++i];
    } else if (strcmp(argv[i], "--password") == 0 && i + 1 < argc) {
      options.password = argv[++i];
    } else if (strcmp(argv[i], "--files") == 0 && i + 1 < argc) {
      options.files = argv[++i];
    } else if (strcmp(argv[i], "--tls-env") == 0 && i + 1 < argc) {
      options.tlsEnv = argv[++i];
    } else if (strcmp(argv[i], "--tls-ca") == 0 && i + 1 < argc) {
      options.tlsCa = argv[++i];
    } else {
      printf("unknown argument %s\n", argv[i]);
      return 0;
    }
  }
  if (options.library == NULL) {
    printf("usage: %s --library PATH [--zone +HHMM] [--smtp-port N --pop3-port N --refused-port N "
           "--user NAME --password TEXT --files DIR]\n", argv[0]);
    return 0;
  }
  return 1;
}

/* Whether the sections that talk to a server have what they need. */
static int serverGiven(void) {
  return options.smtpPort > 0 && options.pop3Port > 0 && options.refusedPort > 0 && options.user != NULL &&
         options.password != NULL && options.files != NULL;
}

int main(int argc, char** argv) {
  char missing[64];
  int found;
  setvbuf(stdout, NULL, _IONBF, 0);
  if (!parseOptions(argc, argv)) return 2;
  if (!hostGuardWindows()) {
    printf("cannot guard against alert windows\n");
    return 2;
  }
  if (!hostLoad(options.library)) {
    printf("cannot load %s\n", options.library);
    return 1;
  }
  found = resolveExports();
  printf("%s: %d of %d exports found\n", options.library, found, EXPORT_COUNT);
  if (!hostMakeScratch()) {
    printf("cannot create a scratch directory\n");
    return 1;
  }

  for (size_t i = 0; i < sizeof kSections / sizeof kSections[0]; ++i) {
    const Section* section = &kSections[i];
    if (section->needs == kNeedsMailDrop && !serverGiven()) {
      printf("-- %s: skipped (no mail drop given)\n", section->name);
      continue;
    }
    if (section->needs == kNeedsTlsServers && (options.tlsEnv == NULL || options.tlsCa == NULL)) {
      printf("-- %s: skipped (no TLS servers given)\n", section->name);
      continue;
    }
    if (!sectionExportsPresent(section, missing, sizeof missing)) {
      char what[96];
      SECTION(section->name);
      snprintf(what, sizeof what, "export %s missing", missing);
      checkFail(what);
      continue;
    }
    SECTION(section->name);
    section->run();
  }

  hostRemoveScratch();
  hostUnload();
  return checkSummary("dll_check");
}

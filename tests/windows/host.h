/* What the check programs need from the system they run on, for Windows
 * (QEL32.dll under Wine) and for Linux (libqel32.so), so that one program
 * checks both builds alike. */
#ifndef QEL_TESTS_WINDOWS_HOST_H
#define QEL_TESTS_WINDOWS_HOST_H

#include <stddef.h>

#if defined(_WIN32)
#define QEL_STDCALL __stdcall
#define HOST_SEPARATOR "\\"
#else
#define QEL_STDCALL
#define HOST_SEPARATOR "/"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The generic function pointer an export is fetched as; every use turns it
 * into the export's own type. */
typedef void (*HostProc)(void);

/* Loads the library as applications do (LoadLibraryA, dlopen) and fetches
 * an export by name. */
int hostLoad(const char* path);
HostProc hostSymbol(const char* name);
void hostUnload(void);

/* A fresh directory under the system's temporary directory, and paths in it. */
int hostMakeScratch(void);
const char* hostScratchPath(void);
void hostPath(char* out, size_t room, const char* name);
int hostRemoveFile(const char* path);
void hostRemoveScratch(void);
/* A new directory (an existing one will do); removing one that is empty. */
int hostMakeDirectory(const char* path);
int hostRemoveDirectory(const char* path);
/* Writes a whole file, replacing one of that name. */
int hostWriteFile(const char* path, const void* data, long length);

/* A whole file in a new buffer (NUL added, free() it); NULL when unreadable.
 * The path is UTF-8 (on Windows opened through the wide-character call). */
char* hostReadFile(const char* path, long* length);

typedef struct {
  int year, month, day, dayOfWeek; /* month 1..12, day of week 0 = Sunday */
} HostDate;

/* Today's date as the system reports it. */
void hostToday(HostDate* date);

/* The library opens a window for one thing only: the memory sweep's alert
 * box. An automated run must never show one (it would wait for a click), so
 * on Windows a hook on this thread refuses every window and counts the
 * attempts; elsewhere the alert is a line on stderr and nothing is counted. */
int hostGuardWindows(void);
int hostWindowCount(void);

#ifdef __cplusplus
}
#endif

#endif

/* What the library check program needs from the system it runs on, for
 * Windows (QEL32.dll under Wine) and for Linux (libqel32.so), so that one
 * program checks both builds alike. */
#ifndef QEL_TESTS_WINDOWS_HOST_H
#define QEL_TESTS_WINDOWS_HOST_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#define QEL_STDCALL __stdcall
#define HOST_SEPARATOR "\\"
#else
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>
#define QEL_STDCALL
#define HOST_SEPARATOR "/"
#endif

/* The generic function pointer an export is fetched as; every use casts it
 * to the export's own type. */
typedef void (*HostProc)(void);

/* ---- loading the library, as applications do ---------------------------- */

static void* hostLibrary = NULL;

static inline int hostLoad(const char* path) {
#if defined(_WIN32)
  hostLibrary = (void*)LoadLibraryA(path);
#else
  hostLibrary = dlopen(path, RTLD_NOW | RTLD_LOCAL);
#endif
  return hostLibrary != NULL;
}

static inline HostProc hostSymbol(const char* name) {
  HostProc found = NULL;
  if (hostLibrary == NULL) return NULL;
#if defined(_WIN32)
  FARPROC address = GetProcAddress((HMODULE)hostLibrary, name);
  memcpy(&found, &address, sizeof found);
#else
  void* address = dlsym(hostLibrary, name);
  memcpy(&found, &address, sizeof found);
#endif
  return found;
}

static inline void hostUnload(void) {
  if (hostLibrary == NULL) return;
#if defined(_WIN32)
  FreeLibrary((HMODULE)hostLibrary);
#else
  dlclose(hostLibrary);
#endif
  hostLibrary = NULL;
}

/* ---- a scratch directory ----------------------------------------------- */

static char hostScratch[512];

/* Creates a fresh directory under the system's temporary directory. */
static inline int hostMakeScratch(void) {
#if defined(_WIN32)
  char base[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof base, base);
  if (length == 0 || length >= sizeof base) return 0;
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    snprintf(hostScratch, sizeof hostScratch, "%sqel-check-%lu-%u", base, (unsigned long)GetCurrentProcessId(),
             attempt);
    if (CreateDirectoryA(hostScratch, NULL)) return 1;
  }
  return 0;
#else
  const char* base = getenv("TMPDIR");
  if (base == NULL || base[0] == '\0') base = "/tmp";
  snprintf(hostScratch, sizeof hostScratch, "%s/qel-check-XXXXXX", base);
  return mkdtemp(hostScratch) != NULL;
#endif
}

static inline void hostPath(char* out, size_t room, const char* name) {
  snprintf(out, room, "%s" HOST_SEPARATOR "%s", hostScratch, name);
}

static inline int hostRemoveFile(const char* path) { return remove(path) == 0; }

static inline void hostRemoveScratch(void) {
#if defined(_WIN32)
  RemoveDirectoryA(hostScratch);
#else
  rmdir(hostScratch);
#endif
}

/* Reads a whole file into a new buffer (NUL added); NULL when unreadable. */
static inline char* hostReadFile(const char* path, long* length) {
  FILE* file = fopen(path, "rb");
  char* data = NULL;
  long size = 0;
  *length = -1;
  if (file == NULL) return NULL;
  if (fseek(file, 0, SEEK_END) == 0) size = ftell(file);
  if (size >= 0 && fseek(file, 0, SEEK_SET) == 0) data = (char*)malloc((size_t)size + 1);
  if (data != NULL && fread(data, 1, (size_t)size, file) == (size_t)size) {
    data[size] = '\0';
    *length = size;
  } else {
    free(data);
    data = NULL;
  }
  fclose(file);
  return data;
}

/* ---- the date and time the system reports ------------------------------ */

typedef struct {
  int year, month, day, dayOfWeek; /* month 1..12, day of week 0 = Sunday */
} HostDate;

static inline void hostToday(HostDate* date) {
#if defined(_WIN32)
  SYSTEMTIME now;
  GetLocalTime(&now);
  date->year = now.wYear;
  date->month = now.wMonth;
  date->day = now.wDay;
  date->dayOfWeek = now.wDayOfWeek;
#else
  time_t now = time(NULL);
  struct tm parts;
  localtime_r(&now, &parts);
  date->year = parts.tm_year + 1900;
  date->month = parts.tm_mon + 1;
  date->day = parts.tm_mday;
  date->dayOfWeek = parts.tm_wday;
#endif
}

/* ---- windows opened by the library ------------------------------------- */

/* The library opens a window for one thing only: the memory sweep's alert
 * box. An automated run must never show one (it would wait for a click), so
 * on Windows a hook on this thread refuses every window and counts the
 * attempts; elsewhere the alert is a line on stderr and nothing is counted. */
static int hostWindowAttempts = 0;

#if defined(_WIN32)
static HHOOK hostHook = NULL;
static LRESULT CALLBACK hostRefuseWindows(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND) {
    ++hostWindowAttempts;
    return 1; /* the window is not created; MessageBoxA returns at once */
  }
  return CallNextHookEx(hostHook, code, wParam, lParam);
}
#endif

static inline int hostWindowCount(void) { return hostWindowAttempts; }

static inline int hostGuardWindows(void) {
#if defined(_WIN32)
  hostHook = SetWindowsHookExA(WH_CBT, hostRefuseWindows, NULL, GetCurrentThreadId());
  return hostHook != NULL;
#else
  return 1;
#endif
}

#endif

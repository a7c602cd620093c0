/* The system services of host.h. */
#if !defined(_WIN32)
#define _DEFAULT_SOURCE
#endif

#include "host.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#include <errno.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#endif

static void* library = NULL;
static char scratch[512];
static int windowAttempts = 0;

/* ---- the library ---------------------------------------------------------- */

int hostLoad(const char* path) {
#if defined(_WIN32)
  library = (void*)LoadLibraryA(path);
#else
  library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
#endif
  return library != NULL;
}

HostProc hostSymbol(const char* name) {
  HostProc found = NULL;
  if (library == NULL) return NULL;
#if defined(_WIN32)
  FARPROC address = GetProcAddress((HMODULE)library, name);
#else
  void* address = dlsym(library, name);
#endif
  memcpy(&found, &address, sizeof found);
  return found;
}

void hostUnload(void) {
  if (library == NULL) return;
#if defined(_WIN32)
  FreeLibrary((HMODULE)library);
#else
  dlclose(library);
#endif
  library = NULL;
}

/* ---- files ------------------------------------------------------------------ */

int hostMakeScratch(void) {
#if defined(_WIN32)
  char base[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof base, base);
  if (length == 0 || length >= sizeof base) return 0;
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    snprintf(scratch, sizeof scratch, "%sqel-check-%lu-%u", base, (unsigned long)GetCurrentProcessId(), attempt);
    if (CreateDirectoryA(scratch, NULL)) return 1;
  }
  return 0;
#else
  const char* base = getenv("TMPDIR");
  if (base == NULL || base[0] == '\0') base = "/tmp";
  snprintf(scratch, sizeof scratch, "%s/qel-check-XXXXXX", base);
  return mkdtemp(scratch) != NULL;
#endif
}

const char* hostScratchPath(void) { return scratch; }

void hostPath(char* out, size_t room, const char* name) {
  snprintf(out, room, "%s" HOST_SEPARATOR "%s", scratch, name);
}

int hostRemoveFile(const char* path) { return remove(path) == 0; }

void hostRemoveScratch(void) { hostRemoveDirectory(scratch); }

int hostMakeDirectory(const char* path) {
#if defined(_WIN32)
  return CreateDirectoryA(path, NULL) || GetLastError() == ERROR_ALREADY_EXISTS;
#else
  return mkdir(path, 0700) == 0 || errno == EEXIST;
#endif
}

int hostRemoveDirectory(const char* path) {
#if defined(_WIN32)
  return RemoveDirectoryA(path) != 0;
#else
  return rmdir(path) == 0;
#endif
}

int hostWriteFile(const char* path, const void* data, long length) {
  FILE* file = fopen(path, "wb");
  int ok;
  if (file == NULL) return 0;
  ok = length <= 0 || fwrite(data, 1, (size_t)length, file) == (size_t)length;
  if (fclose(file) != 0) ok = 0;
  return ok;
}

/* Opens a file for reading; on Windows the path is UTF-8 and goes through
 * the wide-character call, as the names the library saves do. */
static FILE* openForReading(const char* path) {
#if defined(_WIN32)
  wchar_t wide[1024];
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, (int)(sizeof wide / sizeof wide[0])) <= 0) {
    return NULL;
  }
  return _wfopen(wide, L"rb");
#else
  return fopen(path, "rb");
#endif
}

char* hostReadFile(const char* path, long* length) {
  FILE* file = openForReading(path);
  char* data = NULL;
  long size = -1;
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

/* ---- the date --------------------------------------------------------------- */

void hostToday(HostDate* date) {
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

/* ---- windows ---------------------------------------------------------------- */

#if defined(_WIN32)
static HHOOK hook = NULL;
static LRESULT CALLBACK refuseWindows(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND) {
    ++windowAttempts;
    return 1; /* the window is not created; MessageBoxA returns at once */
  }
  return CallNextHookEx(hook, code, wParam, lParam);
}
#endif

int hostGuardWindows(void) {
#if defined(_WIN32)
  hook = SetWindowsHookExA(WH_CBT, refuseWindows, NULL, GetCurrentThreadId());
  return hook != NULL;
#else
  return 1;
#endif
}

int hostWindowCount(void) { return windowAttempts; }

// Windows time, lock, memory, files, formatting and alerts: the kernel and
// user calls the library was designed around.
#include <atomic>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/windows_api.h"

namespace qel::plat {
namespace {

std::atomic<uint32_t> gTickOffset{0};

// The library lock: one critical section, created by attach and deleted by
// release. The state word makes creation safe to repeat and lets a lock that
// is entered before any attach create itself first.
enum LockState : LONG { kLockAbsent = 0, kLockCreating = 1, kLockReady = 2 };
CRITICAL_SECTION gLock;
volatile LONG gLockState = kLockAbsent;

// Where the kernel's file calls report failure.
constexpr UINT kFileCallFailed = static_cast<UINT>(HFILE_ERROR);
// Normal attributes for a file made by _lcreat.
constexpr int kNormalFile = 0;

// wvsprintfA writes at most 1024 bytes, the NUL included; one spare byte.
constexpr int32_t kFormatterRoom = kFormatLimit + 2;

}  // namespace

// ---- time ----------------------------------------------------------------

uint32_t tickCount() { return static_cast<uint32_t>(GetTickCount()) + gTickOffset.load(std::memory_order_relaxed); }

// GetTickCount is itself the cheap, coarse count.
uint32_t tickCountCoarse() { return tickCount(); }

void setTickOffset(uint32_t offset) { gTickOffset.store(offset, std::memory_order_relaxed); }

void sleepMs(uint32_t ms) { Sleep(ms); }

void yield() { Sleep(0); }

uint32_t processId() { return static_cast<uint32_t>(GetCurrentProcessId()); }

void randomBytes(uint8_t* out, int32_t count) {
  // The library links no cryptographic provider: the bytes come from the
  // performance counter, the clocks, the ids and a counter, stirred with
  // the SplitMix64 finaliser. They need to differ, not to be secret.
  static std::atomic<uint32_t> calls{0};
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  uint64_t seed = static_cast<uint64_t>(counter.QuadPart) ^ (static_cast<uint64_t>(GetTickCount()) << 32) ^
                  (static_cast<uint64_t>(GetCurrentProcessId()) << 16) ^ GetCurrentThreadId() ^
                  (static_cast<uint64_t>(calls.fetch_add(1)) << 40);
  uint64_t word = 0;
  for (int32_t i = 0; i < count; ++i) {
    if (i % 8 == 0) {
      seed += 0x9E3779B97F4A7C15ull;
      word = seed;
      word = (word ^ (word >> 30)) * 0xBF58476D1CE4E5B9ull;
      word = (word ^ (word >> 27)) * 0x94D049BB133111EBull;
      word ^= word >> 31;
    }
    out[i] = static_cast<uint8_t>(word >> ((i % 8) * 8));
  }
}

void localTime(LocalTime* out) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  TIME_ZONE_INFORMATION zone;
  std::memset(&zone, 0, sizeof zone);
  // The bias is minutes west of UTC; the part for daylight or standard time
  // is added to it according to which of the two is in force now.
  LONG bias = 0;
  switch (GetTimeZoneInformation(&zone)) {
    case TIME_ZONE_ID_DAYLIGHT:
      bias = zone.Bias + zone.DaylightBias;
      break;
    case TIME_ZONE_ID_STANDARD:
    case TIME_ZONE_ID_UNKNOWN:
      bias = zone.Bias + zone.StandardBias;
      break;
    default:  // TIME_ZONE_ID_INVALID: no zone known, written as UTC
      bias = 0;
      break;
  }
  out->year = now.wYear;
  out->month = now.wMonth;
  out->dayOfWeek = now.wDayOfWeek;
  out->day = now.wDay;
  out->hour = now.wHour;
  out->minute = now.wMinute;
  out->second = now.wSecond;
  out->utcOffsetMinutes = static_cast<int>(-bias);
}

// ---- the library lock -----------------------------------------------------

void lockCreate() {
  for (;;) {
    LONG state = InterlockedCompareExchange(&gLockState, kLockCreating, kLockAbsent);
    if (state == kLockReady) return;
    if (state == kLockAbsent) {
      InitializeCriticalSection(&gLock);
      InterlockedExchange(&gLockState, kLockReady);
      return;
    }
    Sleep(0);  // another thread is creating it right now
  }
}

void lockEnter() {
  lockCreate();
  EnterCriticalSection(&gLock);
}

void lockLeave() {
  if (gLockState == kLockReady) LeaveCriticalSection(&gLock);
}

void lockDelete() {
  if (InterlockedCompareExchange(&gLockState, kLockCreating, kLockReady) != kLockReady) return;
  DeleteCriticalSection(&gLock);
  InterlockedExchange(&gLockState, kLockAbsent);
}

// ---- memory ---------------------------------------------------------------

// Blocks are movable global memory, locked once for their whole life so the
// pointer stays put; GlobalHandle finds the handle again when the block is
// freed.
namespace {
std::atomic<int32_t> gAllocationsAllowed{-1};
}  // namespace

void* memoryAllocate(std::size_t size) {
  int32_t allowed = gAllocationsAllowed.load(std::memory_order_relaxed);
  if (allowed == 0) return nullptr;
  if (allowed > 0) gAllocationsAllowed.store(allowed - 1, std::memory_order_relaxed);
  HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size == 0 ? 1 : size);
  if (handle == nullptr) return nullptr;
  void* block = GlobalLock(handle);
  if (block == nullptr) GlobalFree(handle);
  return block;
}

void setMemoryRefusal(int32_t allowed) { gAllocationsAllowed.store(allowed, std::memory_order_relaxed); }

void memoryFree(void* block) {
  if (block == nullptr) return;
  HGLOBAL handle = GlobalHandle(block);
  if (handle == nullptr) return;
  GlobalUnlock(handle);
  GlobalFree(handle);
}

// ---- files ----------------------------------------------------------------

int32_t fileOpenRead(const char* path) {
  if (path == nullptr) return -1;
  HFILE handle = _lopen(path, OF_READ | OF_SHARE_DENY_WRITE);
  return handle > 0 ? handle : -1;
}

int32_t fileCreate(const char* path) {
  if (path == nullptr) return -1;
  HFILE handle = _lcreat(path, kNormalFile);
  return handle > 0 ? handle : -1;
}

namespace {

constexpr int kWidePathRoom = 1024;

// The directory in the system's code page, the name in UTF-8, both made
// wide for CreateFileW.
bool widePath(const char* path, int32_t nameStart, wchar_t* wide) {
  int directory = 0;
  if (nameStart > 0) {
    directory = MultiByteToWideChar(CP_ACP, 0, path, nameStart, wide, kWidePathRoom - 1);
    if (directory <= 0) return false;
  }
  return MultiByteToWideChar(CP_UTF8, 0, path + nameStart, -1, wide + directory, kWidePathRoom - directory) > 0;
}

// A handle of CreateFile serves _lwrite and _lclose like one of _lcreat,
// which is a file handle too.
int32_t fileHandleValue(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE) return -1;
  auto value = static_cast<int32_t>(reinterpret_cast<intptr_t>(handle));
  return value > 0 ? value : -1;
}

// Whether CREATE_NEW just failed because the name is taken: by a file
// (ERROR_FILE_EXISTS), or by a directory, which gives ERROR_ACCESS_DENIED.
// The error is read before anything else can change it.
template <typename Attributes>
bool nameTakenAfterFailure(Attributes attributesOfName) {
  DWORD error = GetLastError();
  return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
         (error == ERROR_ACCESS_DENIED && attributesOfName() != INVALID_FILE_ATTRIBUTES);
}

}  // namespace

int32_t fileCreateNamed(const char* path, int32_t nameStart) {
  if (path == nullptr || nameStart < 0) return -1;
  wchar_t wide[kWidePathRoom];
  if (!widePath(path, nameStart, wide)) return -1;
  return fileHandleValue(CreateFileW(wide, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
}

int32_t fileCreateNew(const char* path, int32_t nameStart, bool utf8Name) {
  if (path == nullptr || nameStart < 0) return -1;
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
  if (utf8Name) {
    wchar_t wide[kWidePathRoom];
    if (!widePath(path, nameStart, wide)) return -1;
    HANDLE handle = CreateFileW(wide, GENERIC_WRITE, kShare, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && nameTakenAfterFailure([&] { return GetFileAttributesW(wide); })) {
      return kFileExists;
    }
    return fileHandleValue(handle);
  }
  HANDLE handle = CreateFileA(path, GENERIC_WRITE, kShare, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE && nameTakenAfterFailure([&] { return GetFileAttributesA(path); })) {
    return kFileExists;
  }
  return fileHandleValue(handle);
}

int32_t fileRead(int32_t handle, void* data, int32_t length) {
  if (handle <= 0 || length < 0 || (data == nullptr && length > 0)) return -1;
  UINT got = _lread(handle, data, static_cast<UINT>(length));
  return got == kFileCallFailed ? -1 : static_cast<int32_t>(got);
}

int32_t fileWrite(int32_t handle, const void* data, int32_t length) {
  if (handle <= 0 || length < 0 || (data == nullptr && length > 0)) return -1;
  // _lwrite with a count of 0 cuts the file at the current position, so an
  // empty write must not reach it.
  if (length == 0) return 0;
  const char* next = static_cast<const char*>(data);
  int32_t left = length;
  while (left > 0) {
    UINT put = _lwrite(handle, next, static_cast<UINT>(left));
    if (put == kFileCallFailed || put == 0) return -1;
    next += put;
    left -= static_cast<int32_t>(put);
  }
  return length;
}

void fileClose(int32_t handle) {
  if (handle > 0) _lclose(handle);
}

bool sameFile(int32_t handle, const char* path) {
  if (handle <= 0 || path == nullptr) return false;
  BY_HANDLE_FILE_INFORMATION open{};
  // A handle of the plain file calls is the file's HANDLE.
  if (GetFileInformationByHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle)), &open) == 0) return false;
  HANDLE other = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (other == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION named{};
  bool known = GetFileInformationByHandle(other, &named) != 0;
  CloseHandle(other);
  return known && open.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
         open.nFileIndexHigh == named.nFileIndexHigh && open.nFileIndexLow == named.nFileIndexLow;
}

char directorySeparator() { return '\\'; }

// Windows file calls take "/" as well as "\", so both end a directory part.
bool isPathSeparator(char c) { return c == '/' || c == '\\' || c == ':'; }

// ---- text ---------------------------------------------------------------

int32_t formatTextV(char* buffer, int32_t room, const char* format, va_list args) {
  if (buffer == nullptr || room <= 0) return 0;
  buffer[0] = '\0';
  if (format == nullptr) return 0;
  // wvsprintfA takes no size: it always writes into a buffer of its own
  // limit, and the result is copied out within the caller's room.
  char formatted[kFormatterRoom];
  int length = wvsprintfA(formatted, format, args);
  if (length < 0) length = 0;
  if (length > kFormatLimit) length = kFormatLimit;
  if (length > room - 1) length = room - 1;
  std::memcpy(buffer, formatted, static_cast<std::size_t>(length));
  buffer[length] = '\0';
  return length;
}

int32_t formatText(char* buffer, int32_t room, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int32_t length = formatTextV(buffer, room, format, args);
  va_end(args);
  return length;
}

void alert(const char* title, const char* text) {
  MessageBoxA(nullptr, text != nullptr ? text : "", title != nullptr ? title : "",
              MB_TASKMODAL | MB_ICONWARNING | MB_OK);
}

}  // namespace qel::plat

// POSIX time, lock, memory, files, formatting and alerts.
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/platform.h"

namespace qel::plat {
namespace {

std::atomic<uint32_t> gTickOffset{0};

// The library lock behaves like a Windows critical section: recursive, and
// usable from any thread.
pthread_mutex_t gLock;
pthread_once_t gLockOnce = PTHREAD_ONCE_INIT;

void initLock() {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&gLock, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

// File handles must be above 0: descriptor 0 is possible when the host
// program has closed its standard input, so it is moved elsewhere.
int32_t handleFromDescriptor(int fd) {
  if (fd < 0) return -1;
  if (fd == 0) {
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
    ::close(fd);
    return moved < 0 ? -1 : moved;
  }
  return fd;
}

}  // namespace

uint32_t tickCount() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms) + gTickOffset.load(std::memory_order_relaxed);
}

uint32_t tickCountCoarse() {
  timespec now{};
  if (::clock_gettime(CLOCK_MONOTONIC_COARSE, &now) != 0) return tickCount();
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms) + gTickOffset.load(std::memory_order_relaxed);
}

void setTickOffset(uint32_t offset) { gTickOffset.store(offset, std::memory_order_relaxed); }

void sleepMs(uint32_t ms) {
  if (ms == 0) {
    ::sched_yield();
    return;
  }
  timespec pause{};
  pause.tv_sec = static_cast<time_t>(ms / 1000);
  pause.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (::nanosleep(&pause, &pause) < 0 && errno == EINTR) {
  }
}

void yield() { ::sched_yield(); }

uint32_t processId() { return static_cast<uint32_t>(::getpid()); }

void randomBytes(uint8_t* out, int32_t count) {
  // getentropy gives at most 256 bytes a call.
  constexpr int32_t kEntropyChunk = 256;
  for (int32_t done = 0; done < count;) {
    int32_t chunk = count - done < kEntropyChunk ? count - done : kEntropyChunk;
    if (::getentropy(out + done, static_cast<size_t>(chunk)) != 0) {
      // No random source: clock and process, never all zero.
      timespec now{};
      ::clock_gettime(CLOCK_REALTIME, &now);
      uint64_t mix = static_cast<uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(::getpid());
      for (int32_t i = done; i < count; ++i) out[i] = static_cast<uint8_t>(mix >> ((i % 8) * 8));
      return;
    }
    done += chunk;
  }
}

void localTime(LocalTime* out) {
  time_t now = ::time(nullptr);
  tm parts{};
  ::localtime_r(&now, &parts);
  out->year = parts.tm_year + 1900;
  out->month = parts.tm_mon + 1;
  out->dayOfWeek = parts.tm_wday;
  out->day = parts.tm_mday;
  out->hour = parts.tm_hour;
  out->minute = parts.tm_min;
  out->second = parts.tm_sec;
  out->utcOffsetMinutes = static_cast<int>(parts.tm_gmtoff / 60);
}

void lockCreate() { pthread_once(&gLockOnce, initLock); }
void lockEnter() {
  pthread_once(&gLockOnce, initLock);
  pthread_mutex_lock(&gLock);
}
void lockLeave() { pthread_mutex_unlock(&gLock); }
void lockDelete() {}

namespace {
std::atomic<int32_t> gAllocationsAllowed{-1};
}  // namespace

void* memoryAllocate(std::size_t size) {
  int32_t allowed = gAllocationsAllowed.load(std::memory_order_relaxed);
  if (allowed == 0) return nullptr;
  if (allowed > 0) gAllocationsAllowed.store(allowed - 1, std::memory_order_relaxed);
  return std::calloc(1, size);
}
void setMemoryRefusal(int32_t allowed) { gAllocationsAllowed.store(allowed, std::memory_order_relaxed); }
void memoryFree(void* block) { std::free(block); }

int32_t fileOpenRead(const char* path) {
  if (path == nullptr) return -1;
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    struct stat info {};
    // Directories open fine on POSIX but cannot be read as files.
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
      ::close(fd);
      return -1;
    }
  }
  return handleFromDescriptor(fd);
}

int32_t fileCreate(const char* path) {
  if (path == nullptr) return -1;
  int fd;
  do {
    fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  return handleFromDescriptor(fd);
}

// File names are bytes here: UTF-8 goes to the file system as it is.
int32_t fileCreateNamed(const char* path, int32_t) { return fileCreate(path); }

int32_t fileCreateNew(const char* path, int32_t, bool) {
  if (path == nullptr) return -1;
  int fd;
  do {
    fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0 && errno == EEXIST) return kFileExists;
  return handleFromDescriptor(fd);
}

int32_t fileRead(int32_t handle, void* data, int32_t length) {
  if (handle <= 0 || length < 0) return -1;
  ssize_t got;
  do {
    got = ::read(handle, data, static_cast<size_t>(length));
  } while (got < 0 && errno == EINTR);
  return got < 0 ? -1 : static_cast<int32_t>(got);
}

int32_t fileWrite(int32_t handle, const void* data, int32_t length) {
  if (handle <= 0 || length < 0) return -1;
  const char* next = static_cast<const char*>(data);
  int32_t left = length;
  while (left > 0) {
    ssize_t put = ::write(handle, next, static_cast<size_t>(left));
    if (put < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    next += put;
    left -= static_cast<int32_t>(put);
  }
  return length;
}

void fileClose(int32_t handle) {
  if (handle > 0) ::close(handle);
}

bool sameFile(int32_t handle, const char* path) {
  if (handle <= 0 || path == nullptr) return false;
  struct stat open {};
  struct stat named {};
  if (::fstat(handle, &open) != 0 || ::stat(path, &named) != 0) return false;
  return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

char directorySeparator() { return '/'; }

bool isPathSeparator(char c) { return c == '/' || c == '\\' || c == ':'; }

int32_t formatTextV(char* buffer, int32_t room, const char* format, va_list args) {
  if (buffer == nullptr || room <= 0) return 0;
  int32_t limit = room - 1 < kFormatLimit ? room - 1 : kFormatLimit;
  int wanted = std::vsnprintf(buffer, static_cast<size_t>(limit) + 1, format, args);
  if (wanted < 0) {
    buffer[0] = '\0';
    return 0;
  }
  return wanted < limit ? wanted : limit;
}

int32_t formatText(char* buffer, int32_t room, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int32_t length = formatTextV(buffer, room, format, args);
  va_end(args);
  return length;
}

void alert(const char* title, const char* text) {
  std::fprintf(stderr, "%s: %s\n", title ? title : "", text ? text : "");
  std::fflush(stderr);
}

}  // namespace qel::plat

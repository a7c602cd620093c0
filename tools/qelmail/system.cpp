#include "system.h"

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <direct.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace qelmail {
namespace {

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void onStopSignal(int signal) { stopRequested = signal; }

}  // namespace

void installStopSignals() {
  std::signal(SIGINT, onStopSignal);
  std::signal(SIGTERM, onStopSignal);
}

int stopSignal() { return static_cast<int>(stopRequested); }

namespace {

#ifdef _WIN32
FILE* openCommand(const char* command) { return ::_popen(command, "r"); }
int closeCommand(FILE* pipe) { return ::_pclose(pipe); }
#else
FILE* openCommand(const char* command) { return ::popen(command, "r"); }
int closeCommand(FILE* pipe) {
  int status = ::pclose(pipe);
  return status == -1 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

}  // namespace

bool commandFirstLine(const std::string& command, std::string* line, int* status) {
  std::fflush(nullptr);
  FILE* pipe = openCommand(command.c_str());
  *status = -1;
  if (pipe == nullptr) return false;
  line->clear();
  bool lineEnded = false;
  // The whole output is read, so that the command never stops on a full pipe.
  for (int c; (c = std::fgetc(pipe)) != EOF;) {
    if (c == '\n') lineEnded = true;
    if (!lineEnded) line->push_back(static_cast<char>(c));
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  *status = closeCommand(pipe);
  return *status == 0;
}

#ifdef _WIN32

bool makeDirectory(const std::string& path) { return ::_mkdir(path.c_str()) == 0; }

std::string absolutePath(const std::string& path) {
  char resolved[_MAX_PATH];
  return ::_fullpath(resolved, path.c_str(), sizeof resolved) != nullptr ? resolved : "";
}

bool othersMayRead(const std::string&) { return false; }

std::string makeTemporaryDirectory() { return ""; }


#else

bool makeDirectory(const std::string& path) {
  constexpr mode_t kDirectoryMode = 0755;
  return ::mkdir(path.c_str(), kDirectoryMode) == 0;
}

std::string absolutePath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

bool othersMayRead(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && (info.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

std::string makeTemporaryDirectory() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qelmail-XXXXXX";
  return ::mkdtemp(&pattern[0]) != nullptr ? pattern : "";
}


#endif

}  // namespace qelmail

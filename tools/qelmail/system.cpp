#include "system.h"

#include <climits>
#include <csignal>
#include <cstdlib>

#ifdef _WIN32
#include <direct.h>
#include <windows.h>
#else
#include <sys/stat.h>
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

#ifdef _WIN32

bool makeDirectory(const std::string& path) { return ::_mkdir(path.c_str()) == 0; }

std::string absolutePath(const std::string& path) {
  char resolved[_MAX_PATH];
  return ::_fullpath(resolved, path.c_str(), sizeof resolved) != nullptr ? resolved : "";
}


#else

bool makeDirectory(const std::string& path) {
  constexpr mode_t kDirectoryMode = 0755;
  return ::mkdir(path.c_str(), kDirectoryMode) == 0;
}

std::string absolutePath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}


#endif

}  // namespace qelmail

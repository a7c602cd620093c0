#include "files.h"

#include "system.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qelmail {
namespace {

constexpr size_t kMaxIdName = 64;

}  // namespace

bool makeDirectories(const std::string& path) {
  if (path.empty()) return false;
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    if (!makeDirectory(part) && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::vector<std::string> directoryEntries(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

void removeDirectory(const std::string& path) {
  for (const std::string& name : directoryEntries(path)) ::unlink((path + "/" + name).c_str());
  ::rmdir(path.c_str());
}

std::string fileNameFromId(const std::string& id) {
  std::string name;
  for (char c : id) {
    if (name.size() == kMaxIdName) break;
    bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                std::strchr("._-+=", c) != nullptr;
    name += kept && c != '\0' ? c : '_';
  }
  if (!name.empty() && name[0] == '.') name[0] = '_';
  return name;
}

}  // namespace qelmail

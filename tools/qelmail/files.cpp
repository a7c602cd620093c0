#include "files.h"

#include "system.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace qelmail {
namespace {

constexpr size_t kMaxIdName = 64;
constexpr size_t kChunk = 1 << 16;

struct FileCloser {
  void operator()(FILE* file) const {
    if (file != nullptr) std::fclose(file);
  }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Where the reader stands in the answer.
enum class Position { statusLine, lineStart, afterDot, afterDotCr, midLine, ended };

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

bool unwrapRawCapture(const std::string& capturePath, const std::string& messagePath, std::string* error) {
  File in(std::fopen(capturePath.c_str(), "rb"));
  if (!in) {
    *error = "cannot read " + capturePath;
    return false;
  }
  File out(std::fopen(messagePath.c_str(), "wb"));
  if (!out) {
    *error = "cannot create " + messagePath;
    return false;
  }
  std::vector<char> chunk(kChunk);
  Position at = Position::statusLine;
  bool first = true;
  size_t n;
  while (at != Position::ended && (n = std::fread(chunk.data(), 1, chunk.size(), in.get())) > 0) {
    if (first && chunk[0] != '+') {
      *error = "the server did not answer +OK";
      return false;
    }
    first = false;
    std::string emit;
    emit.reserve(n);
    for (size_t i = 0; i < n && at != Position::ended; ++i) {
      char c = chunk[i];
      switch (at) {
        case Position::statusLine:
          if (c == '\n') at = Position::lineStart;
          break;
        case Position::lineStart:
          if (c == '.') {
            at = Position::afterDot;  // a stuffed dot, or the end
            break;
          }
          [[fallthrough]];
        case Position::midLine: {
          // Copy up to the line's end at once.
          const char* end = static_cast<const char*>(std::memchr(&chunk[i], '\n', n - i));
          size_t stop = end != nullptr ? static_cast<size_t>(end - chunk.data()) + 1 : n;
          emit.append(&chunk[i], stop - i);
          i = stop - 1;
          at = end != nullptr ? Position::lineStart : Position::midLine;
          break;
        }
        case Position::afterDot:
          if (c == '\r') {
            at = Position::afterDotCr;
          } else {
            emit += c;
            at = c == '\n' ? Position::lineStart : Position::midLine;
          }
          break;
        case Position::afterDotCr:
          if (c == '\n') {
            at = Position::ended;
          } else {
            emit += '\r';
            --i;  // this byte begins the rest of the line
            at = Position::midLine;
          }
          break;
        case Position::ended:
          break;
      }
    }
    if (!emit.empty() && std::fwrite(emit.data(), 1, emit.size(), out.get()) != emit.size()) {
      *error = "cannot write " + messagePath;
      return false;
    }
  }
  if (std::ferror(in.get())) {
    *error = "cannot read " + capturePath;
    return false;
  }
  if (at != Position::ended) {
    *error = "the download ended before the end of the message";
    return false;
  }
  if (std::fclose(out.release()) != 0) {
    *error = "cannot write " + messagePath;
    return false;
  }
  return true;
}

}  // namespace qelmail

// Helpers shared by the test programs.
#pragma once

#include <cstdint>
#include <string>

#include "frame/channel.h"

namespace qel::test {

// Attaches `channels` channels for one test and releases them at the end.
class Attached {
 public:
  explicit Attached(int32_t channels = 4);
  ~Attached();
  Attached(const Attached&) = delete;
  Attached& operator=(const Attached&) = delete;
  ChannelRecord* record(int32_t channel) const;
  // The record with the decoder state and POP3 session a download has, for
  // tests that set a download's fields directly.
  ChannelRecord* downloading(int32_t channel) const;
};

// A fresh temporary directory, removed with its contents at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);

}  // namespace qel::test

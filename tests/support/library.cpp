#include "support/library.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "frame/settings.h"
#include "mime/decoder_state.h"
#include "pop3/session.h"
#include "qel32.h"

namespace qel::test {

Attached::Attached(int32_t channels) {
  resetLibrarySettings();
  EXPECT_EQ(qelAttach(channels, 0), 1);
}

Attached::~Attached() { qelRelease(); }

ChannelRecord* Attached::record(int32_t channel) const { return channelRecord(channel); }

ChannelRecord* Attached::downloading(int32_t channel) const {
  ChannelRecord* made = channelRecord(channel);
  EXPECT_EQ(openDecoder(made), 0);
  EXPECT_EQ(openPop3Session(made), 0);
  return made;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "qel-test-XXXXXX").string();
  char* made = ::mkdtemp(pattern.data());
  EXPECT_NE(made, nullptr);
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool fileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

}  // namespace qel::test

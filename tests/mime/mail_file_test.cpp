// The message path, the "+OK" filter and the closing of the message file.
#include <gtest/gtest.h>

#include <string>

#include "frame/channel.h"
#include "platform/platform.h"
#include "mime/mail_file.h"
#include "support/library.h"

using namespace qel;
using namespace qel::test;

namespace {

TEST(MailFile, JoinPath) {
  const struct {
    const char* directory;
    const char* name;
    const char* joined;
  } cases[] = {
      {"/tmp/mail", "m.txt", "/tmp/mail/m.txt"},
      {"/tmp/mail/", "m.txt", "/tmp/mail/m.txt"},
      {"C:\\mail\\", "m.txt", "C:\\mail\\m.txt"},
      {"", "m.txt", "m.txt"},  // the current directory, never the root
      {"dir", "", "dir/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.joined);
    char path[fieldSize(kPathCap)];
    EXPECT_TRUE(joinPath(path, kPathCap, c.directory, c.name));
    EXPECT_STREQ(path, c.joined);
  }
}

TEST(MailFile, JoinedPathMustFit) {
  char path[fieldSize(kPathCap)];
  std::string directory(100, 'd');
  // 100 + 1 + 27 = 128 fits exactly; one more does not.
  EXPECT_TRUE(joinPath(path, kPathCap, directory.c_str(), std::string(27, 'n').c_str()));
  EXPECT_EQ(std::string(path), directory + "/" + std::string(27, 'n'));
  EXPECT_FALSE(joinPath(path, kPathCap, directory.c_str(), std::string(28, 'n').c_str()));
  EXPECT_STREQ(path, "");
  std::string slashed = directory + "/";
  EXPECT_TRUE(joinPath(path, kPathCap, slashed.c_str(), std::string(27, 'n').c_str()));
  EXPECT_FALSE(joinPath(path, kPathCap, std::string(128, 'd').c_str(), std::string(128, 'n').c_str()));
}

TEST(MailFile, WriteUnlessOk) {
  TempDir dir;
  std::string path = dir.file("w.txt");
  int32_t file = plat::fileCreate(path.c_str());
  ASSERT_GT(file, 0);
  EXPECT_EQ(writeUnlessOk(file, "+OK 12 octets\r\n", 15), 0);
  EXPECT_EQ(writeUnlessOk(file, "+OKAY\r\n", 7), 0);
  EXPECT_EQ(writeUnlessOk(file, "+Ok\r\n", 5), 5);
  EXPECT_EQ(writeUnlessOk(file, "-ERR\r\n", 6), 6);
  EXPECT_EQ(writeUnlessOk(file, "+O", 2), 2);
  EXPECT_EQ(writeUnlessOk(file, "a\0b\r\n", 5), 5);
  plat::fileClose(file);
  EXPECT_EQ(readFile(path), std::string("+Ok\r\n-ERR\r\n+Oa\0b\r\n", 18));
  EXPECT_EQ(writeUnlessOk(0, "text", 4), -1);
}

}  // namespace

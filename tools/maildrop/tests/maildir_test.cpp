// The Maildir store: what a delivery leaves behind, and what POP3 gets to
// list.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "maildir.h"

namespace maildrop {
namespace {

class MaildirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qel-maildir-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    root_ = base_ + "/root";
  }
  void TearDown() override { ASSERT_EQ(std::system(("rm -rf '" + base_ + "'").c_str()), 0); }

  std::vector<std::string> filesIn(const std::string& directory) {
    std::vector<std::string> names;
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) return names;
    while (dirent* entry = readdir(listing))
      if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    closedir(listing);
    return names;
  }
  static std::string contentOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static void put(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
  }

  std::string base_;
  std::string root_;
};

TEST_F(MaildirTest, DeliveryReachesEveryRecipientThroughTmp) {
  MaildirStore store(root_, "host:with/odd chars");
  std::string error;
  ASSERT_TRUE(store.ensureMailbox("alice", error)) << error;
  ASSERT_TRUE(store.ensureMailbox("bob", error)) << error;
  Delivery delivery(store);
  ASSERT_TRUE(delivery.begin({"alice", "bob"}, error)) << error;
  EXPECT_EQ(filesIn(root_ + "/alice/tmp").size(), 1u);
  EXPECT_TRUE(filesIn(root_ + "/alice/new").empty());
  std::string big(200000, 'x');
  ASSERT_TRUE(delivery.write("A: 1\r\n\r\n", 8));
  ASSERT_TRUE(delivery.write(big.data(), big.size()));
  ASSERT_TRUE(delivery.commit(error)) << error;
  EXPECT_EQ(delivery.name().find_first_of("/: "), std::string::npos) << delivery.name();
  for (const char* user : {"alice", "bob"}) {
    std::string mailbox = root_ + "/" + user;
    EXPECT_TRUE(filesIn(mailbox + "/tmp").empty()) << user;
    ASSERT_EQ(filesIn(mailbox + "/new"), std::vector<std::string>{delivery.name()}) << user;
    EXPECT_EQ(contentOf(mailbox + "/new/" + delivery.name()), "A: 1\r\n\r\n" + big) << user;
  }
}

TEST_F(MaildirTest, AbandonedDeliveryLeavesNothing) {
  MaildirStore store(root_, "h");
  std::string error;
  ASSERT_TRUE(store.ensureMailbox("alice", error)) << error;
  {
    Delivery delivery(store);
    ASSERT_TRUE(delivery.begin({"alice"}, error));
    ASSERT_TRUE(delivery.write("partial", 7));
  }
  EXPECT_TRUE(filesIn(root_ + "/alice/tmp").empty());
  EXPECT_TRUE(filesIn(root_ + "/alice/new").empty());
}

TEST_F(MaildirTest, ListingIsOrderedAndSkipsWhatIsNotAMessage) {
  MaildirStore store(root_, "h");
  std::string error;
  ASSERT_TRUE(store.ensureMailbox("u", error)) << error;
  std::string box = root_ + "/u";
  put(box + "/new/1700000010.M2P1Q2.h", "b");
  put(box + "/cur/1700000005.M1P1Q1.h:2,S", "a");
  put(box + "/new/1700000010.M1P1Q3.h", "c");
  put(box + "/new/.hidden", "x");
  put(base_ + "/outside", "secret");
  ASSERT_EQ(symlink((base_ + "/outside").c_str(), (box + "/new/1700000001.link").c_str()), 0);
  ASSERT_EQ(mkdir((box + "/new/1700000002.dir").c_str(), 0700), 0);
  std::string longName = "1700000020." + std::string(80, 'n');
  put(box + "/new/" + longName, "d");
  put(box + "/new/1700000030.sp ace", "e");

  std::vector<StoredMessage> messages = store.listMessages("u");
  ASSERT_EQ(messages.size(), 5u);
  EXPECT_EQ(messages[0].path, box + "/cur/1700000005.M1P1Q1.h:2,S");
  EXPECT_EQ(messages[0].uniqueId, "1700000005.M1P1Q1.h");
  EXPECT_EQ(messages[1].uniqueId, "1700000010.M1P1Q3.h");
  EXPECT_EQ(messages[2].uniqueId, "1700000010.M2P1Q2.h");
  EXPECT_EQ(messages[3].path, box + "/new/" + longName);
  EXPECT_EQ(messages[4].path, box + "/new/1700000030.sp ace");
  // Names no POP3 id can carry get a stable stand-in of 32 hex digits.
  for (size_t i : {3u, 4u}) {
    EXPECT_EQ(messages[i].uniqueId.size(), 32u);
    EXPECT_EQ(messages[i].uniqueId.find_first_not_of("0123456789abcdef"), std::string::npos);
  }
  EXPECT_EQ(store.listMessages("u")[3].uniqueId, messages[3].uniqueId);
  EXPECT_NE(messages[3].uniqueId, messages[4].uniqueId);
}

}  // namespace
}  // namespace maildrop

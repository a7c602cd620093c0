// The incoming decoder end to end: messages built with Python's email
// package (decoder_messages.py) are sent through Postfix, moved from the
// delivered Maildir file into a private Dovecot box, downloaded with
// qelGetEmailFile, and every attachment file is compared byte for byte with
// the bytes the message was built from.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/e2e_env.h"
#include "qel32.h"
#include "support/library.h"

namespace qel::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kDeliveryWaitMs = 60000;

std::string shellQuoted(const std::string& text) { return "'" + text + "'"; }

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

std::vector<std::string> sortedFiles(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(DecoderEndToEnd, PythonMessages) {
  Servers servers;
  QEL_E2E_REQUIRE(kDefaultServers, servers);
  test::Attached lib(1);
  test::TempDir dir;

  std::random_device random;
  std::string marker = "qel-decoder-" + std::to_string(random()) + std::to_string(random());
  std::string built = dir.file("built");
  fs::create_directory(built);
  std::string script = (fs::path(__FILE__).parent_path() / "decoder_messages.py").string();
  std::string command =
      "python3 " + shellQuoted(script) + " " + shellQuoted(envFilePath(kDefaultServers)) + " " + shellQuoted(built) + " " + marker;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::vector<std::string> messages = lines(test::readFile(built + "/messages"));
  ASSERT_FALSE(messages.empty());

  // Postfix delivers to alice; each message is moved into a private box so
  // that its number there is known.
  std::string maildir;
  std::string box = makeBox(servers, &maildir);
  ASSERT_FALSE(box.empty());
  for (const std::string& name : messages) {
    std::string delivered = waitForMessage(servers.get("ALICE_MAILDIR"), marker + "-" + name, kDeliveryWaitMs);
    ASSERT_FALSE(delivered.empty()) << name << " was not delivered";
    ASSERT_FALSE(putMessage(servers, maildir, test::readFile(delivered)).empty());
    fs::remove(delivered);
  }

  qelIntegerParam(0, QEL_PARAM_POP3_PORT, servers.port("POP3_PORT"));
  ASSERT_EQ(qelPop3Connect(0, servers.get("POP3_HOST").c_str(), box.c_str(), servers.get("BOX_PASSWORD").c_str()),
            0);
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const std::string& name = messages[i];
    SCOPED_TRACE(name);
    std::string expected = built + "/" + name;
    std::string attachDirectory = dir.file("saved-" + name);
    fs::create_directory(attachDirectory);
    std::string mailName = "mail-" + name;
    ASSERT_EQ(qelGetEmailFile(0, static_cast<int32_t>(i + 1), mailName.c_str(), dir.path().c_str(),
                              attachDirectory.c_str()),
              0)
        << [] {
             char text[300];
             qelErrorText(0, QEL_ERR_POP3_ERROR, text, sizeof text);
             return std::string(text);
           }();

    std::vector<std::string> files = sortedFiles(expected + "/attachments");
    EXPECT_EQ(sortedFiles(attachDirectory), files);
    for (const std::string& file : files) {
      std::string source = test::readFile(expected + "/attachments/" + file);
      std::string saved = test::readFile(attachDirectory + "/" + file);
      EXPECT_EQ(saved.size(), source.size()) << file;
      EXPECT_TRUE(saved == source) << file << " differs from its source";
    }
    char savedNames[1025];
    qelDebug(0, QEL_DEBUG_SAVED_NAMES, savedNames, 1024);
    EXPECT_EQ(std::string(savedNames), test::readFile(expected + "/names"));
    EXPECT_EQ(qelStatistics(0, QEL_STAT_SAVED_COUNT), static_cast<int32_t>(files.size()));

    std::string mail = test::readFile(dir.file(mailName));
    EXPECT_NE(mail.find(test::readFile(expected + "/text") + "\r\n"), std::string::npos);
    for (const std::string& file : files) {
      EXPECT_NE(mail.find("[Attachment saved to \"" + attachDirectory + "/" + file + "\"]\r\n"), std::string::npos)
          << file;
    }
  }
  EXPECT_EQ(qelClose(0), 0);
}

}  // namespace
}  // namespace qel::e2e

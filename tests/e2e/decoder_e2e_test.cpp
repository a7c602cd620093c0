// The incoming decoder end to end. Messages go through Postfix to alice;
// each delivered file is moved into a private Dovecot box, downloaded with
// qelGetEmailFile, and every attachment file is compared byte for byte with
// the bytes the message was made from. The messages are built by Python's
// email package (decoder_messages.py), and composed by this library.
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
constexpr size_t kLargeBytes = 5 * 1024 * 1024;

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string uniqueMarker(const std::string& what) {
  std::random_device device;
  return "qel-decoder-" + what + "-" + std::to_string(device()) + std::to_string(device());
}

std::string randomBytes(size_t count) {
  std::random_device device;
  std::mt19937 random(device());
  std::string bytes(count, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, separator);) {
    if (!item.empty()) out.push_back(item);
  }
  return out;
}

std::vector<std::string> sortedFiles(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Moves the message with `marker` from alice's Maildir into the private
// box. A POP3 session of another test may move the file from new/ to cur/
// between finding and reading it, so a read without the marker is retried.
bool moveToBox(const Servers& servers, const std::string& marker, const std::string& box) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::string path = waitForMessage(servers.get("ALICE_MAILDIR"), marker, kDeliveryWaitMs);
    if (path.empty()) return false;
    std::string bytes = test::readFile(path);
    if (bytes.find(marker) == std::string::npos) continue;
    if (putMessage(servers, box, bytes).empty()) return false;
    std::error_code ignored;
    fs::remove(path, ignored);
    return true;
  }
  return false;
}

// Downloads message `number` of the box on channel 1 into directory and
// checks the files against `expected` (name and source path, in the order
// of the parts); the message file must hold `text`.
void downloadAndCompare(int32_t number, const test::TempDir& dir, const std::string& tag,
                        const std::vector<std::pair<std::string, std::string>>& expected, const std::string& text) {
  std::string attachDirectory = dir.file("saved-" + tag);
  fs::create_directory(attachDirectory);
  std::string mailName = "mail-" + tag;
  ASSERT_EQ(qelGetEmailFile(1, number, mailName.c_str(), dir.path().c_str(), attachDirectory.c_str()), 0);

  std::vector<std::string> names;
  std::string savedNames;
  for (const auto& [name, source] : expected) {
    names.push_back(name);
    savedNames += (savedNames.empty() ? "" : ",") + name;
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(sortedFiles(attachDirectory), names);
  for (const auto& [name, source] : expected) {
    std::string original = test::readFile(source);
    std::string saved = test::readFile(attachDirectory + "/" + name);
    EXPECT_EQ(saved.size(), original.size()) << name;
    EXPECT_TRUE(saved == original) << name << " differs from its source";
  }
  char list[1025];
  qelDebug(1, QEL_DEBUG_SAVED_NAMES, list, 1024);
  EXPECT_EQ(std::string(list), savedNames);
  EXPECT_EQ(qelStatistics(1, QEL_STAT_SAVED_COUNT), static_cast<int32_t>(expected.size()));
  std::string mail = test::readFile(dir.file(mailName));
  EXPECT_NE(mail.find(text), std::string::npos) << text;
  for (const auto& [name, source] : expected) {
    EXPECT_NE(mail.find("[Attachment saved to \"" + attachDirectory + "/" + name + "\"]\r\n"), std::string::npos)
        << name;
  }
}

int32_t connectBox(const Servers& servers, const std::string& box) {
  qelIntegerParam(1, QEL_PARAM_POP3_PORT, servers.port("POP3_PORT"));
  return qelPop3Connect(1, servers.get("POP3_HOST").c_str(), box.c_str(), servers.get("BOX_PASSWORD").c_str());
}

TEST(DecoderEndToEnd, PythonMessages) {
  Servers servers;
  QEL_E2E_REQUIRE(kDefaultServers, servers);
  test::Attached lib(2);
  test::TempDir dir;

  std::string marker = uniqueMarker("python");
  std::string built = dir.file("built");
  fs::create_directory(built);
  std::string command = shellQuoted(QEL_E2E_PYTHON) + " " +
                        shellQuoted(std::string(QEL_E2E_SCRIPTS) + "/decoder_messages.py") + " " +
                        shellQuoted(envFilePath(kDefaultServers)) + " " + shellQuoted(built) + " " + marker;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::vector<std::string> messages = split(test::readFile(built + "/messages"), '\n');
  ASSERT_FALSE(messages.empty());

  std::string maildir;
  std::string box = makeBox(servers, &maildir);
  ASSERT_FALSE(box.empty());
  for (const std::string& name : messages) {
    ASSERT_TRUE(moveToBox(servers, marker + "-" + name, maildir)) << name << " was not delivered";
  }
  ASSERT_EQ(connectBox(servers, box), 0);
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const std::string& name = messages[i];
    SCOPED_TRACE(name);
    std::string folder = built + "/" + name;
    std::vector<std::pair<std::string, std::string>> expected;
    for (const std::string& file : split(test::readFile(folder + "/names"), ',')) {
      expected.emplace_back(file, folder + "/attachments/" + file);
    }
    downloadAndCompare(static_cast<int32_t>(i + 1), dir, name, expected, test::readFile(folder + "/text") + "\r\n");
  }
  EXPECT_EQ(qelClose(1), 0);
}

class DecoderRoundTrip : public ::testing::TestWithParam<int32_t> {};

TEST_P(DecoderRoundTrip, LibraryMessageComesBackWhole) {
  Servers servers;
  QEL_E2E_REQUIRE(kDefaultServers, servers);
  test::Attached lib(2);
  test::TempDir dir;
  std::string marker = uniqueMarker("type" + std::to_string(GetParam()));
  std::vector<std::pair<std::string, std::string>> expected = {
      {"small.bin", dir.file("small.bin")},
      {"large.dat", dir.file("large.dat")},
      {"logo.gif", dir.file("logo.gif")},
  };
  test::writeFile(expected[0].second, randomBytes(1000));
  test::writeFile(expected[1].second, randomBytes(kLargeBytes));
  test::writeFile(expected[2].second, "GIF89a" + randomBytes(300));
  std::string attachments = expected[0].second + "," + expected[1].second + "," + expected[2].second;
  std::string text = "Marker " + marker;

  qelIntegerParam(0, QEL_PARAM_SMTP_PORT, servers.port("SMTP_PORT"));
  qelIntegerParam(0, QEL_PARAM_BODY_TYPE, GetParam());
  std::string address = "<" + servers.get("ALICE_ADDRESS") + ">";
  ASSERT_EQ(qelSmtpConnect(0, servers.get("SMTP_HOST").c_str(), ("Carol " + address).c_str(), nullptr), 0);
  ASSERT_EQ(qelSendEmail(0, ("Alice " + address).c_str(), nullptr, nullptr, marker.c_str(), text.c_str(),
                         attachments.c_str()),
            0);
  // The last recipient the server accepted.
  char recipient[40];
  EXPECT_EQ(qelDebug(0, QEL_DEBUG_LAST_RECIPIENT, recipient, 32), static_cast<int32_t>(address.size()));
  EXPECT_EQ(std::string(recipient), address);
  EXPECT_EQ(qelClose(0), 0);

  std::string maildir;
  std::string box = makeBox(servers, &maildir);
  ASSERT_FALSE(box.empty());
  ASSERT_TRUE(moveToBox(servers, marker, maildir));
  ASSERT_EQ(connectBox(servers, box), 0);
  downloadAndCompare(1, dir, "library", expected, text);
  EXPECT_EQ(qelClose(1), 0);
}

INSTANTIATE_TEST_SUITE_P(EachType, DecoderRoundTrip,
                         ::testing::Values(QEL_BODY_PLAIN, QEL_BODY_TEXT, QEL_BODY_HTML, QEL_BODY_ISO8859),
                         [](const ::testing::TestParamInfo<int32_t>& info) {
                           return "Type" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace qel::e2e

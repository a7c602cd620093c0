// Golden files of the decoder: each message of tests/data/decoder is served
// by the scripted server as the answer to RETR, played through decodeLine,
// and the message file and the attachment files are compared byte for byte
// with the expected ones. Every case runs twice: delivered in one piece, and
// with every line cut into segments behind its first byte and in its middle.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "decoder_player.h"
#include "frame/channel.h"
#include "frame/settings.h"
#include "platform/platform.h"
#include "support/channel_setup.h"
#include "support/library.h"
#include "support/script_server.h"

using namespace qel;
using namespace qel::test;

namespace {

const char* const kCases[] = {
    "worked_example",      // the multipart/mixed road: text part, one base64 file
    "encoded_words",       // no MIME: Subject (q, folded) and From (b) words, joined Content-Type
    "single_part_qp",      // MIME without boundary: body decoded, header lines left out
    "multipart_base64",    // folded boundary; name and filename both given
    "nested_alternative",  // alternate boundary, its preamble, "inline; filename="
    "bare_inline",         // unquoted boundary; bare inline base64 into the message file
    "eight_bit",           // 8bit is not an encoding the decoder takes
    "embedded_message",    // message/rfc822: its header examined, its body kept
    "unnamed_kept",        // unnamed base64 part without saveUnnamed
    "unnamed_saved",       // ... with saveUnnamed: incoming.mai
    "single_part_unnamed", // single part with saveUnnamed on a fresh channel: noname
    "number_names",        // numberNames across two downloads
    "omit_saved_note",     // no note lines, names still recorded
    "attach_separator",    // ";" between saved names
    "saved_names_full",    // a name that does not fit savedNames is left out
    "hostile_names",       // path parts, dots, control characters, a name too long
    "long_lines",          // lines of 1023+ bytes in pieces: header, base64, qp, text
    "folded_part_headers", // ";" before the transfer-encoding line; tab folding
};

enum class Delivery { whole, everyLineSplit };

std::string caseFolder(const std::string& name) { return std::string(QEL_TEST_DATA_DIR) + "/decoder/" + name; }

std::map<std::string, std::string> readOptions(const std::string& path) {
  std::map<std::string, std::string> options;
  std::istringstream lines(readFile(path));
  std::string key;
  std::string value;
  while (lines >> key >> value) options[key] = value;
  return options;
}

std::vector<std::string> fileNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::string name = entry.path().filename().string();
    if (name != ".keep") names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

void applyOptions(ChannelRecord* record, const std::map<std::string, std::string>& options) {
  for (const auto& [key, value] : options) {
    if (key == "numberNames") record->numberNames = std::stoul(value);
    if (key == "saveUnnamed") record->saveUnnamed = std::stoul(value);
    if (key == "omitSavedNote") settings.omitSavedNote = static_cast<uint8_t>(std::stoi(value));
    if (key == "attachSeparator") settings.attachSeparator = value[0];
  }
}

class DecoderGolden : public ::testing::TestWithParam<std::tuple<const char*, Delivery>> {};

TEST_P(DecoderGolden, MessageAndAttachmentFilesMatch) {
  const std::string name = std::get<0>(GetParam());
  const std::string folder = caseFolder(name);
  const std::string message = readFile(folder + "/input.eml");
  ASSERT_FALSE(message.empty()) << folder;
  auto options = readOptions(folder + "/options");
  int downloads = options.count("downloads") != 0 ? std::stoi(options["downloads"]) : 1;

  const std::string answer = retrAnswer(message);
  std::vector<Step> steps;
  for (int i = 0; i < downloads; ++i) {
    steps.push_back(std::get<1>(GetParam()) == Delivery::whole ? Send(answer)
                                                                 : SendSplit(answer, everyLineCuts(answer), 1));
  }
  steps.push_back(Silent());
  ScriptServer server(steps);

  Attached lib(1);
  ChannelRecord* record = lib.record(0);
  settings.pop3ReadWait = 5000;
  applyOptions(record, options);
  ASSERT_EQ(connectChannel(0, server.port(), kProtocolPop3), 0);

  TempDir temp;
  // A short attachment directory: the saved-names case needs names of 90
  // characters to fit attachPath.
  const std::string attachDirectory = temp.file("a");
  ASSERT_EQ(::mkdir(attachDirectory.c_str(), 0700), 0);
  ASSERT_LE(attachDirectory.size(), 30u) << "temporary directory too long for the saved-names case";

  std::vector<std::string> expectedTop = {"a"};
  for (int i = 1; i <= downloads; ++i) {
    std::string mailName = "mail" + std::to_string(i);
    expectedTop.push_back(mailName);
    ASSERT_TRUE(playDownload(record, temp.file(mailName), attachDirectory)) << "download " << i;
  }

  std::string expectedMail = replaceAll(readFile(folder + "/expected.mail"), "@ATTACH@", attachDirectory);
  EXPECT_EQ(readFile(temp.file("mail" + std::to_string(downloads))), expectedMail);

  std::vector<std::string> expectedFiles = fileNames(folder + "/expected");
  ASSERT_EQ(fileNames(attachDirectory), expectedFiles);
  for (const std::string& file : expectedFiles) {
    EXPECT_EQ(readFile(attachDirectory + "/" + file), readFile(folder + "/expected/" + file)) << file;
  }
  // Nothing was written anywhere else.
  std::sort(expectedTop.begin(), expectedTop.end());
  EXPECT_EQ(fileNames(temp.path()), expectedTop);

  std::istringstream saved(readFile(folder + "/expected.saved"));
  std::string savedNames;
  int savedCount = -1;
  std::getline(saved, savedNames);
  saved >> savedCount;
  EXPECT_EQ(std::string(record->savedNames), savedNames);
  EXPECT_EQ(record->savedCount, savedCount);
  EXPECT_EQ(record->fileHandle, 0);
}

std::string caseName(const ::testing::TestParamInfo<DecoderGolden::ParamType>& info) {
  return std::string(std::get<0>(info.param)) +
         (std::get<1>(info.param) == Delivery::whole ? "_whole" : "_everyLineSplit");
}

INSTANTIATE_TEST_SUITE_P(Cases, DecoderGolden,
                         ::testing::Combine(::testing::ValuesIn(kCases),
                                            ::testing::Values(Delivery::whole, Delivery::everyLineSplit)),
                         caseName);

// Every case folder is played: a new folder without an entry above would
// otherwise be silently skipped.
TEST(DecoderGoldenData, EveryCaseFolderIsListed) {
  std::vector<std::string> listed(std::begin(kCases), std::end(kCases));
  std::sort(listed.begin(), listed.end());
  std::vector<std::string> folders;
  for (const auto& entry : std::filesystem::directory_iterator(caseFolder(""))) {
    if (entry.is_directory()) folders.push_back(entry.path().filename().string());
  }
  std::sort(folders.begin(), folders.end());
  EXPECT_EQ(folders, listed);
}

}  // namespace

namespace {

// The log tells the decoder's steps through the worked example, in order.
TEST(DecoderLog, WorkedExampleNotes) {
  const std::string answer = retrAnswer(readFile(caseFolder("worked_example") + "/input.eml"));
  ScriptServer server({Send(answer), Silent()});
  Attached lib(1);
  ChannelRecord* record = lib.record(0);
  settings.pop3ReadWait = 5000;
  ASSERT_EQ(connectChannel(0, server.port(), kProtocolPop3), 0);
  TempDir temp;
  record->logFile = plat::fileCreate(temp.file("log").c_str());
  ASSERT_TRUE(playDownload(record, temp.file("mail"), temp.path()));
  plat::fileClose(record->logFile);
  record->logFile = 0;

  std::string notes;
  std::istringstream log(readFile(temp.file("log")));
  for (std::string line; std::getline(log, line);) {
    if (line.empty() || line[0] != '[') continue;
    std::size_t handle = line.find("FileHandle=");
    if (handle != std::string::npos && line.compare(handle, 13, "FileHandle=0]") != 0) {
      line = line.substr(0, handle) + "FileHandle=#]\r";
    }
    notes += line + "\n";
  }
  const std::string dir = temp.path();
  EXPECT_EQ(notes,
            "[ISO8859]\r\n"
            "[MIME version found]\r\n"
            "[MIME boundary defined 5 (--XYZ)]\r\n"
            "[Boundary line found]\r\n"
            "[Looking for encoding]\r\n"
            "[Looking for encoding]\r\n"
            "[Encoding is 7-bit]\r\n"
            "[Looking for encoding]\r\n"
            "[InlineFlag=0 MimeEncoding=1 FileHandle=0]\r\n"
            "[Boundary line found]\r\n"
            "[Looking for encoding]\r\n"
            "[Filename='a.bin']\r\n"
            "[AttachDir = '" + dir + "']\r\n"
            "[Filename = 'a.bin']\r\n"
            "[Creating '" + dir + "/a.bin']\r\n"
            "[Looking for encoding]\r\n"
            "[Encoding is BASE64]\r\n"
            "[Looking for encoding]\r\n"
            "[InlineFlag=0 MimeEncoding=2 FileHandle=#]\r\n"
            "[...decode to file...]\r\n"
            "[Boundary line found]\r\n"
            "[Attachment saved to \"" + dir + "/a.bin\"]\r\n");
}

}  // namespace

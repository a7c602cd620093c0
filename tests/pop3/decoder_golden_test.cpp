// Golden files of the decoder: each message of tests/data/decoder is served
// by the scripted server as the answer to RETR and downloaded with
// qelGetEmailFile; the message file and the attachment files are compared
// byte for byte with the expected ones. Every case runs twice: delivered in
// one piece, and with every line cut into segments behind its first byte
// and in its middle.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "mime/decoder_cases.h"
#include "frame/channel.h"
#include "frame/settings.h"
#include "mime/decoder_state.h"
#include "pop3_session.h"
#include "qel32.h"
#include "support/library.h"
#include "support/script_server.h"

using namespace qel;
using namespace qel::test;

namespace {

// How the answer arrives, and whether one driver call may handle many
// lines (QEL_PARAM_STEP_LINES): the files must not change.
enum class Delivery { whole, everyLineSplit, wholeManyLinesPerStep, everyLineSplitManyLinesPerStep };
constexpr int32_t kManyStepLines = 1024;

bool splitsLines(Delivery delivery) {
  return delivery == Delivery::everyLineSplit || delivery == Delivery::everyLineSplitManyLinesPerStep;
}

// Segment ends that cut every line behind its first byte and in its middle.
std::vector<std::size_t> everyLineCuts(const std::string& bytes) {
  std::vector<std::size_t> cuts;
  std::size_t from = 0;
  while (from < bytes.size()) {
    std::size_t lineFeed = bytes.find('\n', from);
    std::size_t end = lineFeed == std::string::npos ? bytes.size() : lineFeed + 1;
    std::size_t middle = from + (end - from) / 2;
    if (from + 1 < end) cuts.push_back(from + 1);
    if (middle > from + 1 && middle < end) cuts.push_back(middle);
    if (end < bytes.size()) cuts.push_back(end);
    from = end;
  }
  return cuts;
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
  const Delivery delivery = std::get<1>(GetParam());
  std::vector<Step> steps;
  for (int i = 0; i < downloads; ++i) {
    steps.push_back(ExpectLine("RETR 1"));
    steps.push_back(splitsLines(delivery) ? SendSplit(answer, everyLineCuts(answer), 1) : Send(answer));
  }
  steps.push_back(ExpectLine("QUIT"));
  steps.push_back(Send("+OK bye\r\n"));
  ScriptServer server(afterLogin(steps));

  Attached lib(1);
  settings.pop3ReadWait = 5000;
  applyOptions(options);
  if (delivery == Delivery::wholeManyLinesPerStep || delivery == Delivery::everyLineSplitManyLinesPerStep) {
    ASSERT_EQ(qelIntegerParam(0, QEL_PARAM_STEP_LINES, kManyStepLines), 1);
  }
  qelIntegerParam(0, QEL_PARAM_POP3_PORT, server.port());
  ASSERT_EQ(qelPop3Connect(0, kLoopback, "u", "p"), 0);

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
    ASSERT_EQ(qelGetEmailFile(0, 1, mailName.c_str(), temp.path().c_str(), attachDirectory.c_str()), 0)
        << "download " << i;
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
  char names[kSavedNamesCap + 1];
  EXPECT_EQ(qelDebug(0, QEL_DEBUG_SAVED_NAMES, names, kSavedNamesCap), static_cast<int32_t>(savedNames.size()));
  EXPECT_EQ(std::string(names), savedNames);
  EXPECT_EQ(qelStatistics(0, QEL_STAT_SAVED_COUNT), savedCount);

  EXPECT_EQ(qelClose(0), 0);
  ASSERT_TRUE(server.finished(5000));
  EXPECT_EQ(server.mismatches(), "");
}

std::string caseName(const ::testing::TestParamInfo<DecoderGolden::ParamType>& info) {
  static const char* const kDeliveryNames[] = {"_whole", "_everyLineSplit", "_wholeManyLinesPerStep",
                                               "_everyLineSplitManyLinesPerStep"};
  return std::string(std::get<0>(info.param)) + kDeliveryNames[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Cases, DecoderGolden,
                         ::testing::Combine(::testing::ValuesIn(kCases),
                                            ::testing::Values(Delivery::whole, Delivery::everyLineSplit,
                                                              Delivery::wholeManyLinesPerStep,
                                                              Delivery::everyLineSplitManyLinesPerStep)),
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
  ScriptServer server(afterLogin({ExpectLine("RETR 1"), Send(answer), Silent()}));
  Attached lib(1);
  TempDir temp;
  ASSERT_GT(qelStringParam(0, QEL_STRING_LOG_FILE, temp.file("log").c_str()), 0);
  qelIntegerParam(0, QEL_PARAM_POP3_PORT, server.port());
  ASSERT_EQ(qelPop3Connect(0, kLoopback, "u", "p"), 0);
  ASSERT_EQ(qelGetEmailFile(0, 1, "mail", temp.path().c_str(), temp.path().c_str()), 0);

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
            "[Looking for encoding]\r\n"
            "[Encoding is BASE64]\r\n"
            "[Looking for encoding]\r\n"
            "[AttachDir = '" + dir + "']\r\n"
            "[Filename = 'a.bin']\r\n"
            "[Creating '" + dir + "/a.bin']\r\n"
            "[InlineFlag=0 MimeEncoding=2 FileHandle=#]\r\n"
            "[...decode to file...]\r\n"
            "[Boundary line found]\r\n"
            "[Attachment saved to \"" + dir + "/a.bin\"]\r\n"
            "[CLOSE]\r\n");
}

// The decoder reads the rest of a long header line itself; the download
// then knows that the next line begins a line: here the closing "." line,
// and a stuffed dot.
TEST(DecoderDownload, LinesTheDecoderReadOnAreNotReadTwice) {
  std::string subject = "Subject: " + std::string(1500, 's') + "\r\n";
  struct Case {
    std::string message;
    std::string saved;
  } cases[] = {
      {subject, subject},
      {subject + ".dotted header\r\n", subject + ".dotted header\r\n"},
      {"MIME-Version: 1.0\r\nContent-Type: text/plain; x=\"" + std::string(1200, 'x') + "\"\r\n",
       "MIME-Version: 1.0\r\n"},
  };
  for (const Case& c : cases) {
    ScriptServer server(afterLogin({ExpectLine("RETR 1"), Send(retrAnswer(c.message)), ExpectLine("QUIT"),
                                    Send("+OK\r\n")}));
    Attached lib(1);
    settings.replyTimeout = 3000;
    TempDir temp;
    qelIntegerParam(0, QEL_PARAM_POP3_PORT, server.port());
    ASSERT_EQ(qelPop3Connect(0, kLoopback, "u", "p"), 0);
    EXPECT_EQ(qelGetEmailFile(0, 1, "mail", temp.path().c_str(), temp.path().c_str()), 0);
    EXPECT_EQ(readFile(temp.file("mail")), c.saved);
    EXPECT_EQ(qelClose(0), 0);
  }
}

// A download that breaks off inside a long line (right behind a full read)
// leaves nothing behind for the next one: its first line is examined like
// any other.
TEST(DecoderDownload, ANewDownloadBeginsWithAWholeLine) {
  std::string broken = "+OK\r\nMIME-Version: 1.0\r\nContent-Transfer-Encoding: 7bit\r\n\r\n" + std::string(kReplyRoom - 1, 'x');
  std::vector<Step> steps = afterLogin({ExpectLine("RETR 1"), Send(broken), Close(), Accept()});
  for (Step& step : loginSteps()) steps.push_back(step);
  steps.push_back(ExpectLine("RETR 2"));
  steps.push_back(Send(retrAnswer("Subject: =?iso-8859-1?q?caf=E9?=\r\n\r\nbody\r\n")));
  steps.push_back(Silent());
  ScriptServer server(steps);
  Attached lib(1);
  TempDir temp;
  qelIntegerParam(0, QEL_PARAM_POP3_PORT, server.port());
  ASSERT_EQ(qelPop3Connect(0, kLoopback, "u", "p"), 0);
  EXPECT_LT(qelGetEmailFile(0, 1, "broken", temp.path().c_str(), temp.path().c_str()), 0);
  ASSERT_EQ(qelPop3Connect(0, kLoopback, "u", "p"), 0);
  ASSERT_EQ(qelGetEmailFile(0, 2, "mail", temp.path().c_str(), temp.path().c_str()), 0);
  EXPECT_EQ(readFile(temp.file("mail")), "Subject: caf\xe9\r\n\r\nbody\r\n");
}

}  // namespace

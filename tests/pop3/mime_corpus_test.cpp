// The full MIME mode over a corpus of real-world shapes, through the real
// download path: every message of tests/data/mime/corpus.py is downloaded
// from the scripted server, and Python's email package checks what each
// download saved (files, their names and bytes, the readable text).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mime/decoder_state.h"
#include "pop3_session.h"

using namespace qel;
using namespace qel::test;

namespace {

const std::string kCorpusScript = std::string(QEL_TEST_DATA_DIR) + "/mime/corpus.py";

// A command's exit status and what it printed.
int run(const std::string& command, std::string* output) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output->append(buffer, n);
  return pclose(pipe);
}

// A message as a POP3 server sends it: lines beginning with "." doubled.
std::string dotStuffed(const std::string& message) {
  std::string out;
  bool lineStart = true;
  for (char c : message) {
    if (lineStart && c == '.') out += '.';
    out += c;
    lineStart = c == '\n';
  }
  return out;
}

class MimeCorpus : public Pop3Channel {};

TEST_F(MimeCorpus, SavedFilesEqualWhatPythonsEmailExtracts) {
  std::string output;
  ASSERT_EQ(run("python3 " + kCorpusScript + " make " + dir.path(), &output), 0) << output;
  std::vector<std::string> numbers;
  std::ifstream index(dir.file("index"));
  for (std::string line; std::getline(index, line);) numbers.push_back(line.substr(0, line.find(' ')));
  ASSERT_GT(numbers.size(), 20u);

  std::vector<Step> steps;
  for (size_t i = 0; i < numbers.size(); ++i) {
    steps.push_back(ExpectLine("RETR " + std::to_string(i + 1)));
    steps.push_back(Send("+OK\r\n" + dotStuffed(readFile(dir.file(numbers[i] + ".eml"))) + ".\r\n"));
  }
  steps.push_back(ExpectLine("QUIT"));
  steps.push_back(Send("+OK bye\r\n"));
  ScriptServer server(afterLogin(std::move(steps)));
  ASSERT_EQ(qelIntegerParam(0, QEL_PARAM_FULL_MIME, 1), 1);
  ASSERT_EQ(connect(server), 0);
  for (size_t i = 0; i < numbers.size(); ++i) {
    std::string files = dir.file(numbers[i]);
    std::filesystem::create_directory(files);
    std::string name = numbers[i] + ".txt";
    EXPECT_EQ(qelGetEmailFile(0, static_cast<int32_t>(i + 1), name.c_str(), dir.path().c_str(), files.c_str()), 0)
        << numbers[i];
  }
  EXPECT_EQ(qelClose(0), 0);
  output.clear();
  EXPECT_EQ(run("python3 " + kCorpusScript + " check " + dir.path(), &output), 0) << output;
}

// The peak resident memory of this process, in kB.
long peakMemoryKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

constexpr int kSlowStepMs = 300000;

struct Hostile {
  const char* name;
  std::string message;
  size_t files;      // files saved
  const char* note;  // what the log says was odd
};

std::vector<Hostile> hostileMessages() {
  constexpr int kMany = 10000;
  std::string deep;
  for (int i = 0; i < kMany; ++i) {
    deep += "Content-Type: multipart/mixed; boundary=d" + std::to_string(i) + "\r\n\r\n--d" + std::to_string(i) + "\r\n";
  }
  deep += "Content-Type: text/plain\r\n\r\ndeep\r\n";
  std::string parts = "Content-Type: multipart/mixed; boundary=p\r\n\r\n";
  for (int i = 0; i < kMany; ++i) parts += "--p\r\nContent-Type: application/octet-stream\r\n\r\nx\r\n";
  parts += "--p--\r\n";
  std::string longLine = std::string(1 << 20, 'x');
  std::string header = "Subject: " + longLine + "\r\nContent-Type: multipart/mixed; boundary=h\r\n\r\n--h\r\n"
                       "Content-Type: application/pdf; x=\"" + longLine + "\"; name=a.pdf\r\n\r\npdf\r\n--h--\r\n";
  std::string boundary(kMany, 'b');
  std::string wide = "Content-Type: multipart/mixed; boundary=" + boundary + "\r\n\r\n--" + boundary +
                     "\r\nContent-Type: text/plain\r\n\r\nhi\r\n--" + boundary + "--\r\n";
  return {{"depth 10000", deep, 1, "[MIME: multipart parts nested too deep; saved whole]"},
          {"10000 parts", parts, kMany, nullptr},
          {"1 MB header lines", header, 1, "[MIME: header field too long; its end ignored]"},
          {"boundary of 10000 characters", wide, 1, "[MIME: boundary too long to follow; part saved whole]"}};
}

TEST_F(MimeCorpus, HostileMessagesEndWithBoundedMemory) {
  std::vector<Hostile> messages = hostileMessages();
  std::vector<Step> steps;
  for (size_t i = 0; i < messages.size(); ++i) {
    // A sanitizer build takes its time over 10000 parts.
    steps.push_back(ExpectLine("RETR " + std::to_string(i + 1), kSlowStepMs));
    steps.push_back(Send("+OK\r\n" + messages[i].message + ".\r\n"));
  }
  steps.push_back(ExpectClose(kSlowStepMs));
  ScriptServer server(afterLogin(std::move(steps)));
  qelIntegerParam(0, QEL_PARAM_FULL_MIME, 1);
  ASSERT_GT(qelStringParam(0, QEL_STRING_LOG_FILE, dir.file("log").c_str()), 0);
  ASSERT_EQ(connect(server), 0);
  long before = peakMemoryKb();
  for (size_t i = 0; i < messages.size(); ++i) {
    SCOPED_TRACE(messages[i].name);
    std::string files = dir.file(std::to_string(i));
    std::filesystem::create_directory(files);
    std::string name = std::to_string(i) + ".txt";
    EXPECT_EQ(qelGetEmailFile(0, static_cast<int32_t>(i + 1), name.c_str(), dir.path().c_str(), files.c_str()), 0);
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(files)) count += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(count, messages[i].files);
    EXPECT_EQ(record->decoder->mimeWalk, nullptr);
  }
  // The walk's state is one block, whatever the message: the peak grows by
  // far less than the messages themselves hold. (A sanitizer build keeps
  // freed memory in quarantine.)
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(peakMemoryKb() - before, 8 * 1024);
#else
  (void)before;
#endif
  qelAbort(0);
  std::string log = readFile(dir.file("log"));
  for (const Hostile& message : messages) {
    if (message.note != nullptr) {
      EXPECT_NE(log.find(message.note), std::string::npos) << message.note;
    }
  }
  // Nothing outside the two directories: the log, the message files, and a
  // folder of files for each message.
  size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    ++entries;
    EXPECT_TRUE(entry.is_directory() || entry.path().extension() == ".txt" || entry.path().filename() == "log")
        << entry.path();
  }
  EXPECT_EQ(entries, 1 + 2 * messages.size());
}

}  // namespace

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

class MimeCorpus : public Pop3Session {};

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

}  // namespace

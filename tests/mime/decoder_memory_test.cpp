// The decoder on a memory line source, without a server: what the source
// hands out, and every golden case decoded from memory, fed whole and split
// into two reads at every position, into the same files as the download.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "mime/decoder_cases.h"
#include "frame/channel.h"
#include "mime/decoder_state.h"
#include "mime/line_source.h"
#include "mime/mail_file.h"
#include "qel32.h"
#include "support/library.h"

using namespace qel;
using namespace qel::test;

namespace {

// Everything a source hands out, as text: each line or piece in brackets,
// "+" behind a cut piece, then how it ended.
std::string drain(const LineSource& source, int32_t room) {
  std::string out;
  std::vector<char> line(static_cast<std::size_t>(room));
  for (;;) {
    bool cut = false;
    int32_t n = source.next(line.data(), room, &cut);
    if (n == kLinesEnd) return out + "END";
    if (n <= 0) return out + "CLOSED";
    out += "[" + std::string(line.data(), static_cast<std::size_t>(n)) + "]" + (cut ? "+" : "");
  }
}

std::string peekText(const LineSource& source) {
  char start[kLinePeekCap];
  int32_t n = source.peek(start, 8);
  if (n == kLinesEnd) return "END";
  return n > 0 ? std::string(start, static_cast<std::size_t>(n)) : "NONE";
}

TEST(MemoryLines, LinesPiecesPeeksAndTheEnd) {
  struct Case {
    const char* bytes;
    int32_t room;
    const char* peek;  // before the first line
    const char* lines;
  } cases[] = {
      {"a\r\nb\n.\r\n", 64, "a\r\n", "[a\r\n][b\n]END"},
      {"..x\r\n.\r\n", 64, ".x\r\n", "[.x\r\n]END"},
      {".x\r\n.\r\n", 64, ".x\r\n", "[x\r\n]END"},  // a dot that stuffs nothing is still dropped
      {".\r\nafter\r\n", 64, "END", "END"},
      {".\n", 64, "END", "END"},
      {"abcdefgh.\r\n.\r\n", 5, "abcdefgh", "[abcd]+[efgh]+[.\r\n]END"},  // no stuffing inside a line
      {"no end\r\n", 64, "no end\r\n", "[no end\r\n]CLOSED"},
      {"", 64, "NONE", "CLOSED"},
  };
  for (const Case& c : cases) {
    std::string bytes = c.bytes;
    // The same bytes in one read and in two, split everywhere: the same lines.
    for (std::size_t split = 0; split <= bytes.size(); ++split) {
      SCOPED_TRACE(std::string(c.bytes) + " split at " + std::to_string(split));
      MemoryLines::Segment segments[] = {{bytes.data(), static_cast<int32_t>(split)},
                                         {bytes.data() + split, static_cast<int32_t>(bytes.size() - split)}};
      MemoryLines memory(segments, 2);
      LineSource source = memory.source();
      EXPECT_EQ(peekText(source), c.peek);
      std::string lines = drain(source, c.room);
      EXPECT_EQ(lines, c.lines);
      // The end stays the end.
      if (lines.size() >= 3 && lines.compare(lines.size() - 3, 3, "END") == 0) {
        EXPECT_EQ(drain(source, c.room), "END");
      }
    }
  }
}

// What a decoded download left: the message files, the attachment files,
// the saved names and count.
struct Outcome {
  std::vector<std::string> mails;
  std::vector<std::string> names;
  std::vector<std::string> files;
  std::string savedNames;
  int32_t savedCount = 0;
  bool operator==(const Outcome& o) const {
    return mails == o.mails && names == o.names && files == o.files && savedNames == o.savedNames &&
           savedCount == o.savedCount;
  }
};

// A channel set up for the options of a case, put back into its first
// state before every run: each run decodes as on a fresh channel.
class FreshChannel {
 public:
  explicit FreshChannel(const std::map<std::string, std::string>& options) {
    applyOptions(options);
    fresh_ = std::make_unique<ChannelRecord>(*record());
    freshDecoder_ = std::make_unique<DecoderState>(*record()->decoder);
  }
  ChannelRecord* renewed() {
    *record() = *fresh_;
    *record()->decoder = *freshDecoder_;
    return record();
  }

 private:
  ChannelRecord* record() const { return lib_.downloading(0); }
  Attached lib_{1};
  std::unique_ptr<ChannelRecord> fresh_;
  std::unique_ptr<DecoderState> freshDecoder_;
};

// Decodes data (split into two reads at split) downloads times, as
// qelGetEmailFile would, into mailDir and attachDir.
Outcome decodeFromMemory(FreshChannel& channel, const std::string& data, std::size_t split, int downloads,
                         const std::string& mailDir, const std::string& attachDir) {
  for (const std::string& dir : {mailDir, attachDir}) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) std::filesystem::remove(entry.path());
  }
  ChannelRecord* record = channel.renewed();
  Outcome outcome;
  for (int i = 1; i <= downloads; ++i) {
    std::string mailName = "mail" + std::to_string(i);
    beginDownload(record, mailName.c_str(), mailDir.c_str(), attachDir.c_str());
    EXPECT_EQ(openMailFile(record), 0);
    MemoryLines::Segment segments[] = {{data.data(), static_cast<int32_t>(split)},
                                       {data.data() + split, static_cast<int32_t>(data.size() - split)}};
    MemoryLines memory(segments, 2);
    EXPECT_EQ(saveMessageFrom(record, memory.source()), 0);
    outcome.mails.push_back(readFile(mailDir + "/" + mailName));
  }
  outcome.names = fileNames(attachDir);
  for (const std::string& name : outcome.names) outcome.files.push_back(readFile(attachDir + "/" + name));
  outcome.savedNames = record->decoder->savedNames;
  outcome.savedCount = record->decoder->savedCount;
  return outcome;
}

class DecoderMemory : public ::testing::TestWithParam<const char*> {};

TEST_P(DecoderMemory, SameFilesWholeAndSplitAtEveryPosition) {
  TempDir temp;
  // Short directories: the saved-names case needs names of 90 characters
  // to fit attachPath.
  const std::string mailDir = temp.file("m");
  const std::string attachDir = temp.file("a");
  ASSERT_TRUE(std::filesystem::create_directory(mailDir));
  ASSERT_TRUE(std::filesystem::create_directory(attachDir));
  const std::string folder = caseFolder(GetParam());
  auto options = readOptions(folder + "/options");
  int downloads = options.count("downloads") != 0 ? std::stoi(options["downloads"]) : 1;
  const std::string data = stuffedMessage(readFile(folder + "/input.eml"));
  FreshChannel channel(options);

  Outcome whole = decodeFromMemory(channel, data, 0, downloads, mailDir, attachDir);
  EXPECT_EQ(whole.mails.back(), replaceAll(readFile(folder + "/expected.mail"), "@ATTACH@", attachDir));
  ASSERT_EQ(whole.names, fileNames(folder + "/expected"));
  for (std::size_t i = 0; i < whole.names.size(); ++i) {
    EXPECT_EQ(whole.files[i], readFile(folder + "/expected/" + whole.names[i])) << whole.names[i];
  }
  std::istringstream saved(readFile(folder + "/expected.saved"));
  std::string savedNames;
  int32_t savedCount = -1;
  std::getline(saved, savedNames);
  saved >> savedCount;
  EXPECT_EQ(whole.savedNames, savedNames);
  EXPECT_EQ(whole.savedCount, savedCount);

  for (std::size_t split = 1; split < data.size(); ++split) {
    if (!(decodeFromMemory(channel, data, split, downloads, mailDir, attachDir) == whole)) {
      ADD_FAILURE() << "split at " << split << " gives other files";
      break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DecoderMemory, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace

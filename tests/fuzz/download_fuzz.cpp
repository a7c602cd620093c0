// A download fed from memory: the input is the message a server sends in
// answer to RETR. The first byte chooses the settings:
//   bit 0  raw download (no MIME decoding)
//   bit 1  save base64 parts that carry no file name
//   bit 2  number the saved names
//   bit 3  frame the message as an honest server does: every line ended by
//          CR LF and dot-stuffed, then the end line ".", then the answer to
//          the next command ("+OK 4242 1", a STAT answer)
//   bit 4  full MIME mode
//   bit 5  a raw download keeps only the message (QEL_PARAM_RAW_MESSAGE_ONLY)
//   bit 6  existing files kept (QEL_PARAM_KEEP_EXISTING_FILES): files put in
//          the attachment directory first, under names a part may take,
//          are there unchanged afterwards
//   bit 7  the original message copied beside the decoded files
//          (QEL_STRING_ORIGINAL_FILE): for a framed message that is decoded
//          and succeeds, it is the message's lines, each ended by CR LF
// Otherwise the bytes go as they are, then the connection ends.
//
// Whatever the message holds, the download ends with 0 or an error code,
// closes every file it opened and writes nothing outside its two
// directories. A framed message that is decoded must end exactly at its end
// line: after a download that reports success, the next answer read is the
// STAT answer. A framed message downloaded raw, message only, is the
// message's lines, each ended by CR LF. In full MIME mode every part saved
// is a file of its own (as many files as the download counts), under a
// UTF-8 name no two of which a Windows file system holds as one.
#include <dirent.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "codec/utf8.h"
#include "frame/channel.h"
#include "frame/settings.h"
#include "fuzz_support.h"
#include "mime/decoder_state.h"
#include "mime/name_fold.h"
#include "qel32.h"

using namespace qel;
using namespace qel::fuzz;

namespace {

constexpr uint8_t kRawDownload = 1;
constexpr uint8_t kSaveUnnamed = 2;
constexpr uint8_t kNumberNames = 4;
constexpr uint8_t kFramed = 8;
constexpr uint8_t kFullMime = 16;
constexpr uint8_t kMessageOnly = 32;
constexpr uint8_t kKeepExisting = 64;
constexpr uint8_t kOriginal = 128;
// Files of the caller's in the attachment directory (bit 6): the name of a
// part without one, and the first unnamed part of each decoder.
constexpr const char* kCallerFiles[] = {"noname", "part-1.txt", "part-1.bin", "noname (2)"};
constexpr int32_t kNextAnswerCount = 4242;
// The answer is all there before the download starts, so the readers never
// wait for it; the waits only have to outlast a busy machine's pauses.
constexpr int32_t kWaitMs = 2000;

// The answer of an honest server for the message text; *lines gets the
// message as its lines ended by CR LF.
std::string framed(const std::string& message, std::string* lines) {
  std::string answer = "+OK message follows\r\n";
  for (size_t at = 0; at < message.size();) {
    size_t end = message.find('\n', at);
    if (end == std::string::npos) end = message.size();
    std::string line = message.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '.') answer += '.';
    answer += line + "\r\n";
    *lines += line + "\r\n";
    at = end + 1;
  }
  return answer + ".\r\n+OK " + std::to_string(kNextAnswerCount) + " 1\r\n";
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Whether folder holds count files (any number when count is below 0),
// each with a UTF-8 name, no two of which fold alike.
bool savedDistinctly(const std::string& folder, int32_t count) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  std::set<std::vector<uint32_t>> folded;
  bool unique = true;
  int32_t files = 0;
  while (const dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (std::string(name) == "." || std::string(name) == "..") continue;
    ++files;
    std::vector<uint32_t> chars;
    int32_t end = foldedLength(name);
    for (int32_t at = 0; at < end;) chars.push_back(nextFoldedChar(name, end, &at));
    unique = unique && isValidUtf8(name) && folded.insert(chars).second;
  }
  closedir(dir);
  return unique && (count < 0 || files == count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t flags = data[0];
  std::string message(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string mail = workDir() + "/mail";
  const std::string attach = workDir() + "/attach";
  emptyDirectory(mail);
  emptyDirectory(attach);

  require(qelAttach(1, 0) == 1, "the library attaches");
  settings.pop3ReadWait = kWaitMs;
  settings.replyTimeout = kWaitMs;
  settings.minimumWait = 0;
  ChannelRecord* record = channelRecord(0);
  qelIntegerParam(0, QEL_PARAM_DECODE_STATE, flags & kRawDownload ? 1 : 0);
  qelIntegerParam(0, QEL_PARAM_SAVE_UNNAMED, flags & kSaveUnnamed ? 1 : 0);
  qelIntegerParam(0, QEL_PARAM_NUMBER_NAMES, flags & kNumberNames ? 1 : 0);
  qelIntegerParam(0, QEL_PARAM_FULL_MIME, flags & kFullMime ? 1 : 0);
  qelIntegerParam(0, QEL_PARAM_RAW_MESSAGE_ONLY, flags & kMessageOnly ? 1 : 0);
  qelIntegerParam(0, QEL_PARAM_KEEP_EXISTING_FILES, flags & kKeepExisting ? 1 : 0);
  if (flags & kKeepExisting) {
    for (const char* name : kCallerFiles) std::ofstream(attach + "/" + name) << name;
  }
  const std::string original = mail + "/original";
  if (flags & kOriginal) qelStringParam(0, QEL_STRING_ORIGINAL_FILE, original.c_str());
  std::string lines;
  int peer = feedChannel(record, flags & kFramed ? framed(message, &lines) : "+OK\r\n" + message);
  record->protocol = kProtocolPop3;

  int32_t rc = qelGetEmailFile(0, 1, "m.eml", mail.c_str(), attach.c_str());
  require(rc <= 0, "a download ends with 0 or an error code");
  require(record->decoder->fileHandle == 0 && record->decoder->mailFile == 0, "a finished download has closed its files");
  require(record->decoder->mimeWalk == nullptr, "a finished download has freed its walk");
  require(record->decoder->originalFile == 0, "a finished download has closed the original's copy");
  if (rc == 0 && (flags & (kFramed | kRawDownload | kOriginal)) == (kFramed | kOriginal)) {
    require(readFile(original) == lines, "the original's copy of a decoded download is the message");
  }
  // A raw download takes everything up to the end of the connection.
  if (rc == 0 && (flags & kFramed) && !(flags & kRawDownload)) {
    require(qelGetEmailCount(0) == kNextAnswerCount, "a download ends at the message's end line");
  }
  const uint8_t rawMessage = kFramed | kRawDownload | kMessageOnly;
  if (rc == 0 && (flags & rawMessage) == rawMessage) {
    require(readFile(mail + "/m.eml") == lines, "a raw download of the message only is the message");
  }
  if ((flags & (kFullMime | kRawDownload)) == kFullMime) {
    // A download cut off keeps the part it was writing, which it does not
    // count as saved.
    int32_t callerFiles = flags & kKeepExisting ? static_cast<int32_t>(std::size(kCallerFiles)) : 0;
    require(savedDistinctly(attach, rc == 0 ? record->decoder->savedCount + callerFiles : -1),
            "every saved part is a file of its own, under a UTF-8 name unique as a Windows file system compares");
  }
  if (flags & kKeepExisting) {
    for (const char* name : kCallerFiles) {
      require(readFile(attach + "/" + name) == name, "a kept file is there unchanged");
    }
  }
  endFeed(record, peer);
  qelRelease();
  resetLibrarySettings();
  require(strayPath(workDir(), mail, attach).empty(), "a download writes only into its two directories");
  return 0;
}

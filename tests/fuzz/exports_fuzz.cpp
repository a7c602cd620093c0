// The exported functions' handling of their arguments: the input is a
// program of calls with channel numbers, indexes, values, texts, null
// pointers and buffer sizes taken from it; buffers are exactly as large as
// the size passed says (qelDebug: size + 1). No call may crash, touch memory
// outside what it was given, or damage a tracked block.
//
// Nothing leaves the process: connect operations are only staged and then
// abandoned (their argument checks run, no name is resolved), and a
// channel gets a connection from a socket pair holding a server's answers,
// then the end of the connection. Paths are chosen from a few inside the
// work directory.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "frame/memory.h"
#include "frame/settings.h"
#include "fuzz_support.h"
#include "qel32.h"
#include "sasl/login_state.h"
#include "smtp/smtp_session.h"
#include "transport/connection_state.h"

using namespace qel;
using namespace qel::fuzz;

namespace {

constexpr int32_t kChannels = 3;
constexpr size_t kLongestText = 300;
constexpr int kLongestProgram = 64;

// Reads the program's operands from the input; past its end every operand
// is 0.
class Operands {
 public:
  Operands(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return at_ >= size_; }
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  int32_t pick(const std::vector<int32_t>& values) { return values[byte() % values.size()]; }
  int32_t channel() { return pick({0, 1, 2, 3, -1, -2, 0x10000, 128, INT32_MIN}); }
  int32_t number() { return pick({0, 1, 2, -1, -2, 7, 100, 127, 128, 129, 1023, 1024, 65535, INT32_MAX, INT32_MIN}); }
  // A text: null, empty, or up to kLongestText bytes of the input.
  const char* text(std::string* keep) {
    uint8_t kind = byte();
    if (kind == 0) return nullptr;
    size_t length = std::min<size_t>(kind - 1, std::min(kLongestText, size_ - at_));
    keep->assign(reinterpret_cast<const char*>(data_ + at_), length);
    at_ += length;
    return keep->c_str();
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

struct Session {
  std::vector<int> peers;                          // server ends, never closed by the library
  std::vector<std::pair<int, ino_t>> librarySide;  // the channel ends, closed here only if still ours
  std::string texts[7];
  std::string prepared;  // the message of a prepared send, kept until the next one
};

std::string inWorkDir(const char* name) { return workDir() + "/exports/" + name; }

const char* path(Operands& in, std::string* keep) {
  static const char* const kNames[] = {"file.txt", "missing/file.txt", "", "body.txt", "data.bin", "."};
  uint8_t choice = in.byte();
  if (choice % 8 == 7) return nullptr;
  *keep = inWorkDir(kNames[choice % 6]);
  if (choice & 0x80) *keep = "@" + *keep;
  return keep->c_str();
}

// Timing settings take only short values, so that a call waits briefly.
// Negative values are left out while a negative poll interval still turns
// into a sleep of weeks.
bool isTiming(int32_t index) {
  return index == QEL_PARAM_MINIMUM_WAIT || index == QEL_PARAM_REPLY_TIMEOUT || index == QEL_PARAM_CONNECT_TIMEOUT ||
         index == QEL_PARAM_LINE_DELAY || index == QEL_PARAM_LINE_AND_READ_WAIT || index == QEL_PARAM_LINE_TIMEOUT ||
         index == QEL_PARAM_POP3_READ_WAIT || index == QEL_PARAM_POLL_INTERVAL;
}

// Stages a connect operation without running it: its argument checks run,
// then the channel is abandoned before any name is resolved.
int32_t staged(int32_t chan, int32_t (*connect)(int32_t, const char*, const char*, const char*), const char* a,
               const char* b, const char* c) {
  qelIntegerParam(chan, QEL_PARAM_AUTO_CALL, 0);
  int32_t rc = connect(chan, a, b, c);
  qelAbort(chan);
  return rc;
}

// Gives the channel a connection whose server sends the given answers.
void connectToAnswers(Session& session, int32_t chan, char protocol, const std::string& answers) {
  ChannelRecord* record = channelRecord(chan);
  if (record == nullptr || chan < 0 || chan >= kChannels) return;
  if (socketIsOpen(record->connection)) return;
  // What a connect makes before it marks the channel.
  if (openSmtpSession(record) < 0 || openLoginState(record) < 0) return;
  session.peers.push_back(feedChannel(record, answers));
  struct stat info {};
  ::fstat(static_cast<int>(record->connection->socket), &info);
  session.librarySide.emplace_back(static_cast<int>(record->connection->socket), info.st_ino);
  record->protocol = protocol;
}

void call(Session& session, Operands& in) {
  std::string* t = session.texts;
  int32_t chan = in.channel();
  int32_t size = in.number();
  auto buffer = std::make_unique<char[]>(size > 0 && size < 100000 ? size : 1);
  char* room = size > 0 && size < 100000 ? buffer.get() : nullptr;
  switch (in.byte() % 24) {
    case 0: {
      int32_t index = in.byte();
      int32_t value = in.number();
      if (isTiming(index)) value = value < 0 ? 0 : value % 50;
      qelIntegerParam(chan, index, value);
      break;
    }
    case 1: {
      int32_t index = in.byte();
      bool writesFile = index == QEL_STRING_LOG_FILE || index == QEL_STRING_SAVE_LINES;
      qelStringParam(chan, index, writesFile ? path(in, &t[0]) : in.text(&t[0]));
      break;
    }
    case 2: qelStatistics(chan, in.byte()); break;
    case 3: qelErrorText(chan, in.number(), room, size); break;
    case 4: qelDebug(chan, in.pick({-12, 23, 25, 28, 29, 30, 40, 7}), room, size > 0 ? size - 1 : size); break;
    case 5: {
      ChannelRecord* record = chan >= 0 && chan < kChannels ? channelRecord(chan) : nullptr;
      // A staged connect is never driven (it would resolve a name).
      int32_t next = record != nullptr ? record->step.nextState : 0;
      bool connecting = (next >= 100 && next < 110) || next == 200 || next == 300;
      if (!connecting) qelDriver(chan);
      break;
    }
    case 6: qelClose(chan); break;
    case 7: qelAbort(chan); break;
    case 8: qelCommand(chan, in.text(&t[0])); break;
    case 9: staged(chan, qelSmtpConnect, in.text(&t[0]), in.text(&t[1]), in.text(&t[2])); break;
    case 10: {
      const char* to = in.text(&t[0]);
      const char* cc = in.text(&t[1]);
      const char* bcc = in.text(&t[2]);
      const char* subject = in.text(&t[3]);
      const char* message = in.byte() & 1 ? path(in, &t[4]) : in.text(&t[4]);
      qelSendEmail(chan, to, cc, bcc, subject, message, path(in, &t[5]));
      break;
    }
    case 11: qelVerifyUser(chan, in.text(&t[0])); break;
    case 12: staged(chan, qelPop3Connect, in.text(&t[0]), in.text(&t[1]), in.text(&t[2])); break;
    case 13: qelGetEmailCount(chan); break;
    case 14: qelGetEmailSize(chan, in.number()); break;
    case 15: {
      char star[] = "*";
      int32_t message = in.number();
      int32_t lines = in.number();
      bool toBlock = in.byte() & 1;
      qelGetEmailLines(chan, message, lines, toBlock ? star : room, size);
      break;
    }
    case 16: {
      const char* name = in.text(&t[0]);
      qelGetEmailFile(chan, in.number(), name, path(in, &t[1]), path(in, &t[2]));
      break;
    }
    case 17: qelGetEmailUID(chan, in.number(), room, size); break;
    case 18: qelDeleteEmail(chan, in.number()); break;
    case 19: {
      std::string answers;
      in.text(&answers);
      connectToAnswers(session, chan, in.byte() & 1 ? kProtocolSmtp : kProtocolPop3, answers);
      break;
    }
    case 20: qelRelease(); break;
    case 21: {
      const char* sender = in.text(&t[0]);
      const char* recipients = in.text(&t[1]);
      qelSendPreparedFile(chan, sender, recipients, path(in, &t[2]));
      break;
    }
    case 22: {
      const char* sender = in.text(&t[0]);
      const char* recipients = in.text(&t[1]);
      const char* data = in.text(&session.prepared);
      // A length beyond the bytes given would be the caller's own overrun.
      int32_t given = data != nullptr ? static_cast<int32_t>(session.prepared.size()) : 0;
      int32_t length = std::min<int32_t>(in.number(), given);
      qelSendPreparedMemory(chan, sender, recipients, data, length);
      break;
    }
    default: qelAttach(in.pick({0, 1, kChannels, 128, 129, -1}), 0); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  emptyDirectory(workDir() + "/exports");
  FILE* body = std::fopen(inWorkDir("body.txt").c_str(), "wb");
  if (body != nullptr) {
    std::fputs("A body line.\r\n.\r\nThe end.\r\n", body);
    std::fclose(body);
  }
  FILE* attachment = std::fopen(inWorkDir("data.bin").c_str(), "wb");
  if (attachment != nullptr) {
    std::fwrite("\0\1\2\3\4\5binary", 1, 12, attachment);
    std::fclose(attachment);
  }
  Session session;
  Operands in(data, size);
  require(qelAttach(kChannels, 0) == 1, "the library attaches");
  settings.minimumWait = 0;
  for (int i = 0; i < kLongestProgram && !in.done(); ++i) {
    call(session, in);
    require(memorySweep("fuzz") == 0, "no tracked block is damaged");
  }
  qelRelease();
  resetLibrarySettings();
  for (int peer : session.peers) ::close(peer);
  for (auto [fd, inode] : session.librarySide) {
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_ino == inode) ::close(fd);
  }
  return 0;
}

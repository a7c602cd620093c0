// The dot transparency of SMTP DATA (RFC 5321, section 4.5.2) and of POP3
// multi-line answers (RFC 1939, section 3), and the CR LF form in which
// stored messages go out.
//
// Both work on a byte stream in pieces of any size, so a 20 MB message never
// sits in memory and a line may be split anywhere between two reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace maildrop {

// Turns the bytes that follow the 354 reply back into the message: a dot that
// begins a line loses its first dot, and the line holding a single dot ends
// the data. Only CR LF ends a line here: clients stuff dots after CR LF
// only, so a dot after a bare LF is message text and stays.
class DataUnstuffer {
 public:
  // Reads from in until the end-of-data line or the end of the piece and
  // appends the message bytes to out. Returns the number of bytes read; when
  // finished() turns true, the rest of the piece (pipelined commands) was
  // not read. The CR LF before the final dot belongs to the message.
  size_t feed(const char* in, size_t count, std::string& out);
  bool finished() const { return state_ == State::Finished; }

 private:
  enum class State { LineStart, Dot, DotCr, Text, Finished };
  State state_ = State::LineStart;
  bool lastWasCr_ = false;
};

// Turns a stored message into what a POP3 server sends: every line ending
// in CR LF (a bare LF gains its CR), the last line ended even when the file
// isn't, and with dot stuffing a dot doubled at the start of a line. With a
// body line limit it stops after the header, the blank line and that many
// body lines (TOP). The terminating "." line is the caller's.
class WireEncoder {
 public:
  static constexpr int64_t kWholeMessage = -1;

  WireEncoder(bool dotStuffing, int64_t bodyLineLimit);

  // Appends the served form of the piece to out; stops early once the line
  // limit is reached (done() then holds and later pieces are ignored).
  void feed(const char* in, size_t count, std::string& out);
  // Ends an unterminated last line.
  void finish(std::string& out);
  bool done() const { return done_; }

 private:
  void endLine();

  bool dotStuffing_;
  int64_t bodyLinesLeft_;
  bool inBody_ = false;
  bool done_ = false;
  bool lastWasCr_ = false;
  size_t lineBytes_ = 0;  // bytes of the current line so far, line end not counted
};

}  // namespace maildrop

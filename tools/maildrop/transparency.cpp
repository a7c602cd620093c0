#include "transparency.h"

namespace maildrop {

size_t DataUnstuffer::feed(const char* in, size_t count, std::string& out) {
  size_t i = 0;
  while (i < count && state_ != State::Finished) {
    char c = in[i++];
    switch (state_) {
      case State::LineStart:
        if (c == '.') {
          state_ = State::Dot;
          continue;
        }
        break;
      case State::Dot:
        if (c == '\r') {
          state_ = State::DotCr;
          continue;
        }
        break;  // the leading dot was stuffing: it is dropped, c is text
      case State::DotCr:
        if (c == '\n') {
          state_ = State::Finished;
          continue;
        }
        // A dot, a CR and more text: the dot was stuffing, the CR is text.
        out += '\r';
        lastWasCr_ = true;
        break;
      case State::Text:
      case State::Finished:
        break;
    }
    out += c;
    state_ = (c == '\n' && lastWasCr_) ? State::LineStart : State::Text;
    lastWasCr_ = c == '\r';
  }
  return i;
}

WireEncoder::WireEncoder(bool dotStuffing, int64_t bodyLineLimit)
    : dotStuffing_(dotStuffing), bodyLinesLeft_(bodyLineLimit) {}

void WireEncoder::endLine() {
  bool emptyLine = lineBytes_ == 0;
  lineBytes_ = 0;
  if (bodyLinesLeft_ == kWholeMessage) return;
  if (inBody_) {
    if (--bodyLinesLeft_ <= 0) done_ = true;
  } else if (emptyLine) {
    inBody_ = true;
    if (bodyLinesLeft_ == 0) done_ = true;
  }
}

void WireEncoder::feed(const char* in, size_t count, std::string& out) {
  for (size_t i = 0; i < count && !done_; ++i) {
    char c = in[i];
    if (c == '\n') {
      if (!lastWasCr_) out += '\r';
      else --lineBytes_;  // that CR was the line end, not text
      out += '\n';
      lastWasCr_ = false;
      endLine();
      continue;
    }
    if (c == '.' && lineBytes_ == 0 && dotStuffing_) out += '.';
    out += c;
    ++lineBytes_;
    lastWasCr_ = c == '\r';
  }
}

void WireEncoder::finish(std::string& out) {
  if (done_ || lineBytes_ == 0) return;
  if (lastWasCr_) {
    out += '\n';
  } else {
    out += "\r\n";
  }
  lastWasCr_ = false;
  lineBytes_ = 0;
  done_ = true;
}

}  // namespace maildrop

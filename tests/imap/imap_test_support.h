// Feeding the IMAP reader from memory in the tests: whole, or cut into
// pieces at chosen positions, and a short text form of what it gathered.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "imap/reader.h"

namespace qel::test {

// Every byte of a string literal, NUL bytes included.
template <size_t N>
std::string bytesOf(const char (&text)[N]) {
  return std::string(text, N - 1);
}

// Feeds bytes cut at the given positions (ascending) into a reset reader.
// Returns the last result; *used counts the bytes taken in all.
inline int32_t feedPieces(ImapReader* reader, const std::string& bytes, const std::vector<size_t>& cuts,
                          size_t* used = nullptr) {
  imapReaderReset(reader);
  size_t at = 0;
  int32_t rc = kImapNeedMore;
  std::vector<size_t> ends = cuts;
  ends.push_back(bytes.size());
  for (size_t end : ends) {
    if (end < at) continue;
    int32_t taken = 0;
    rc = imapFeed(reader, bytes.data() + at, static_cast<int32_t>(end - at), &taken);
    at += static_cast<size_t>(taken);
    if (rc != kImapNeedMore) break;
  }
  if (used != nullptr) *used = at;
  return rc;
}

// The record as text: the kind ("T", "*", "+"), then each item: an atom
// bare, #number, NIL, "quoted", {literal}, <size> of a streamed literal,
// ( and ), [code name, ~code text, ] after a code, 'text'.
inline std::string dump(const ImapResponse& r) {
  std::string out = r.kind == ImapKind::tagged ? "T" : r.kind == ImapKind::untagged ? "*" : "+";
  for (int32_t i = 0; i < r.itemCount; ++i) {
    const ImapItem& item = r.items[i];
    std::string bytes(r.bytes + item.offset, item.type == ImapItemType::streamed ? 0 : item.length);
    out += ' ';
    switch (item.type) {
      case ImapItemType::atom: out += bytes; break;
      case ImapItemType::number: out += "#" + bytes; break;
      case ImapItemType::nil: out += "NIL"; break;
      case ImapItemType::quoted: out += "\"" + bytes + "\""; break;
      case ImapItemType::literal: out += "{" + bytes + "}"; break;
      case ImapItemType::streamed: out += "<" + std::to_string(item.length) + ">"; break;
      case ImapItemType::listOpen: out += "("; break;
      case ImapItemType::listClose: out += ")"; break;
      case ImapItemType::codeName: out += "[" + bytes; break;
      case ImapItemType::codeText: out += "~" + bytes; break;
      case ImapItemType::text: out += "'" + bytes + "'"; break;
    }
    if (i + 1 == r.codeEnd) out += " ]";
  }
  return out;
}

// A reader on the heap (the record is large), with a literal sink that
// writes what it is given as "item:size|bytes...|end".
struct TestReader {
  std::unique_ptr<ImapReader> reader = std::make_unique<ImapReader>();
  std::string streamed;
  int32_t failAfter = -1;  // a piece beyond this many bytes is refused
  ImapLiteralSink sink{this, begin, piece, end};

  static int32_t begin(void* c, const char* item, int32_t n, uint32_t size) {
    static_cast<TestReader*>(c)->streamed += std::string(item, n) + ":" + std::to_string(size) + "|";
    return 0;
  }
  static int32_t piece(void* c, const char* bytes, int32_t n) {
    auto* self = static_cast<TestReader*>(c);
    self->streamed.append(bytes, n);
    return self->failAfter >= 0 && static_cast<int32_t>(self->streamed.size()) > self->failAfter ? -77 : 0;
  }
  static int32_t end(void* c) {
    static_cast<TestReader*>(c)->streamed += "|end";
    return 0;
  }
};

}  // namespace qel::test

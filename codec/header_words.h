// Header fields as they go on the wire: folding at white space (RFC 5322
// section 2.2.3), RFC 2047 encoded words for text outside ASCII, and RFC 2231
// extended parameters for file names. Output goes to a sink piece by piece,
// so a field of any length needs no buffer of its own.
#pragma once

#include <cstdint>

namespace qel {

// Receives the bytes of header lines; false stops the writing.
class TextSink {
 public:
  virtual bool put(const char* bytes, int32_t n) = 0;

 protected:
  ~TextSink() = default;
};

// Longest header line when folding for readers (RFC 5322's "SHOULD"), the
// longest line holding encoded words (RFC 2047), the hard limit of RFC 5322,
// and the longest encoded word.
constexpr int32_t kFoldColumn = 78;
constexpr int32_t kEncodedLineColumn = 76;
constexpr int32_t kHardLineLimit = 998;
constexpr int32_t kLongestEncodedWord = 75;

// Writes one header field, folding before white space where a line would
// pass the limit. A token is a run of white space (where the line may fold)
// and the text after it (never split).
class HeaderFolder {
 public:
  HeaderFolder(TextSink* sink, int32_t limit) : sink_(sink), limit_(limit) {}

  // "Name:"; a null name writes nothing (the caller's own header lines).
  bool field(const char* name);
  // White space and a word. Folds before the space when the line would pass
  // the limit and already holds a token; a word without space before it is
  // glued to the line. With foldSpace set and no space given, a fold writes
  // CR LF and one space of its own (between the items of an address list).
  bool token(const char* space, int32_t spaceLength, const char* word, int32_t wordLength, bool foldSpace = false);
  // Bytes that end the current line inside the text (a caller's own line
  // break): written as they are, the next line starts at column 0.
  bool lineBreak(const char* bytes, int32_t n);
  // CR LF after the field.
  bool end();

  int32_t column() const { return column_; }
  int32_t limit() const { return limit_; }
  // The limit for this field from here on (76 once it holds encoded words).
  void setLimit(int32_t limit) { limit_ = limit; }

 private:
  bool put(const char* bytes, int32_t n);

  TextSink* sink_;
  int32_t limit_;
  int32_t column_ = 0;
  bool lineHasToken_ = false;
  bool ok_ = true;
};

// The text as tokens, every byte as it is. With firstSpace the text follows
// a space: the first word's own when it begins with white space (which is
// then written in full), else one put before it.
// CR and LF become line breaks of the field. With a list separator other
// than NUL, a word too long for any line is split after its separators,
// where a fold adds a space (addresses may be separated by folding white
// space). Used for the hard limit, where old callers must see their exact
// text whenever it fits.
// With firstFoldable (an item after a list separator) the first word may
// move to the next line, where the fold adds a space.
bool putPlainText(HeaderFolder* folder, const char* text, int32_t n, bool firstSpace, char listSeparator = '\0',
                  bool firstFoldable = false);

// Kinds of encoded-word text: unstructured (Subject) or a phrase (display
// name), where Q may hold fewer characters as they are.
enum class WordPlace { text, phrase };

// Writes n bytes as RFC 2047 encoded words of the charset, each preceded by
// a space: at most 75 characters each and no longer than the rest of the
// line where the first one starts, B or Q whichever is shorter, and, for
// UTF-8, never a sequence split between two words. With glueFirst the first
// word follows the line without a space (inside a quoted parameter).
bool putEncodedWords(HeaderFolder* folder, const char* charset, const char* text, int32_t n, WordPlace place,
                     bool glueFirst = false);

// Whether the first n bytes hold "=?", the start of an RFC 2047 encoded
// word: readers decode such text wherever they find it, so caller text that
// holds it must not go out as it is where encoded words are in use.
bool holdsEncodedWordMark(const char* text, int32_t n);

// Whether a text fits as it is on lines of the folder's limit: only
// printable ASCII and white space, and no word longer than a line can take.
bool fitsAsPlainText(const char* text, int32_t n, int32_t limit);

// The parameter of a file name outside ASCII as RFC 2231 writes it:
// "; name*=charset''%XX..." when it fits on the line, else the continued
// form "; name*0*=charset''...; name*1*=...", one section per line.
bool putExtendedParameter(HeaderFolder* folder, const char* name, const char* charset, const char* value, int32_t n);

}  // namespace qel

// The decoder's golden cases (tests/data/decoder): each folder holds a
// message (input.eml), its options, and the files the decoder must make of
// it. Shared by the download test over the scripted server and the test
// over memory.
#pragma once

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "qel32.h"
#include "support/library.h"

namespace qel::test {

inline const char* const kCases[] = {
    "worked_example",      // the multipart/mixed road: text part, one base64 file
    "encoded_words",       // no MIME: Subject (q, folded) and From (b) words, joined Content-Type
    "single_part_qp",      // MIME without boundary: body decoded, header lines left out
    "multipart_base64",    // folded boundary; name and filename both given
    "nested_alternative",  // alternate boundary, its preamble, "inline; filename="
    "bare_inline",         // unquoted boundary; bare inline base64 into the message file
    "eight_bit",           // 8bit is not an encoding the decoder takes
    "embedded_message",    // message/rfc822: its header examined, its body kept
    "unnamed_kept",        // unnamed base64 part without saveUnnamed
    "unnamed_saved",       // ... with saveUnnamed: incoming.mai
    "single_part_unnamed", // single part with saveUnnamed on a fresh channel: noname
    "number_names",        // numberNames across two downloads
    "omit_saved_note",     // no note lines, names still recorded
    "attach_separator",    // ";" between saved names
    "saved_names_full",    // a name that does not fit savedNames is left out
    "hostile_names",       // path parts, dots, control characters, a name too long
    "long_lines",          // lines of 1023+ bytes in pieces: header, base64, qp, text
    "folded_part_headers", // ";" before the transfer-encoding line; tab folding
    "blank_header_ends",   // headers ended by a line of blanks; "--sp-->" closes
};

inline std::string caseFolder(const std::string& name) { return std::string(QEL_TEST_DATA_DIR) + "/decoder/" + name; }

// The data of the answer to RETR: the message dot-stuffed, the "." line.
inline std::string stuffedMessage(const std::string& message) {
  std::string answer;
  std::size_t from = 0;
  while (from < message.size()) {
    std::size_t lineFeed = message.find('\n', from);
    std::size_t end = lineFeed == std::string::npos ? message.size() : lineFeed + 1;
    if (message[from] == '.') answer += '.';
    answer.append(message, from, end - from);
    from = end;
  }
  return answer + ".\r\n";
}

// The answer to RETR: status line, the message dot-stuffed, the "." line.
inline std::string retrAnswer(const std::string& message) {
  return "+OK message follows\r\n" + stuffedMessage(message);
}

inline std::map<std::string, std::string> readOptions(const std::string& path) {
  std::map<std::string, std::string> options;
  std::istringstream lines(readFile(path));
  std::string key;
  std::string value;
  while (lines >> key >> value) options[key] = value;
  return options;
}

inline std::vector<std::string> fileNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::string name = entry.path().filename().string();
    if (name != ".keep") names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

inline void applyOptions(const std::map<std::string, std::string>& options) {
  for (const auto& [key, value] : options) {
    if (key == "numberNames") qelIntegerParam(0, QEL_PARAM_NUMBER_NAMES, std::stoi(value));
    if (key == "saveUnnamed") qelIntegerParam(0, QEL_PARAM_SAVE_UNNAMED, std::stoi(value));
    if (key == "omitSavedNote") qelIntegerParam(0, QEL_PARAM_OMIT_SAVED_NOTE, std::stoi(value));
    if (key == "attachSeparator") qelIntegerParam(0, QEL_PARAM_ATTACH_SEPARATOR, value[0]);
  }
}

}  // namespace qel::test

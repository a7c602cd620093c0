// File work of qelmail fetch: directories, names made from unique ids, and
// turning a raw POP3 capture back into the message.
#pragma once

#include <string>
#include <vector>

namespace qelmail {

// Creates the directory and its missing parents (mkdir -p).
bool makeDirectories(const std::string& path);

// Removes the regular files of a directory and then the directory.
void removeDirectory(const std::string& path);

// The names of the entries of a directory, sorted; empty when it cannot be
// read.
std::vector<std::string> directoryEntries(const std::string& path);

// A file name made from a message's unique id: letters, digits and
// ". _ - + =" kept, anything else as "_", no leading dot, at most 64
// characters. Empty when the id gives nothing usable.
std::string fileNameFromId(const std::string& id);

// A raw download holds the server's answer as it came: the status line,
// the dot-stuffed message and the "." line. Writes the message itself to
// `messagePath`. False with `error` set when the capture is not a whole
// answer or a file cannot be read or written.
bool unwrapRawCapture(const std::string& capturePath, const std::string& messagePath, std::string* error);

}  // namespace qelmail

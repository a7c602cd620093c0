// File work of qelmail fetch: directories and names made from unique ids.
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

}  // namespace qelmail

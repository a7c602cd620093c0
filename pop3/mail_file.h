// The message file of a download: its path, the writing of its lines and
// its closing.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

// Joins directory and name into destination (at most capacity characters
// and a NUL) with the platform's directory separator; a directory that
// already ends in "\" or "/" gets no second one, and an empty directory
// gives the separator and the name. False, with destination emptied, when
// the joined path does not fit: a cut path would name another file.
bool joinPath(char* destination, int32_t capacity, const char* directory, const char* name);

// Writes n bytes of text to file unless the text begins with "+OK" (a POP3
// status line is not message data). 0 when nothing was written, else the
// write's result (-1 on failure).
int32_t writeUnlessOk(int32_t file, const char* text, int32_t n);

// Closes mailFile when it is open and sets it to 0.
void closeMailFile(ChannelRecord* record);

// Ends a download's use of its files: the attachment file still open is
// closed (and recorded), then the message file; the names it took are
// forgotten. Also run by qelClose and at the start of every download.
void closeDownloadFiles(ChannelRecord* record);

// Ends a failed download's use of its files: the message file is closed
// with what arrived; the attachment file is closed but, being cut short,
// neither noted, named nor counted as saved. Run by every failure.
void abandonDownloadFiles(ChannelRecord* record);

}  // namespace qel

// Attachment files of a download: how they are named and placed, created,
// closed and recorded (the note line in the message file, savedNames,
// savedCount and savedSerial).
//
// Names come from the headers of a message, so they are hostile input: an
// attachment file is only ever created inside attachDirectory, under the
// last component of its name, and a path that does not fit attachPath is a
// file that cannot be created, never a shortened path.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

// The name given to a nameless part, and the one a name that is empty, "."
// or ".." becomes.
constexpr const char* kNoName = "noname";
// attachName after every boundary line.
constexpr const char* kBoundaryName = "incoming.mai";

// Room for a formatted name: a number prefix ("4294967295-") and attachName.
constexpr int32_t kNumberPrefixCap = 11;
constexpr int32_t kAttachNameRoom = kPathCap + kNumberPrefixCap + 1;

// Reduces count bytes of name (NULs included) to a safe file name in out
// (at most kPathCap characters and a NUL): the part behind the last "\",
// ":" or "/", control characters, NULs and * ? < > | " as "_", "noname" for
// a name that is then empty, "." or "..", and "_" in front of a Windows
// device name (CON, NUL, COM1... with or without an extension), on every
// system alike. Returns its length.
int32_t safeFileName(const char* name, int32_t count, char* out);

// The file name of the attachment about to be saved: attachName, behind the
// number savedSerial + 1 and "-" when numberNames is set. Writes at most
// room - 1 characters and a NUL; returns the length.
int32_t formatAttachName(const ChannelRecord* record, char* buffer, int32_t room);

// Joins attachDirectory and the formatted name into attachPath and creates
// the file there (a file left by an earlier download is replaced). A name
// this download has already taken, or the message file it is writing, is
// never opened again: the name is numbered instead ("same (2).bin"). A file
// still open is closed first without being recorded. False, with "[Cannot
// open '%s']" in the log and fileHandle 0, when the path does not fit, the
// download can take no more names, or the file cannot be created.
bool createAttachFile(ChannelRecord* record);

// At the end of a part's header: saves a base64 part for which no file was
// opened, when saveUnnamed is set.
void saveUnnamedPart(ChannelRecord* record);

// Closes the open attachment file and records it: the note line in the
// message file (unless omitSavedNote) and the log, its name in savedNames,
// savedCount and savedSerial. False when no file was open.
bool closeAttachFile(ChannelRecord* record);

// Closes the open attachment file without recording it (a new main boundary
// was taken, or another file replaces it).
void dropAttachFile(ChannelRecord* record);

// Appends the saved file's name (attachPath without its directory) to
// savedNames behind the attachSeparator, when it fits in its 1024 bytes.
void addSavedName(ChannelRecord* record);

}  // namespace qel

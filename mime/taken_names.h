// The attachment file names a download has taken, so that it never opens a
// file it wrote itself: a later part with a taken name gets a numbered one
// ("same (2).bin"). Names are compared as Windows file systems compare them
// (mime/name_fold.h: letters of any case, the dots and spaces at the end
// dropped), so one message gives the same names on every system. Only 64-bit hashes of the names are kept, in a table that grows
// with the number of files saved and is freed when the download ends.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace qel {

// Most names one download keeps track of; a download that would save more
// files saves no further ones.
constexpr uint32_t kMaxTakenNames = 1u << 16;

// Whether this download has taken name.
bool nameTaken(const ChannelRecord* record, const char* name);

// Records name as taken. False when the table cannot hold it.
bool takeName(ChannelRecord* record, const char* name);

// The number to try first for a numbered form of name (2 for a name never
// numbered before), and the one after the number chosen.
uint32_t nextNameNumber(const ChannelRecord* record, const char* name);
void setNextNameNumber(ChannelRecord* record, const char* name, uint32_t number);

// Forgets every name: the start and the end of a download.
void forgetTakenNames(ChannelRecord* record);

// name with " (number)" before its extension ("same.bin" -> "same (2).bin";
// a name without a dot, or with its only dot in front, gets it at the end),
// the part before the extension cut (never inside a UTF-8 character) so that
// the result has at most room - 1 bytes. Returns the length written into out
// (room bytes).
int32_t numberedName(const char* name, uint32_t number, char* out, int32_t room);

}  // namespace qel

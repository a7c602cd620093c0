// The "Date:" header line of outgoing messages, also answered by qelDebug.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace qel {

// Writes "+hhmm" or "-hhmm" for an offset given as hours * 100 + minutes
// (its last four digits, zero-filled). Returns the length (5).
int32_t formatZone(int32_t offset, char* buffer);

// Formats the date line ("Date: Wed, 6 Dec 2000 9:05:07 +0100", no line
// end) for the given local time into buffer (room bytes). With twoDigitHour
// the hour has the two digits RFC 5322 asks for ("09:05:07"); without it,
// the library's original form.
int32_t formatDateLineAt(const plat::LocalTime& time, char* buffer, int32_t room, bool twoDigitHour = false);

// The same for the current local time, with its real UTC offset.
int32_t formatDateLine(char* buffer, int32_t room, bool twoDigitHour = false);

}  // namespace qel

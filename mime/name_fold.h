// File names as a Windows file system compares them: letters without
// regard to case (every letter Unicode gives a one-to-one case mapping,
// mime/case_folds.inc), and the dots and spaces that end a name dropped,
// since Windows drops them when it opens the file. Two names that fold
// alike are one file there.
#pragma once

#include <cstdint>

namespace qel {

// The character at name[*at] folded, and *at moved past it: a code point
// for a valid UTF-8 sequence, else the byte read as windows-1252, the code
// page a Western Windows system creates an ANSI name in ("\x8A" is "Š",
// one file with "\x9A", "š"). Never reads at or past end.
uint32_t nextFoldedChar(const char* name, int32_t end, int32_t* at);

// The length of name without the dots and spaces that end it.
int32_t foldedLength(const char* name);

}  // namespace qel

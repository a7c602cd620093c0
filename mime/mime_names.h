// File names of the parts a full-MIME download saves: "part-N" with an
// extension from the media type for a part its headers do not name, and a
// name from a message cut to what fits the attachment directory without
// losing its extension or cutting a UTF-8 character in two.
#pragma once

#include <cstdint>

namespace qel {

// The usual extension of a media type (lower case, "type/subtype"), without
// its dot: "png" for image/png, "txt" for other text, "bin" when none.
const char* mediaTypeExtension(const char* type);

// "part-N.ext" for the N-th leaf part of a message. Returns the length.
int32_t unnamedPartName(const char* type, int32_t number, char* out, int32_t room);

// Keeps the last path component of name (behind "\", "/" or ":") and cuts
// its stem so that the name takes at most fit bytes: the extension stays
// when it is short, and no UTF-8 sequence is cut. In place; returns the new
// length.
int32_t fitFileName(char* name, int32_t fit);

// Whether name ends in ".eml" (any letter case).
bool hasMessageExtension(const char* name);

}  // namespace qel

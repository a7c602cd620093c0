// Checking of e-mail address texts in the bracketed form "Name <user@host>",
// and the searches that end at the first recipient list separator.
#pragma once

#include <cstdint>

namespace qel {

// The separator that ends the first item of a recipient list: the first
// settings.recipientSeparator outside a quoted string and outside angle
// brackets, so that '"Doe, Ann" <ann@example.org>' is one item. Null when
// the text holds none (or is null).
const char* findListSeparator(const char* text);
char* findListSeparator(char* text);

// First occurrence of c in text, searching from its start and stopping, with
// null, at the NUL or at the separator that ends the item
// (findListSeparator); c is compared before the separator, so the separator
// itself can be found. Null for a null text.
const char* findInItem(const char* text, char c);
char* findInItem(char* text, char c);

// Judges the characters from first up to, not including, end: 1 when all are
// allowed address characters and exactly one is "@"; else -53 (second "@"),
// -32 (character not allowed) or -39 (no "@"), the first fault deciding.
// -47 for a null pointer.
int32_t checkAddressChars(const char* first, const char* end);

}  // namespace qel

// Base64 (RFC 2045, section 6.8) with the standard alphabet: the encoder of
// outgoing attachments and AUTH responses, and the decoder of challenges,
// encoded parts and encoded words. Pure functions on caller memory.
#pragma once

#include <cstdint>

#include "codec/decode_carry.h"

namespace qel {

// Input bytes per base64 line and characters per line, without the CR LF.
constexpr int32_t kBase64LineBytes = 57;
constexpr int32_t kBase64LineChars = 76;

// Writes the four characters for the bytes b0, b1, b2 into out[0..3]; no NUL.
void base64EncodeGroup(uint8_t b0, uint8_t b1, uint8_t b2, char* out);

// Encodes n bytes (1..57 for a standard line) as one line, "=" filling a
// short last group, then CR LF; no NUL. destination needs 4 * ceil(n / 3) + 2
// characters. Returns 4 * ceil(n / 3) (CR LF not counted); 0 and nothing
// written for n <= 0 or a null pointer.
int32_t base64EncodeLine(const uint8_t* source, char* destination, int32_t n);

// Encodes n bytes as lines of 57 bytes each (the last one may be shorter),
// every line ended by CR LF; no NUL. destination needs 78 characters for
// each started line. Returns the characters written; 0 for n <= 0 or a null
// pointer.
int32_t base64EncodeLines(const uint8_t* source, char* destination, int32_t n);

// Value 0..63 of an alphabet character; every other character ("=", space,
// CR, LF included) gives 0.
int32_t base64Value(char c);

// Whether c belongs to the alphabet or is the pad character "=".
bool isBase64Char(char c);

// Decodes the four characters group[0..3] into out[0..2].
void base64DecodeGroup(const char* group, uint8_t* out);

// Decodes groups of four alphabet characters for as long as they come in a
// row, at most maxGroups of them: the fast path of the decoders of encoded
// parts, which handle everything else (line ends, "=", other characters, a
// group cut short) one character at a time. Writes 3 bytes per group to out
// and returns the number of groups (the characters used are 4 per group).
int32_t base64DecodeGroups(const char* text, int32_t n, char* out, int32_t maxGroups);

// Decodes the complete groups of four among n characters; 1 to 3 trailing
// characters are ignored. For n >= 3 it first zero-fills 3 * floor(n / 4) + 4
// bytes of destination, so the bytes decoded are always followed by a zero
// byte. Returns 3 per group, less 1 for each "=" ending the last group; 0 and
// nothing written for n <= 2 or a null pointer.
int32_t base64DecodeRun(const char* source, char* destination, int32_t n);

// How base64DecodeStream treats what is not a whole group of the alphabet.
enum class Base64Form {
  // Every character outside the alphabet and "=" is skipped; "=" counts as
  // a group character, and a group ending in "=" or "==" gives 2 or 1 bytes.
  lenient,
  // "=" ends a group of two or three characters (1 or 2 bytes) and is
  // skipped elsewhere; CR, LF, space and tab are skipped; any other
  // character is skipped and reported (kBase64Noise).
  strict,
};

// What base64DecodeStream reports.
constexpr uint32_t kBase64Noise = 1u << 0;

using Base64Sink = void (*)(void* context, const char* bytes, int32_t n);

// Decodes a piece of base64 text (n bytes) behind the group that carry
// holds, across line ends and pieces (an encoder may break its lines
// anywhere), handing the bytes to sink in runs of at most 4 KB. A group the
// end of the piece cuts waits in carry for the next piece.
uint32_t base64DecodeStream(DecodeCarry* carry, const char* text, int32_t n, Base64Form form, Base64Sink sink,
                            void* context);

}  // namespace qel

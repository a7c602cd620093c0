// The state of the incoming decoders and of the files a download writes:
// the decoder settings a caller makes on the channel, the names and paths of
// the running download, its files and where the decoding stands. The record
// holds only a pointer to it: the block is made at the first decoder setting
// or when a download starts, and freed at release. A channel that never
// downloads holds none; readers then see the defaults.
#pragma once

#include <cstdint>

#include "codec/decode_carry.h"
#include "frame/channel.h"

namespace qel {

struct LineSource;

constexpr int32_t kBoundaryCap = 128;
constexpr int32_t kSavedNamesCap = 1024;
constexpr int32_t kOriginalPathCap = 260;

struct DecoderState {
  // Settings: full MIME mode (130), unnamed parts saved (saveUnnamed),
  // numbered names, an attachment never replaces a file already there
  // (170). decodeState is a setting too (raw downloads) and the decoder's
  // own state while a download runs.
  uint8_t fullMime;
  uint8_t keepExistingFiles;
  uint32_t saveUnnamed;
  uint32_t numberNames;
  int32_t decodeState;

  // What the downloads saved: the names (for qelDebug), how many the last
  // download saved, and the serial that numbered names go on from.
  char savedNames[fieldSize(kSavedNamesCap)];
  int32_t savedCount;
  int32_t savedSerial;

  // The running download: where its files go and its open files (the
  // message file and the attachment being written), with their write
  // buffers (mime/file_buffers.h; null when none).
  char mailFileName[fieldSize(kPathCap)];
  char mailDirectory[fieldSize(kPathCap)];
  char attachDirectory[fieldSize(kPathCap)];
  char attachName[fieldSize(kPathCap)];
  char mailPath[fieldSize(kPathCap)];
  char attachPath[fieldSize(kPathCap)];
  int32_t mailFile;
  int32_t fileHandle;
  // The copy of the original message a decoded download writes beside its
  // files (setting 185; an empty path: none): its handle while open, -1
  // once a write to it failed.
  int32_t originalFile;
  char originalPath[fieldSize(kOriginalPathCap)];
  void* fileBuffers;
  // The attachment names the running download has taken (a plain block of
  // the platform's memory; null when none).
  void* takenNames;

  // The default decoder: the boundaries, the part being read.
  char mimeBoundary[fieldSize(kBoundaryCap)];
  char altBoundary[fieldSize(kBoundaryCap)];
  int32_t boundaryLength;
  int32_t boundaryCount;
  int32_t altBoundaryLength;
  int32_t partEncoding;
  uint8_t headerGapWritten;
  uint8_t embeddedMessage;
  // The header of the current part named a file (attachName); the file is
  // created once, when the header ends, so one part makes one file.
  uint8_t partNamed;
  uint8_t decodeInline;
  // Whether the last top-header line after MIME-Version went into the
  // message file: its folded continuation lines follow it.
  uint8_t headerLinePassed;

  // A line longer than one read arrives in pieces. An encoded group or
  // escape cut by the end of a piece waits in decodeCarry for the rest;
  // lineCut marks the current text as such a piece (its line feed has not
  // come yet), and cutLineResult says where the rest of the cut line goes
  // (0: the last line was whole).
  DecodeCarry decodeCarry;
  uint8_t lineCut;
  uint8_t cutLineResult;
  // The bytes of the current line in replyText: a line may hold NUL bytes,
  // so its length is never taken from the text.
  int32_t lineLength;
  // Where the decoder takes further lines from (mime/line_source.h); null:
  // the channel's own answer reader.
  const LineSource* lineSource;

  // Full MIME mode: the state of the running walk (mime/mime_walker; null
  // when none) and whether the names of the files it saves are UTF-8.
  void* mimeWalk;
  uint8_t utf8Names;
};

// The decoder state of a channel, made with the defaults when there is none
// yet. Returns 0, or -55 (kErrNoMemory) when it cannot be made.
int32_t openDecoder(ChannelRecord* record);

// The decoder state to read: the channel's, or the defaults when it has
// none.
const DecoderState& decoderView(const ChannelRecord* record);

// The count of saved files starts again at 0 (a new connection).
void clearSavedCount(ChannelRecord* record);

}  // namespace qel

// The message file of a download: its path, the writing of its lines and
// its closing.
#pragma once

#include <cstdint>

#include "frame/channel.h"
#include "mime/decoder_state.h"
#include "mime/line_source.h"

namespace qel {

// Sets the record up for a new download into fileName in emailDir, with
// attachments in attachDir: the files of an earlier one are closed, the
// counters, saved names and the decoder start afresh (a raw download stays
// raw).
void beginDownload(ChannelRecord* record, const char* fileName, const char* emailDir, const char* attachDir);

// Creates the message file (mailPath from mailDirectory and mailFileName)
// as mailFile. 0, or kErrCannotCreateFile.
int32_t openMailFile(ChannelRecord* record);

// Creates the copy of the original message (originalPath) as
// originalFile when a path is set and the download decodes. 0, or
// kErrCannotCreateFile.
int32_t openOriginalFile(ChannelRecord* record);

// A data piece as the answer reader took it off the connection (length
// bytes, the stuffing dot removed) into the original message's file when
// one is open. A failed write closes the file and marks it failed
// (originalFile -1) for the download to see (originalFailed).
void copyOriginalPiece(ChannelRecord* record, const char* piece, int32_t length);

// The copy of the original message could not be written: the download
// fails.
inline bool originalFailed(const ChannelRecord* record) { return record->decoder->originalFile < 0; }

// Writes out and closes the original message's file; -1 when that write
// (or an earlier one) failed, else 0. originalFile is 0 afterwards.
int32_t closeOriginalFile(ChannelRecord* record);

// One piece of the message (length bytes in replyText; lineEnded when it
// ends its line) through the decoder, when it is on, into the message file
// and the attachment files. 0, or the failed write's result.
int32_t takeMessagePiece(ChannelRecord* record, int32_t length, bool lineEnded);

// The "." line of the message has come: a full MIME walk writes what it
// still holds and ends. 0, or the failed write's result.
int32_t endMessage(ChannelRecord* record);

// A whole message from source into the files that beginDownload and
// openMailFile set up, the decoder reading its further lines from the same
// source; the files are closed at the end. 0; or the failed write's result,
// kErrSocketClosed when the source ended before the "." line or
// kErrTimedOut when it stalled (the files are then abandoned as by a failed
// download).
int32_t saveMessageFrom(ChannelRecord* record, const LineSource& source);

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
// forgotten. Also run by qelClose and at the start of every download; a
// channel that never downloaded has nothing to close.
void closeDownloadFiles(ChannelRecord* record);

// Ends a failed download's use of its files: the message file is closed
// with what arrived; the attachment file is closed but, being cut short,
// neither noted, named nor counted as saved. Run by every failure.
void abandonDownloadFiles(ChannelRecord* record);

}  // namespace qel

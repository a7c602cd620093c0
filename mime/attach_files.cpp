#include "mime/attach_files.h"

#include <cstring>

#include "codec/text_search.h"
#include "mime/decoder_state.h"
#include "mime/file_buffers.h"
#include "frame/log.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "mime/decoder.h"
#include "mime/mail_file.h"
#include "mime/taken_names.h"

namespace qel {
namespace {

constexpr const char* kSavedNote = "[Attachment saved to %c%s%c]\r\n";
constexpr char kQuote = '"';
constexpr int32_t kNoteRoom = kPathCap + 32;
// A directory, its separator and a formatted name.
constexpr int32_t kAttachPathRoom = kPathCap + 1 + kAttachNameRoom;

// The bytes of 0x00..0x1F and 0x7F have no business in a file name.
bool isControl(char c) {
  auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

// Characters that no Windows file name may hold. They are replaced on every
// system, so that one message gives the same names everywhere.
bool isReservedChar(char c) {
  return c == '*' || c == '?' || c == '<' || c == '>' || c == '|' || c == '"';
}

// Names that open a device on Windows, whatever extension follows them
// ("nul.txt" is the device NUL). Compared without regard to case.
constexpr const char* kDeviceNames[] = {"CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2",   "COM3",   "COM4",
                                        "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1",   "LPT2",   "LPT3",
                                        "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9",   "CONIN$", "CONOUT$"};
constexpr char kDevicePrefix = '_';

// Whether name, up to its first dot and without the spaces before it, is a
// device name.
bool isDeviceName(const char* name, int32_t length) {
  int32_t stem = 0;
  while (stem < length && name[stem] != '.') ++stem;
  while (stem > 0 && name[stem - 1] == ' ') --stem;
  for (const char* device : kDeviceNames) {
    if (textLength(device) == stem && equalsNoCase(name, device, stem)) return true;
  }
  return false;
}

// Every character that ends a directory or drive part on some system the
// library runs on: a name from a message never keeps one.
bool isNameSeparator(char c) { return c == '\\' || c == ':' || c == '/' || plat::isPathSeparator(c); }

// The name part of attachPath: everything behind its last separator (the
// name itself never holds one).
const char* savedNamePart(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (isNameSeparator(*p)) name = p + 1;
  }
  return name;
}

// Whether the file at path, under name in the attachment directory, is one
// this download must not open: the message file it is writing, or a file it
// has written itself.
bool ownFile(const ChannelRecord* record, const char* path, const char* name) {
  return nameTaken(record, name) || (record->decoder->mailFile > 0 && plat::sameFile(record->decoder->mailFile, path));
}

// Makes the name at the end of path (directory part of dirLength
// characters) one that this download has not taken, numbering it when it
// has ("same.bin", "same (2).bin", ...), and takes it. False when no such
// name fits attachPath, or the download can take no more names.
bool takeUnusedName(ChannelRecord* record, char* path, int32_t dirLength) {
  char base[kAttachNameRoom];
  copyText(base, path + dirLength, kAttachNameRoom - 1);
  if (!ownFile(record, path, base)) return takeName(record, base);
  if (!takeName(record, base)) return false;
  int32_t room = kPathCap - dirLength + 1;
  if (room > kAttachNameRoom) room = kAttachNameRoom;
  char candidate[kAttachNameRoom];
  uint32_t number = nextNameNumber(record, base);
  for (;; ++number) {
    if (numberedName(base, number, candidate, room) == 0) return false;
    path[dirLength] = '\0';
    appendText(path, candidate, kAttachNameRoom, kPathCap);
    if (!ownFile(record, path, candidate)) break;
  }
  setNextNameNumber(record, base, number + 1);
  return takeName(record, candidate);
}

// Creates the file at attachPath (its name from dirLength on): a file of
// that name is replaced, or with keepExistingFiles left alone
// (plat::kFileExists).
int32_t openAttachFile(const ChannelRecord* record, int32_t dirLength) {
  // The full MIME mode's names are UTF-8.
  bool utf8 = record->decoder->utf8Names != 0;
  if (record->decoder->keepExistingFiles != 0) return plat::fileCreateNew(record->decoder->attachPath, dirLength, utf8);
  return utf8 ? plat::fileCreateNamed(record->decoder->attachPath, dirLength) : plat::fileCreate(record->decoder->attachPath);
}

}  // namespace

int32_t safeFileName(const char* name, int32_t count, char* out) {
  int32_t start = 0;
  for (int32_t i = 0; i < count; ++i) {
    if (isNameSeparator(name[i])) start = i + 1;
  }
  int32_t length = 0;
  for (int32_t i = start; i < count && length < kPathCap; ++i) {
    out[length++] = isControl(name[i]) || isReservedChar(name[i]) ? '_' : name[i];
  }
  out[length] = '\0';
  bool dots = (length == 1 && out[0] == '.') || (length == 2 && out[0] == '.' && out[1] == '.');
  if (length == 0 || dots) return copyText(out, kNoName, kPathCap);
  if (isDeviceName(out, length)) {
    // "_" in front makes it an ordinary name; the last character goes when
    // the name already fills the room.
    if (length == kPathCap) --length;
    std::memmove(out + 1, out, static_cast<size_t>(length));
    out[0] = kDevicePrefix;
    out[++length] = '\0';
  }
  return length;
}

int32_t formatAttachName(const ChannelRecord* record, char* buffer, int32_t room) {
  if (record->decoder->numberNames == 0) return plat::formatText(buffer, room, "%1s", record->decoder->attachName);
  // The number of the file about to be saved; the serial only advances when
  // a file is closed and recorded.
  auto next = static_cast<uint32_t>(record->decoder->savedSerial) + 1u;
  return plat::formatText(buffer, room, "%1u-%1s", next, record->decoder->attachName);
}

void dropAttachFile(ChannelRecord* record) {
  if (record->decoder->fileHandle > 0) {
    flushBuffered(record, BufferedFile::attachment);
    plat::fileClose(record->decoder->fileHandle);
  }
  record->decoder->fileHandle = 0;
}

bool createAttachFile(ChannelRecord* record) {
  logFormat(record, "[AttachDir = '%s']\r\n", record->decoder->attachDirectory);
  logFormat(record, "[Filename = '%s']\r\n", record->decoder->attachName);

  // attachName is made safe where the decoder sets it; it is checked again
  // here because it carries over from earlier downloads.
  char name[fieldSize(kPathCap)];
  safeFileName(record->decoder->attachName, textLength(record->decoder->attachName), name);
  copyText(record->decoder->attachName, name, kPathCap);
  char formatted[kAttachNameRoom];
  formatAttachName(record, formatted, sizeof formatted);

  // The whole path is built first, in a buffer that holds any directory and
  // name: a path that does not fit attachPath would name another file if it
  // were cut.
  char path[kAttachPathRoom + 1];
  joinPath(path, kAttachPathRoom, record->decoder->attachDirectory, formatted);

  dropAttachFile(record);
  int32_t dirLength = textLength(path) - textLength(formatted);
  int32_t handle;
  for (;;) {
    if (textLength(path) > kPathCap || !takeUnusedName(record, path, dirLength)) {
      record->decoder->attachPath[0] = '\0';
      logFormat(record, "[Cannot open '%s']\r\n", path);
      return false;
    }
    copyText(record->decoder->attachPath, path, kPathCap);
    logFormat(record, "[Creating '%s']\r\n", record->decoder->attachPath);
    handle = openAttachFile(record, dirLength);
    if (record->decoder->keepExistingFiles == 0 || handle != plat::kFileExists) break;
    // The name is this download's now, so the next turn numbers it.
    logFormat(record, "[Keeping the file already there]\r\n");
    joinPath(path, kAttachPathRoom, record->decoder->attachDirectory, formatted);
  }
  if (handle <= 0) {
    logFormat(record, "[Cannot open '%s']\r\n", record->decoder->attachPath);
    return false;
  }
  record->decoder->fileHandle = handle;
  return true;
}

void saveUnnamedPart(ChannelRecord* record) {
  if (record->decoder->partEncoding != kEncodingBase64 || record->decoder->fileHandle > 0 || record->decoder->saveUnnamed == 0) return;
  if (record->decoder->attachName[0] == '\0') copyText(record->decoder->attachName, kNoName, kPathCap);
  createAttachFile(record);
}

bool closeAttachFile(ChannelRecord* record) {
  if (record == nullptr || record->decoder->fileHandle <= 0) return false;
  dropAttachFile(record);

  char note[kNoteRoom];
  int32_t length = plat::formatText(note, sizeof note, kSavedNote, kQuote, record->decoder->attachPath, kQuote);
  // The note stands in the message file where the part ended; the message
  // file is brought up to date at the end of every part.
  if (record->decoder->mailFile > 0) {
    if (settings.omitSavedNote == 0) writeBuffered(record, BufferedFile::message, note, length);
    flushBuffered(record, BufferedFile::message);
  }
  logText(record, note);

  addSavedName(record);
  record->decoder->savedCount += 1;
  record->decoder->savedSerial = static_cast<int32_t>(static_cast<uint32_t>(record->decoder->savedSerial) + 1u);
  return true;
}

void addSavedName(ChannelRecord* record) {
  const char* name = savedNamePart(record->decoder->attachPath);
  int32_t used = textLength(record->decoder->savedNames);
  int32_t separator = used > 0 ? 1 : 0;
  // The list with its NUL stays within kSavedNamesCap bytes; a name that
  // does not fit is left out, and a later, shorter one may still go in.
  if (used + separator + textLength(name) + 1 > kSavedNamesCap) return;
  if (separator != 0) {
    record->decoder->savedNames[used] = settings.attachSeparator;
    record->decoder->savedNames[used + 1] = '\0';
  }
  appendText(record->decoder->savedNames, name, kPathCap, kSavedNamesCap);
}

}  // namespace qel

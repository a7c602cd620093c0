// LIST, LSUB and STATUS responses.
#include <cstring>

#include "codec/mutf7.h"
#include "codec/utf8.h"
#include "imap/parse.h"

namespace qel {
namespace {

struct AttributeName {
  const char* name;
  uint32_t bit;
};
constexpr AttributeName kAttributeNames[] = {
    {"\\Noselect", kImapBoxNoSelect},         {"\\NoInferiors", kImapBoxNoInferiors},
    {"\\HasChildren", kImapBoxHasChildren},   {"\\HasNoChildren", kImapBoxHasNoChildren},
    {"\\Marked", kImapBoxMarked},             {"\\Unmarked", kImapBoxUnmarked},
    {"\\NonExistent", kImapBoxNonExistent},   {"\\Subscribed", kImapBoxSubscribed},
    {"\\Remote", kImapBoxRemote},             {"\\All", kImapBoxAll},
    {"\\Archive", kImapBoxArchive},           {"\\Drafts", kImapBoxDrafts},
    {"\\Flagged", kImapBoxFlagged},           {"\\Junk", kImapBoxJunk},
    {"\\Sent", kImapBoxSent},                 {"\\Trash", kImapBoxTrash},
};

struct StatusName {
  const char* name;
  uint32_t bit;
};
constexpr StatusName kStatusNames[] = {
    {"MESSAGES", kImapStatusMessages}, {"RECENT", kImapStatusRecent}, {"UIDNEXT", kImapStatusUidNext},
    {"UIDVALIDITY", kImapStatusUidValidity}, {"UNSEEN", kImapStatusUnseen}, {"DELETED", kImapStatusDeleted},
    {"SIZE", kImapStatusSize},
};

constexpr char kInbox[] = "INBOX";

uint32_t* statusField(ImapFolderStatus* status, uint32_t bit) {
  switch (bit) {
    case kImapStatusMessages: return &status->messages;
    case kImapStatusRecent: return &status->recent;
    case kImapStatusUidNext: return &status->uidNext;
    case kImapStatusUidValidity: return &status->uidValidity;
    case kImapStatusUnseen: return &status->unseen;
    default: return &status->deleted;
  }
}

int32_t readAttributes(const ImapResponse& response, int32_t index, uint32_t* attributes) {
  if (index >= response.itemCount || response.items[index].type != ImapItemType::listOpen) return kImapSyntax;
  int32_t end = static_cast<int32_t>(response.items[index].length);
  for (int32_t i = index + 1; i < end; i = imapSkip(response, i)) {
    if (response.items[i].type != ImapItemType::atom) return kImapSyntax;
    for (const AttributeName& name : kAttributeNames) {
      if (imapIsWord(response, i, name.name)) *attributes |= name.bit;
    }
  }
  return 0;
}

// The hierarchy delimiter: one character quoted, or NIL.
int32_t readDelimiter(const ImapResponse& response, int32_t index, char* delimiter) {
  if (index >= response.itemCount) return kImapSyntax;
  const ImapItem& item = response.items[index];
  if (item.type == ImapItemType::nil) return 0;
  if (item.type != ImapItemType::quoted || item.length != 1 || response.bytes[item.offset] == '\0') {
    return kImapSyntax;
  }
  *delimiter = response.bytes[item.offset];
  return 0;
}

}  // namespace

int32_t imapFolderName(const char* bytes, int32_t length, bool utf8Names, char* destination, int32_t room) {
  if (room <= 0) return kImapNoRoom;
  destination[0] = '\0';
  int32_t written = 0;
  if (utf8Names) {
    if (std::memchr(bytes, '\0', static_cast<size_t>(length)) != nullptr || !isValidUtf8(bytes, length)) {
      return kImapBadName;
    }
    if (length >= room) return kImapNoRoom;
    std::memcpy(destination, bytes, static_cast<size_t>(length));
    destination[length] = '\0';
    written = length;
  } else {
    written = mutf7ToUtf8(bytes, length, destination, room);
    if (written == kMutf7NoRoom) return kImapNoRoom;
    if (written < 0) return kImapBadName;
  }
  // INBOX is the same folder in any letter case.
  if (written == 5) {
    bool inbox = true;
    for (int32_t i = 0; i < 5; ++i) inbox = inbox && (destination[i] & ~0x20) == kInbox[i];
    if (inbox) std::memcpy(destination, kInbox, 5);
  }
  return written;
}

int32_t imapParseList(const ImapResponse& response, bool utf8Names, ImapFolder* folder) {
  *folder = ImapFolder{};
  int32_t at = response.first;
  if (response.kind != ImapKind::untagged || !(imapIsWord(response, at, "LIST") || imapIsWord(response, at, "LSUB"))) {
    return kImapOtherResponse;
  }
  int32_t rc = readAttributes(response, at + 1, &folder->attributes);
  if (rc == 0) rc = readDelimiter(response, imapSkip(response, at + 1), &folder->delimiter);
  if (rc != 0) return rc;
  const char* bytes = nullptr;
  int32_t length = 0;
  int32_t nameItem = imapSkip(response, at + 1) + 1;
  if (!imapStringOf(response, nameItem, &bytes, &length)) {
    // A folder may be called NIL; as an atom it is that name.
    if (!imapIsWord(response, nameItem, "NIL")) return kImapSyntax;
    bytes = response.bytes + response.items[nameItem].offset;
    length = 3;
  }
  rc = imapFolderName(bytes, length, utf8Names, folder->name, kImapNameRoom);
  if (rc < 0) return rc;
  folder->nameLength = rc;
  return 0;
}

int32_t imapParseStatus(const ImapResponse& response, ImapFolderStatus* status) {
  *status = ImapFolderStatus{};
  int32_t at = response.first;
  if (response.kind != ImapKind::untagged || !imapIsWord(response, at, "STATUS")) return kImapOtherResponse;
  status->nameItem = at + 1;
  int32_t list = at + 2;
  if (list >= response.itemCount || response.items[list].type != ImapItemType::listOpen) return kImapSyntax;
  int32_t end = static_cast<int32_t>(response.items[list].length);
  for (int32_t i = list + 1; i < end; i = imapSkip(response, imapSkip(response, i))) {
    int32_t value = imapSkip(response, i);
    if (value >= end) return kImapSyntax;
    for (const StatusName& name : kStatusNames) {
      if (!imapIsWord(response, i, name.name)) continue;
      bool ok = name.bit == kImapStatusSize ? imapNumber64(response, value, &status->size)
                                             : imapNumber(response, value, statusField(status, name.bit));
      if (!ok) return kImapSyntax;
      status->present |= name.bit;
    }
  }
  return 0;
}

}  // namespace qel

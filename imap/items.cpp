// Reading the items of a response: words, numbers, strings, flag lists.
#include <cstring>

#include "imap/parse.h"

namespace qel {
namespace {

struct FlagName {
  const char* name;
  uint32_t bit;
};
constexpr FlagName kFlagNames[] = {
    {"\\Seen", kImapFlagSeen},       {"\\Answered", kImapFlagAnswered}, {"\\Flagged", kImapFlagFlagged},
    {"\\Deleted", kImapFlagDeleted}, {"\\Draft", kImapFlagDraft},       {"\\Recent", kImapFlagRecent},
    {"\\*", kImapFlagAnyKeyword},
};

bool valid(const ImapResponse& response, int32_t index) { return index >= 0 && index < response.itemCount; }

bool isAtomLike(ImapItemType type) {
  return type == ImapItemType::atom || type == ImapItemType::number || type == ImapItemType::nil ||
         type == ImapItemType::codeName;
}

}  // namespace

bool imapIsWord(const ImapResponse& response, int32_t index, const char* word) {
  if (!valid(response, index) || !isAtomLike(response.items[index].type)) return false;
  const ImapItem& item = response.items[index];
  const char* bytes = response.bytes + item.offset;
  uint32_t i = 0;
  for (; i < item.length && word[i] != '\0'; ++i) {
    char a = bytes[i];
    char b = word[i];
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
    if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
    if (a != b) return false;
  }
  return i == item.length && word[i] == '\0';
}

bool imapNumber64(const ImapResponse& response, int32_t index, uint64_t* value) {
  if (!valid(response, index) || response.items[index].type != ImapItemType::number) return false;
  const ImapItem& item = response.items[index];
  uint64_t result = 0;
  for (uint32_t i = 0; i < item.length; ++i) {
    uint32_t digit = static_cast<uint32_t>(response.bytes[item.offset + i] - '0');
    if (result > (UINT64_MAX - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

bool imapNumber(const ImapResponse& response, int32_t index, uint32_t* value) {
  uint64_t wide = 0;
  if (!imapNumber64(response, index, &wide) || wide > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(wide);
  return true;
}

bool imapStringOf(const ImapResponse& response, int32_t index, const char** bytes, int32_t* length) {
  if (!valid(response, index)) return false;
  const ImapItem& item = response.items[index];
  switch (item.type) {
    case ImapItemType::atom:
    case ImapItemType::number:
    case ImapItemType::quoted:
    case ImapItemType::literal:
      *bytes = response.bytes + item.offset;
      *length = static_cast<int32_t>(item.length);
      return true;
    default:
      return false;
  }
}

int32_t imapCopyText(const ImapResponse& response, int32_t index, char* destination, int32_t room) {
  const char* bytes = nullptr;
  int32_t length = 0;
  if (room > 0) destination[0] = '\0';
  if (!imapStringOf(response, index, &bytes, &length)) return kImapOtherResponse;
  if (std::memchr(bytes, '\0', static_cast<size_t>(length)) != nullptr) return kImapSyntax;
  if (length >= room) return kImapNoRoom;
  std::memcpy(destination, bytes, static_cast<size_t>(length));
  destination[length] = '\0';
  return length;
}

int32_t imapSkip(const ImapResponse& response, int32_t index) {
  if (!valid(response, index)) return response.itemCount;
  const ImapItem& item = response.items[index];
  if (item.type == ImapItemType::listOpen) return static_cast<int32_t>(item.length) + 1;
  return index + 1;
}

bool imapFlags(const ImapResponse& response, int32_t index, uint32_t* flags) {
  if (!valid(response, index) || response.items[index].type != ImapItemType::listOpen) return false;
  *flags = 0;
  int32_t end = static_cast<int32_t>(response.items[index].length);
  for (int32_t i = index + 1; i < end; i = imapSkip(response, i)) {
    if (response.items[i].type != ImapItemType::atom) return false;
    uint32_t bit = kImapFlagKeyword;
    for (const FlagName& flag : kFlagNames) {
      if (imapIsWord(response, i, flag.name)) bit = flag.bit;
    }
    *flags |= bit;
  }
  return true;
}

}  // namespace qel

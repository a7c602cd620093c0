// FETCH responses: the attributes a client lists and downloads by.
#include "imap/parse.h"

namespace qel {
namespace {

constexpr int32_t kAddressParts = 4;
constexpr int32_t kEnvelopeFields = 10;

bool isNil(const ImapResponse& response, int32_t index) {
  return index < response.itemCount && response.items[index].type == ImapItemType::nil;
}

bool isString(const ImapResponse& response, int32_t index) {
  const char* bytes = nullptr;
  int32_t length = 0;
  return imapStringOf(response, index, &bytes, &length);
}

// An nstring: a string item, or NIL (kept as -1).
bool readNString(const ImapResponse& response, int32_t index, int32_t* item) {
  if (isNil(response, index)) return true;
  if (!isString(response, index)) return false;
  *item = index;
  return true;
}

// An address list: NIL, or a list of (name route mailbox host). The first
// address is kept.
bool readAddresses(const ImapResponse& response, int32_t index, ImapAddress* first) {
  if (isNil(response, index)) return true;
  if (index >= response.itemCount || response.items[index].type != ImapItemType::listOpen) return false;
  int32_t end = static_cast<int32_t>(response.items[index].length);
  for (int32_t a = index + 1; a < end; a = imapSkip(response, a)) {
    const ImapItem& item = response.items[a];
    if (item.type != ImapItemType::listOpen || static_cast<int32_t>(item.length) != a + kAddressParts + 1) {
      return false;
    }
    ImapAddress address;
    int32_t* parts[kAddressParts] = {&address.name, &address.route, &address.mailbox, &address.host};
    for (int32_t k = 0; k < kAddressParts; ++k) {
      if (!readNString(response, a + 1 + k, parts[k])) return false;
    }
    if (a == index + 1) *first = address;
  }
  return true;
}

bool readEnvelope(const ImapResponse& response, int32_t index, ImapEnvelope* envelope) {
  if (index >= response.itemCount || response.items[index].type != ImapItemType::listOpen) return false;
  int32_t end = static_cast<int32_t>(response.items[index].length);
  int32_t field[kEnvelopeFields];
  int32_t count = 0;
  for (int32_t i = index + 1; i < end; i = imapSkip(response, i)) {
    if (count == kEnvelopeFields) return false;
    field[count++] = i;
  }
  if (count != kEnvelopeFields) return false;
  return readNString(response, field[0], &envelope->date) && readNString(response, field[1], &envelope->subject) &&
         readAddresses(response, field[2], &envelope->from) && readAddresses(response, field[3], &envelope->sender) &&
         readAddresses(response, field[4], &envelope->replyTo) && readAddresses(response, field[5], &envelope->to) &&
         readAddresses(response, field[6], &envelope->cc) && readAddresses(response, field[7], &envelope->bcc) &&
         readNString(response, field[8], &envelope->inReplyTo) &&
         readNString(response, field[9], &envelope->messageId);
}

bool bodyName(const ImapResponse& response, int32_t index) {
  const char* bytes = nullptr;
  int32_t length = 0;
  if (response.items[index].type != ImapItemType::atom || !imapStringOf(response, index, &bytes, &length)) {
    return false;
  }
  // BINARY.SIZE[n] is a number, not content.
  static const char kBinarySize[] = "BINARY.SIZE";
  int32_t k = 0;
  while (k < length && kBinarySize[k] != '\0' && (bytes[k] & ~0x20) == (kBinarySize[k] & ~0x20)) ++k;
  if (kBinarySize[k] == '\0') return false;
  for (int32_t i = 0; i < length; ++i) {
    if (bytes[i] == '[') return true;
  }
  return imapIsWord(response, index, "RFC822") || imapIsWord(response, index, "RFC822.HEADER") ||
         imapIsWord(response, index, "RFC822.TEXT");
}

// One attribute and its value.
bool readAttribute(const ImapResponse& response, int32_t name, int32_t value, ImapFetch* fetch) {
  if (imapIsWord(response, name, "UID")) {
    fetch->present |= kImapFetchUid;
    return imapNumber(response, value, &fetch->uid) && fetch->uid > 0;
  }
  if (imapIsWord(response, name, "FLAGS")) {
    fetch->present |= kImapFetchFlags;
    fetch->flagsItem = value;
    return imapFlags(response, value, &fetch->flags);
  }
  if (imapIsWord(response, name, "RFC822.SIZE")) {
    fetch->present |= kImapFetchSize;
    return imapNumber64(response, value, &fetch->size);
  }
  if (imapIsWord(response, name, "INTERNALDATE")) {
    fetch->present |= kImapFetchInternalDate;
    fetch->internalDate = value;
    return response.items[value].type == ImapItemType::quoted;
  }
  if (imapIsWord(response, name, "ENVELOPE")) {
    fetch->present |= kImapFetchEnvelope;
    return readEnvelope(response, value, &fetch->envelope);
  }
  if (bodyName(response, name)) {
    fetch->present |= kImapFetchBody;
    fetch->bodyName = name;
    fetch->bodyItem = value;
    ImapItemType type = response.items[value].type;
    return type == ImapItemType::streamed || type == ImapItemType::nil || isString(response, value);
  }
  return response.items[name].type == ImapItemType::atom;
}

}  // namespace

int32_t imapParseFetch(const ImapResponse& response, ImapFetch* fetch) {
  *fetch = ImapFetch{};
  int32_t at = response.first;
  if (response.kind != ImapKind::untagged || !imapIsWord(response, at + 1, "FETCH")) return kImapOtherResponse;
  int32_t list = at + 2;
  if (!imapNumber(response, at, &fetch->sequence) || list >= response.itemCount ||
      response.items[list].type != ImapItemType::listOpen || imapSkip(response, list) != response.itemCount) {
    return kImapSyntax;
  }
  int32_t end = static_cast<int32_t>(response.items[list].length);
  for (int32_t i = list + 1; i < end;) {
    int32_t value = imapSkip(response, i);
    if (value >= end || !readAttribute(response, i, value, fetch)) return kImapSyntax;
    i = imapSkip(response, value);
  }
  return 0;
}

}  // namespace qel

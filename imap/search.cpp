// SEARCH and ESEARCH results.
#include "imap/parse.h"

namespace qel {

int32_t imapSearchNumbers(const ImapResponse& response, uint32_t* numbers, int32_t room) {
  if (response.kind != ImapKind::untagged || !imapIsWord(response, response.first, "SEARCH")) {
    return kImapOtherResponse;
  }
  int32_t count = 0;
  for (int32_t i = response.first + 1; i < response.itemCount; i = imapSkip(response, i)) {
    // A list after the numbers ("(MODSEQ n)") is no match.
    if (response.items[i].type == ImapItemType::listOpen) continue;
    uint32_t value = 0;
    if (!imapNumber(response, i, &value) || value == 0) return kImapSyntax;
    if (count < room) numbers[count] = value;
    ++count;
  }
  return count;
}

int32_t imapParseEsearch(const ImapResponse& response, ImapEsearch* result) {
  *result = ImapEsearch{};
  if (response.kind != ImapKind::untagged || !imapIsWord(response, response.first, "ESEARCH")) {
    return kImapOtherResponse;
  }
  int32_t i = response.first + 1;
  if (i < response.itemCount && response.items[i].type == ImapItemType::listOpen) {
    // (TAG "tag")
    if (!imapIsWord(response, i + 1, "TAG") || response.items[i].length != static_cast<uint32_t>(i + 3)) {
      return kImapSyntax;
    }
    result->tagItem = i + 2;
    i = imapSkip(response, i);
  }
  if (imapIsWord(response, i, "UID")) {
    result->uid = true;
    ++i;
  }
  while (i < response.itemCount) {
    int32_t value = imapSkip(response, i);
    if (value >= response.itemCount) return kImapSyntax;
    bool ok = true;
    if (imapIsWord(response, i, "MIN")) {
      ok = imapNumber(response, value, &result->min);
      result->present |= kImapEsearchMin;
    } else if (imapIsWord(response, i, "MAX")) {
      ok = imapNumber(response, value, &result->max);
      result->present |= kImapEsearchMax;
    } else if (imapIsWord(response, i, "COUNT")) {
      ok = imapNumber(response, value, &result->count);
      result->present |= kImapEsearchCount;
    } else if (imapIsWord(response, i, "ALL")) {
      ImapItemType type = response.items[value].type;
      ok = type == ImapItemType::atom || type == ImapItemType::number;
      result->allItem = value;
      result->present |= kImapEsearchAll;
    } else if (response.items[i].type != ImapItemType::atom) {
      ok = false;  // another result's name must be an atom; its value is passed over
    }
    if (!ok) return kImapSyntax;
    i = imapSkip(response, value);
  }
  return 0;
}

}  // namespace qel

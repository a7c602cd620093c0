// Response codes of status responses, and the capability list.
#include <cstring>

#include "imap/parse.h"

namespace qel {
namespace {

struct CodeName {
  const char* name;
  ImapCode code;
};
constexpr CodeName kCodeNames[] = {
    {"ALERT", ImapCode::alert},         {"UIDVALIDITY", ImapCode::uidValidity},
    {"UIDNEXT", ImapCode::uidNext},     {"UNSEEN", ImapCode::unseen},
    {"PERMANENTFLAGS", ImapCode::permanentFlags}, {"CAPABILITY", ImapCode::capability},
    {"APPENDUID", ImapCode::appendUid}, {"COPYUID", ImapCode::copyUid},
    {"READ-ONLY", ImapCode::readOnly},  {"READ-WRITE", ImapCode::readWrite},
    {"TRYCREATE", ImapCode::tryCreate}, {"HIGHESTMODSEQ", ImapCode::highestModSeq},
};

struct CapabilityName {
  const char* name;
  uint32_t bit;
};
constexpr CapabilityName kCapabilityNames[] = {
    {"IMAP4rev1", kImapCapRev1},         {"IMAP4rev2", kImapCapRev2},
    {"STARTTLS", kImapCapStartTls},      {"LOGINDISABLED", kImapCapLoginDisabled},
    {"SASL-IR", kImapCapSaslIr},         {"IDLE", kImapCapIdle},
    {"UIDPLUS", kImapCapUidPlus},        {"MOVE", kImapCapMove},
    {"LITERAL+", kImapCapLiteralPlus},   {"LITERAL-", kImapCapLiteralMinus},
    {"ENABLE", kImapCapEnable},          {"UTF8=ACCEPT", kImapCapUtf8Accept},
    {"SPECIAL-USE", kImapCapSpecialUse}, {"ESEARCH", kImapCapEsearch},
    {"CONDSTORE", kImapCapCondStore},    {"BINARY", kImapCapBinary},
    {"NAMESPACE", kImapCapNamespace},    {"UNSELECT", kImapCapUnselect},
};

constexpr char kAuthPrefix[] = "AUTH=";
constexpr int32_t kAuthPrefixLength = sizeof kAuthPrefix - 1;

bool isSet(const ImapResponse& response, int32_t index) {
  return index >= 0 && index < response.itemCount &&
         (response.items[index].type == ImapItemType::atom || response.items[index].type == ImapItemType::number);
}

// Arguments of the known codes; args is the index after the name, end the
// code's end.
int32_t codeArguments(const ImapResponse& response, int32_t args, int32_t end, ImapCodeValues* values) {
  bool ok = true;
  switch (values->code) {
    case ImapCode::uidValidity:
    case ImapCode::uidNext:
    case ImapCode::unseen:
      ok = args < end && imapNumber(response, args, &values->number);
      break;
    case ImapCode::highestModSeq:
      ok = args < end && imapNumber64(response, args, &values->modSeq);
      break;
    case ImapCode::permanentFlags:
      ok = args < end && imapFlags(response, args, &values->flags);
      break;
    case ImapCode::appendUid:
      ok = args + 1 < end && imapNumber(response, args, &values->number) && isSet(response, args + 1);
      values->setItem = args + 1;
      break;
    case ImapCode::copyUid:
      ok = args + 2 < end && imapNumber(response, args, &values->number) && isSet(response, args + 1) &&
           isSet(response, args + 2);
      values->setItem = args + 1;
      values->targetItem = args + 2;
      break;
    default:
      break;
  }
  return ok ? 0 : kImapSyntax;
}

// Whether an atom begins with "AUTH=", in any letter case.
bool authName(const char* bytes) {
  for (int32_t i = 0; i < kAuthPrefixLength; ++i) {
    char c = bytes[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != kAuthPrefix[i]) return false;
  }
  return true;
}

// Adds one mechanism name to the space-separated list, if it fits whole.
void addMechanism(ImapCapabilities* capabilities, const char* name, int32_t length) {
  if (length <= 0) return;
  int32_t used = static_cast<int32_t>(std::strlen(capabilities->mechanisms));
  int32_t need = length + (used > 0 ? 1 : 0);
  if (used + need >= kImapMechanismRoom) return;
  if (used > 0) capabilities->mechanisms[used++] = ' ';
  std::memcpy(capabilities->mechanisms + used, name, static_cast<size_t>(length));
  capabilities->mechanisms[used + length] = '\0';
}

}  // namespace

int32_t imapResponseCode(const ImapResponse& response, ImapCodeValues* values) {
  *values = ImapCodeValues{};
  if (response.status == ImapStatus::none && response.kind != ImapKind::continuation) return kImapOtherResponse;
  if (response.codeItem < 0) return 0;
  values->code = ImapCode::other;
  for (const CodeName& name : kCodeNames) {
    if (imapIsWord(response, response.codeItem, name.name)) values->code = name.code;
  }
  return codeArguments(response, response.codeItem + 1, response.codeEnd, values);
}

int32_t imapCapabilities(const ImapResponse& response, ImapCapabilities* capabilities) {
  *capabilities = ImapCapabilities{};
  int32_t from = -1;
  int32_t end = response.itemCount;
  if (response.kind == ImapKind::untagged && imapIsWord(response, response.first, "CAPABILITY")) {
    from = response.first + 1;
  } else if (response.codeItem >= 0 && response.items[response.codeItem].type == ImapItemType::codeName &&
             imapIsWord(response, response.codeItem, "CAPABILITY")) {
    from = response.codeItem + 1;
    end = response.codeEnd;
  }
  if (from < 0) return kImapOtherResponse;
  for (int32_t i = from; i < end; i = imapSkip(response, i)) {
    const char* bytes = nullptr;
    int32_t length = 0;
    if (response.items[i].type != ImapItemType::atom || !imapStringOf(response, i, &bytes, &length)) continue;
    for (const CapabilityName& name : kCapabilityNames) {
      if (imapIsWord(response, i, name.name)) capabilities->bits |= name.bit;
    }
    if (length > kAuthPrefixLength && authName(bytes)) {
      addMechanism(capabilities, bytes + kAuthPrefixLength, length - kAuthPrefixLength);
    }
  }
  return 0;
}

}  // namespace qel

// Parsers over a response the reader gathered (imap/reader.h): the item
// accessors they share, response codes, CAPABILITY, LIST and LSUB, STATUS,
// SEARCH and ESEARCH, and FETCH attributes. Each reads the record only; a
// string it returns is an item index (-1 when absent or NIL), read with
// imapStringOf or copied with imapCopyText.
#pragma once

#include <cstdint>

#include "imap/reader.h"

namespace qel {

// Results besides 0 (done). kImapSyntax (reader.h) when the response is of
// the kind asked for but malformed.
constexpr int32_t kImapOtherResponse = -7;  // not the kind of response asked for
constexpr int32_t kImapNoRoom = -8;         // the destination is too small
constexpr int32_t kImapBadName = -9;        // a folder name that does not decode

// ---- items

// Whether item index is an atom (number, NIL and a code's name included)
// equal to word, in any letter case.
bool imapIsWord(const ImapResponse& response, int32_t index, const char* word);

// The value of a number item within 32 (or 64) bits.
bool imapNumber(const ImapResponse& response, int32_t index, uint32_t* value);
bool imapNumber64(const ImapResponse& response, int32_t index, uint64_t* value);

// The bytes of a string item: atom, number, quoted string or held literal.
// False for NIL, lists, streamed literals and a missing index.
bool imapStringOf(const ImapResponse& response, int32_t index, const char** bytes, int32_t* length);

// Copies a string item into destination (room bytes), NUL-terminated.
// Returns its length, kImapOtherResponse when it is no string (NIL
// included), kImapSyntax when it holds a NUL byte, kImapNoRoom.
int32_t imapCopyText(const ImapResponse& response, int32_t index, char* destination, int32_t room);

// The index of the item after this one (after a whole list for listOpen).
int32_t imapSkip(const ImapResponse& response, int32_t index);

// ---- flags

constexpr uint32_t kImapFlagSeen = 1u << 0;
constexpr uint32_t kImapFlagAnswered = 1u << 1;
constexpr uint32_t kImapFlagFlagged = 1u << 2;
constexpr uint32_t kImapFlagDeleted = 1u << 3;
constexpr uint32_t kImapFlagDraft = 1u << 4;
constexpr uint32_t kImapFlagRecent = 1u << 5;
constexpr uint32_t kImapFlagAnyKeyword = 1u << 6;  // "\*": new keywords may be made
constexpr uint32_t kImapFlagKeyword = 1u << 7;     // at least one keyword

// The flags of a list item (FLAGS, PERMANENTFLAGS). False when index is no list.
bool imapFlags(const ImapResponse& response, int32_t index, uint32_t* flags);

// ---- status responses and their codes

enum class ImapCode : uint8_t {
  none, other, alert, uidValidity, uidNext, unseen, permanentFlags, capability,
  appendUid, copyUid, readOnly, readWrite, tryCreate, highestModSeq,
};

struct ImapCodeValues {
  ImapCode code = ImapCode::none;
  uint32_t number = 0;       // UIDVALIDITY, UIDNEXT, UNSEEN; the UIDVALIDITY of APPENDUID and COPYUID
  uint64_t modSeq = 0;       // HIGHESTMODSEQ
  uint32_t flags = 0;        // PERMANENTFLAGS
  int32_t setItem = -1;      // the UID set of APPENDUID, the source set of COPYUID
  int32_t targetItem = -1;   // the target set of COPYUID
};

// The response code of a status response or continuation. Returns 0 with
// values->code none when there is no code, kImapSyntax when a code the
// library knows has malformed arguments, kImapOtherResponse for a response
// that is no status response.
int32_t imapResponseCode(const ImapResponse& response, ImapCodeValues* values);

// ---- CAPABILITY

constexpr uint32_t kImapCapRev1 = 1u << 0;
constexpr uint32_t kImapCapRev2 = 1u << 1;
constexpr uint32_t kImapCapStartTls = 1u << 2;
constexpr uint32_t kImapCapLoginDisabled = 1u << 3;
constexpr uint32_t kImapCapSaslIr = 1u << 4;
constexpr uint32_t kImapCapIdle = 1u << 5;
constexpr uint32_t kImapCapUidPlus = 1u << 6;
constexpr uint32_t kImapCapMove = 1u << 7;
constexpr uint32_t kImapCapLiteralPlus = 1u << 8;
constexpr uint32_t kImapCapLiteralMinus = 1u << 9;
constexpr uint32_t kImapCapEnable = 1u << 10;
constexpr uint32_t kImapCapUtf8Accept = 1u << 11;
constexpr uint32_t kImapCapSpecialUse = 1u << 12;
constexpr uint32_t kImapCapEsearch = 1u << 13;
constexpr uint32_t kImapCapCondStore = 1u << 14;
constexpr uint32_t kImapCapBinary = 1u << 15;
constexpr uint32_t kImapCapNamespace = 1u << 16;
constexpr uint32_t kImapCapUnselect = 1u << 17;

// Room for the names of the offered SASL mechanisms, space-separated.
constexpr int32_t kImapMechanismRoom = 256;

struct ImapCapabilities {
  uint32_t bits = 0;
  char mechanisms[kImapMechanismRoom] = {};  // "SCRAM-SHA-256 PLAIN"; names that do not fit are left out
};

// The capabilities of "* CAPABILITY ..." or of a [CAPABILITY ...] code.
// Returns 0, or kImapOtherResponse.
int32_t imapCapabilities(const ImapResponse& response, ImapCapabilities* capabilities);

// ---- LIST and LSUB

constexpr uint32_t kImapBoxNoSelect = 1u << 0;
constexpr uint32_t kImapBoxNoInferiors = 1u << 1;
constexpr uint32_t kImapBoxHasChildren = 1u << 2;
constexpr uint32_t kImapBoxHasNoChildren = 1u << 3;
constexpr uint32_t kImapBoxMarked = 1u << 4;
constexpr uint32_t kImapBoxUnmarked = 1u << 5;
constexpr uint32_t kImapBoxNonExistent = 1u << 6;
constexpr uint32_t kImapBoxSubscribed = 1u << 7;
constexpr uint32_t kImapBoxRemote = 1u << 8;
// Special use (RFC 6154).
constexpr uint32_t kImapBoxAll = 1u << 9;
constexpr uint32_t kImapBoxArchive = 1u << 10;
constexpr uint32_t kImapBoxDrafts = 1u << 11;
constexpr uint32_t kImapBoxFlagged = 1u << 12;
constexpr uint32_t kImapBoxJunk = 1u << 13;
constexpr uint32_t kImapBoxSent = 1u << 14;
constexpr uint32_t kImapBoxTrash = 1u << 15;

// Room for a folder name in UTF-8, its NUL included.
constexpr int32_t kImapNameRoom = 1024;

struct ImapFolder {
  uint32_t attributes = 0;
  char delimiter = 0;  // 0: the server has no hierarchy (NIL)
  char name[kImapNameRoom] = {};
  int32_t nameLength = 0;
};

// Reads "* LIST (attributes) delimiter name" or LSUB. The name is decoded
// from modified UTF-7 unless utf8Names (UTF-8 was enabled), and any letter
// case of INBOX becomes "INBOX". Returns 0, kImapOtherResponse,
// kImapSyntax, kImapBadName (the name does not decode) or kImapNoRoom.
int32_t imapParseList(const ImapResponse& response, bool utf8Names, ImapFolder* folder);

// Decodes a folder name as imapParseList does. Returns the length, or
// kImapBadName / kImapNoRoom.
int32_t imapFolderName(const char* bytes, int32_t length, bool utf8Names, char* destination, int32_t room);

// ---- STATUS

constexpr uint32_t kImapStatusMessages = 1u << 0;
constexpr uint32_t kImapStatusRecent = 1u << 1;
constexpr uint32_t kImapStatusUidNext = 1u << 2;
constexpr uint32_t kImapStatusUidValidity = 1u << 3;
constexpr uint32_t kImapStatusUnseen = 1u << 4;
constexpr uint32_t kImapStatusDeleted = 1u << 5;
constexpr uint32_t kImapStatusSize = 1u << 6;

struct ImapFolderStatus {
  uint32_t present = 0;  // kImapStatus* bits of the values given
  uint32_t messages = 0, recent = 0, uidNext = 0, uidValidity = 0, unseen = 0, deleted = 0;
  uint64_t size = 0;
  int32_t nameItem = -1;
};

// Reads "* STATUS name (item value ...)"; unknown items are passed over.
// Returns 0, kImapOtherResponse or kImapSyntax.
int32_t imapParseStatus(const ImapResponse& response, ImapFolderStatus* status);

// ---- SEARCH and ESEARCH

// The numbers of "* SEARCH n ..." held in the record (without a number
// sink), up to room of them into numbers. Returns their count (which may
// pass room: only room are written), kImapOtherResponse or kImapSyntax.
int32_t imapSearchNumbers(const ImapResponse& response, uint32_t* numbers, int32_t room);

constexpr uint32_t kImapEsearchMin = 1u << 0;
constexpr uint32_t kImapEsearchMax = 1u << 1;
constexpr uint32_t kImapEsearchCount = 1u << 2;
constexpr uint32_t kImapEsearchAll = 1u << 3;

struct ImapEsearch {
  uint32_t present = 0;
  bool uid = false;
  uint32_t min = 0, max = 0, count = 0;
  int32_t tagItem = -1;  // the tag of the command it answers, from (TAG "...")
  int32_t allItem = -1;  // the set of ALL; read it with ImapSetReader
};

// Reads "* ESEARCH [(TAG "t")] [UID] (name value)...". Returns 0,
// kImapOtherResponse or kImapSyntax.
int32_t imapParseEsearch(const ImapResponse& response, ImapEsearch* result);

// ---- FETCH

constexpr uint32_t kImapFetchUid = 1u << 0;
constexpr uint32_t kImapFetchFlags = 1u << 1;
constexpr uint32_t kImapFetchSize = 1u << 2;
constexpr uint32_t kImapFetchInternalDate = 1u << 3;
constexpr uint32_t kImapFetchEnvelope = 1u << 4;
constexpr uint32_t kImapFetchBody = 1u << 5;

// One address of an envelope: item indexes, -1 for NIL.
struct ImapAddress {
  int32_t name = -1, route = -1, mailbox = -1, host = -1;
};

struct ImapEnvelope {
  int32_t date = -1, subject = -1, inReplyTo = -1, messageId = -1;
  // The first address of each list (a group's start counts as none).
  ImapAddress from, sender, replyTo, to, cc, bcc;
};

struct ImapFetch {
  uint32_t sequence = 0;
  uint32_t present = 0;  // kImapFetch* bits
  uint32_t uid = 0;
  uint32_t flags = 0;
  int32_t flagsItem = -1;  // the FLAGS list, for its keywords
  uint64_t size = 0;       // RFC822.SIZE
  int32_t internalDate = -1;
  ImapEnvelope envelope;
  int32_t bodyName = -1;   // the last body section: its fetch item ...
  int32_t bodyItem = -1;   // ... and its value (literal, streamed, quoted or NIL)
};

// Reads "* n FETCH (attribute value ...)"; attributes the library does not
// read (BODYSTRUCTURE, MODSEQ...) are passed over. Returns 0,
// kImapOtherResponse or kImapSyntax.
int32_t imapParseFetch(const ImapResponse& response, ImapFetch* fetch);

}  // namespace qel

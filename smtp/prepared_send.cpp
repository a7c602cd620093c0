// The operations that send a ready-made message: its envelope sender and
// recipients checked and made into "<address>" form, its source noted, and
// the message measured and held against what the server offered (SIZE,
// 8BITMIME, SMTPUTF8) before MAIL FROM, as for a composed message.
#include "smtp/prepared_send.h"

#include "codec/smtp_data.h"
#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/memory.h"
#include "frame/settings.h"
#include "transport/readiness.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "qel32.h"
#include "smtp/body_reader.h"
#include "smtp/message_plan.h"
#include "smtp/smtp_states.h"
#include "transport/connection.h"

namespace qel {
namespace {

// The message text of the memory form, which reads no text.
constexpr char kNoMessage[] = "";
// Output of one conversion step while the message is measured.
constexpr int32_t kMeasureRoom = 4096;

bool isEmpty(const char* text) { return text == nullptr || text[0] == '\0'; }
bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The position of the first c in [from, end) outside a quoted string, or
// end. A display name may hold separators and brackets in quotes.
const char* findUnquoted(const char* from, const char* end, char c) {
  bool quoted = false;
  for (const char* p = from; p < end; ++p) {
    if (quoted && *p == '\\' && p + 1 < end) {
      ++p;
    } else if (*p == '"') {
      quoted = !quoted;
    } else if (!quoted && *p == c) {
      return p;
    }
  }
  return end;
}

// Makes one envelope address of [begin, end): "Name <a@b>" and "<a@b>" give
// "<a@b>", a bare "a@b" gets its brackets. Writes it to out (when not null)
// and returns its length, or an error code. "<>" is returned as it is; the
// caller decides whether it may stand.
int32_t envelopeAddress(const char* begin, const char* end, char* out) {
  if (holdsLineBreak(begin, static_cast<int32_t>(end - begin))) return kErrBadAddressChar;
  while (begin < end && isBlank(*begin)) ++begin;
  while (end > begin && isBlank(end[-1])) --end;
  if (begin == end) return kErrEmptyAddress;
  const char* open = findUnquoted(begin, end, '<');
  const char* from = begin;
  const char* to = end;
  if (open != end) {
    const char* close = open;
    while (close < end && *close != '>') ++close;
    if (close == end) return kErrMissingGt;
    from = open + 1;
    to = close;
  } else {
    for (const char* p = begin; p < end; ++p) {
      if (isBlank(*p) || *p == '>' || *p == '"') return kErrBadAddressChar;
    }
  }
  int32_t length = static_cast<int32_t>(to - from) + 2;
  if (length > kEnvelopeAddressCap) return kErrBadAddressChar;
  if (out != nullptr) {
    out[0] = '<';
    copyCount(out + 1, from, length - 2);
    out[length - 1] = '>';
    out[length] = '\0';
  }
  return length;
}

// Walks the recipient list, items separated by the recipient separator
// (outside quotes and brackets; blank items skipped), and writes their
// envelope addresses, separated the same way, to out (when not null).
// Returns the length of that list, or an error code.
int32_t envelopeList(const char* list, char* out) {
  const char separator = settings.recipientSeparator;
  const char* end = list + textLength(list);
  int32_t total = 0;
  for (const char* item = list; item < end;) {
    const char* stop = item;
    for (bool quoted = false, bracketed = false; stop < end; ++stop) {
      if (quoted && *stop == '\\' && stop + 1 < end) {
        ++stop;
        continue;
      }
      if (*stop == '"' && !bracketed) quoted = !quoted;
      if (!quoted && *stop == '<') bracketed = true;
      if (!quoted && *stop == '>') bracketed = false;
      if (!quoted && !bracketed && *stop == separator) break;
    }
    const char* first = item;
    while (first < stop && isBlank(*first)) ++first;
    if (first < stop) {
      if (total > 0 && out != nullptr) out[total] = separator;
      if (total > 0) ++total;
      int32_t length = envelopeAddress(first, stop, out != nullptr ? out + total : nullptr);
      if (length < 0) return length;
      // The null path is a sender's only.
      if (length == 2) return kErrEmptyAddress;
      total += length;
    }
    item = stop + 1;
  }
  if (out != nullptr) out[total] = '\0';
  return total;
}

// The envelope sender: the caller's, or the From address of the connect.
int32_t takeSender(ChannelRecord* record, const char* sender) {
  if (isEmpty(sender)) {
    if (record->smtp->fromAddress[0] == '\0') return kErrMissingFrom;
    const char* open = findChar(record->smtp->fromAddress, '<');
    if (open == nullptr) return kErrMissingLt;
    sender = open;
  }
  int32_t length = envelopeAddress(sender, sender + textLength(sender), record->smtp->send->envelopeSender);
  return length < 0 ? length : 0;
}

int32_t takeRecipients(ChannelRecord* record, const char* recipients) {
  record->smtp->send->toList = nullptr;
  if (isEmpty(recipients)) return kErrNoRecipient;
  int32_t length = envelopeList(recipients, nullptr);
  if (length < 0) return length;
  if (length == 0) return kErrNoRecipient;
  channelFreeRange(record->channelNumber, kSlotTo, kSlotTo);
  char* list = channelAllocate(record->channelNumber, kSlotTo, length + 1);
  if (list == nullptr) return kErrNoMemory;
  envelopeList(recipients, list);
  record->smtp->send->toList = list;
  return 0;
}

bool holdsEightBit(const char* text) {
  for (; *text != '\0'; ++text) {
    if (static_cast<uint8_t>(*text) >= 0x80) return true;
  }
  return false;
}

// What a pass over the message finds: its size as it goes out, and bytes
// of 0x80 and above in its header and in all of it.
struct PreparedCensus {
  uint64_t wireBytes = 0;
  bool eightBit = false;
  bool headerEightBit = false;
};

// Reads the whole message once, through the same conversion as the send.
// False when the file cannot be read.
bool measurePrepared(ChannelRecord* record, PreparedCensus* census) {
  DataStuffing stuffing;
  char out[kMeasureRoom];
  bool inHeader = true;
  int32_t lineLength = 0;
  for (;;) {
    const char* bytes = nullptr;
    int32_t count = nextPreparedPiece(record, &bytes);
    if (count < 0) return false;
    if (count == 0) break;
    int32_t consumed = 0;
    int32_t written = stuffData(&stuffing, bytes, count, out, kMeasureRoom, &consumed);
    takePrepared(record, consumed);
    census->wireBytes += static_cast<uint64_t>(written);
    for (int32_t i = 0; i < written; ++i) {
      bool high = static_cast<uint8_t>(out[i]) >= 0x80;
      census->eightBit = census->eightBit || high;
      census->headerEightBit = census->headerEightBit || (high && inHeader);
      // Lines are CR LF here: an empty one ends the header.
      if (out[i] == '\n') {
        if (lineLength == 1) inHeader = false;
        lineLength = 0;
      } else {
        ++lineLength;
      }
    }
  }
  // A last line without its line end gets one.
  if (!stuffing.lineStart) census->wireBytes += 2;
  return true;
}

// Starts reading the message from its beginning; for a file, opens it.
bool rewindPrepared(ChannelRecord* record) {
  resetBodyReader(record);
  record->smtp->send->preparedOffset = 0;
  record->smtp->send->bodyFromText = 0;
  if (record->smtp->send->preparedSource != kPreparedFile) return true;
  closeSendFile(record);
  int32_t handle = plat::fileOpenRead(record->smtp->send->messageText);
  if (handle <= 0) return false;
  record->fileHandle = handle;
  return true;
}

// The extension parameters of MAIL FROM, or the refusals, as planMessage
// decides them for a composed message.
int32_t planPrepared(ChannelRecord* record) {
  record->smtp->send->bodyEncoding = kBodyAsBefore;
  record->smtp->send->sendsEightBit = 0;
  record->smtp->send->needsSmtpUtf8 = 0;
  record->smtp->send->messageSizeEstimate = 0;
  if (!rewindPrepared(record)) return kErrCannotOpenFile;
  if (!charsetOn(record) && record->smtp->useExtensions == 0) {
    closeSendFile(record);
    return 0;
  }
  PreparedCensus census;
  bool read = measurePrepared(record, &census);
  closeSendFile(record);
  if (!read) return kErrCannotOpenFile;
  record->smtp->send->sendsEightBit = census.eightBit ? 1 : 0;
  // Non-ASCII addresses need SMTPUTF8; a non-ASCII header (RFC 6532) uses
  // it when the server has it and goes as 8-bit data otherwise.
  bool addressesNeed = holdsEightBit(record->smtp->send->envelopeSender) || holdsEightBit(record->smtp->send->toList);
  if (addressesNeed && record->smtp->offersSmtpUtf8 == 0) {
    logText(record, "Refused: an address needs SMTPUTF8, which the server does not offer\r\n");
    return kErrNeedsSmtpUtf8;
  }
  if (addressesNeed || (census.headerEightBit && record->smtp->offersSmtpUtf8 != 0)) record->smtp->send->needsSmtpUtf8 = 1;
  if (record->smtp->offersSize != 0) {
    record->smtp->send->messageSizeEstimate = census.wireBytes > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(census.wireBytes);
    if (record->smtp->serverSizeLimit != 0 && census.wireBytes > record->smtp->serverSizeLimit) {
      logFormat(record, "Refused: message of %u bytes, server limit %u\r\n", record->smtp->send->messageSizeEstimate,
                record->smtp->serverSizeLimit);
      return kErrMessageTooBig;
    }
  }
  return 0;
}

// What both operations do once the source is noted.
int32_t sendPrepared(ChannelRecord* record, const char* sender, const char* recipients) {
  if (connectionUsable(record->connection, 0) == 0) {
    // As for a composed message: a connection with an error condition is
    // over and closed now.
    if (socketIsOpen(record->connection) && readinessTest(record->connection, plat::Readiness::error)) {
      closeSocketLogged(record->connection, record->log);
    }
    return kErrNotConnected;
  }
  resetByteCounts(record);
  record->smtp->send->contentIdCount = 0;
  record->smtp->send->nextAttach = nullptr;
  record->smtp->send->separatorAt = nullptr;
  record->smtp->send->ccList = nullptr;
  record->smtp->send->bccList = nullptr;
  record->smtp->send->subjectText = nullptr;
  record->smtp->send->attachList = nullptr;
  closeSendFile(record);
  int32_t rc = takeSender(record, sender);
  if (rc == 0) rc = takeRecipients(record, recipients);
  if (rc == 0) rc = planPrepared(record);
  if (rc < 0) {
    record->smtp->send->preparedSource = kPreparedNone;
    return rc;
  }
  record->step.awaitWritable = 1;
  stageSequence(record, kStateMailFrom);
  if (record->step.autoCall == 0) return 0;
  logText(record, "*** Sending...\r\n");
  return runDriver(record->channelNumber);
}

// The checks every operation begins with.
int32_t openOperation(int32_t chan, ChannelRecord** record, const char* logLine) {
  int32_t rc = checkChannel(chan, record);
  if (rc != 0) return rc;
  if ((*record)->protocol != kProtocolSmtp) return kErrSmtpOnly;
  logText(*record, logLine);
  if ((rc = openSmtpSend(*record)) < 0) return rc;
  (*record)->smtp->send->preparedSource = kPreparedNone;
  return 0;
}

// A failed or abandoned send leaves no ready-made message behind for the
// next composed one.
void forgetPrepared(ChannelRecord* record) {
  if (record->smtp != nullptr && record->smtp->send != nullptr) record->smtp->send->preparedSource = kPreparedNone;
}
const FailHookRegistration failHook(forgetPrepared);

}  // namespace

int32_t nextPreparedPiece(ChannelRecord* record, const char** bytes) {
  if (record->smtp->send->preparedSource == kPreparedMemory) {
    *bytes = record->smtp->send->preparedData + record->smtp->send->preparedOffset;
    return record->smtp->send->preparedLength - record->smtp->send->preparedOffset;
  }
  if (bodyUnread(record) == 0) {
    refillSendBuffer(record, kBodyBufferCap);
    if (record->smtp->send->bodyEnded == kBodyReadFailed) return -1;
  }
  *bytes = record->texts.bodyBuffer + record->smtp->send->bodyPos;
  return bodyUnread(record);
}

void takePrepared(ChannelRecord* record, int32_t count) {
  if (record->smtp->send->preparedSource == kPreparedMemory) {
    record->smtp->send->preparedOffset += count;
  } else {
    record->smtp->send->bodyPos += count;
  }
}

}  // namespace qel

using namespace qel;

extern "C" QEL_API int32_t QEL_CALL qelSendPreparedFile(int32_t chan, const char* sender, const char* recipients,
                                                        const char* path) {
  ChannelRecord* record = nullptr;
  int32_t rc = openOperation(chan, &record, "*** qelSendPreparedFile\r\n");
  if (rc != 0) return rc;
  if (isEmpty(path)) return kErrNoPreparedMessage;
  // The path is kept for the state that opens the file.
  char* copy = allocAndCopy(record->channelNumber, kSlotMessage, path);
  if (copy == nullptr) return kErrNoMemory;
  record->smtp->send->messageText = copy;
  record->smtp->send->preparedSource = kPreparedFile;
  return sendPrepared(record, sender, recipients);
}

extern "C" QEL_API int32_t QEL_CALL qelSendPreparedMemory(int32_t chan, const char* sender, const char* recipients,
                                                          const char* data, int32_t length) {
  ChannelRecord* record = nullptr;
  int32_t rc = openOperation(chan, &record, "*** qelSendPreparedMemory\r\n");
  if (rc != 0) return rc;
  if (length < 0 || (data == nullptr && length > 0)) return kErrNoPreparedMessage;
  record->smtp->send->messageText = kNoMessage;
  record->smtp->send->preparedData = data != nullptr ? data : kNoMessage;
  record->smtp->send->preparedLength = length;
  record->smtp->send->preparedSource = kPreparedMemory;
  return sendPrepared(record, sender, recipients);
}

#include "smtp/smtp_send.h"

#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/registrations.h"
#include "platform/platform.h"

namespace qel {
namespace {

// The size figures behind -141 (the message is larger than the server takes).
int32_t messageSizes(const ChannelRecord* record, char* out, int32_t room) {
  uint32_t estimate = record->smtpSend != nullptr ? record->smtpSend->messageSizeEstimate : 0;
  return plat::formatText(out, room, " (message %u bytes, server limit %u)", estimate, record->serverSizeLimit);
}

// At close the tracked copies go (qelClose frees their blocks); the plan's
// figures stay for qelErrorText, and the block for the next send.
void forgetTexts(ChannelRecord* record) {
  SmtpSend* send = record->smtpSend;
  if (send == nullptr) return;
  send->toList = send->ccList = send->bccList = nullptr;
  send->subjectText = send->attachList = send->listCursor = nullptr;
  send->nextAttach = send->separatorAt = nullptr;
  send->messageText = nullptr;
}

const CloseHookRegistration closeHook(forgetTexts);
const ReleaseHookRegistration releaseHook(closeSmtpSend);
const ErrorDetailRegistration sizesDetail(kErrMessageTooBig, messageSizes);

}  // namespace

int32_t openSmtpSend(ChannelRecord* record) {
  if (record->smtpSend != nullptr) return 0;
  record->smtpSend = static_cast<SmtpSend*>(plat::memoryAllocate(sizeof(SmtpSend)));
  return record->smtpSend != nullptr ? 0 : kErrNoMemory;
}

void closeSmtpSend(ChannelRecord* record) {
  plat::memoryFree(record->smtpSend);
  record->smtpSend = nullptr;
}

}  // namespace qel

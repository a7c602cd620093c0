#include "smtp/smtp_send.h"

#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/registrations.h"
#include "platform/platform.h"

namespace qel {
namespace {

// The size figures behind -141 (the message is larger than the server takes).
int32_t messageSizes(const ChannelRecord* record, char* out, int32_t room) {
  const SmtpSession& session = smtpOf(record);
  uint32_t estimate = session.send != nullptr ? session.send->messageSizeEstimate : 0;
  return plat::formatText(out, room, " (message %u bytes, server limit %u)", estimate, session.serverSizeLimit);
}

// At close the tracked copies go (qelClose frees their blocks); the plan's
// figures stay for qelErrorText, and the block for the next send.
void forgetTexts(ChannelRecord* record) {
  SmtpSend* send = record->smtp != nullptr ? record->smtp->send : nullptr;
  if (send == nullptr) return;
  send->toList = send->ccList = send->bccList = nullptr;
  send->subjectText = send->attachList = send->listCursor = nullptr;
  send->nextAttach = send->separatorAt = nullptr;
  send->messageText = nullptr;
}

const CloseHookRegistration closeHook(forgetTexts);
const ErrorDetailRegistration sizesDetail(kErrMessageTooBig, messageSizes);

}  // namespace

int32_t openSmtpSend(ChannelRecord* record) {
  if (record->smtp->send != nullptr) return 0;
  record->smtp->send = static_cast<SmtpSend*>(plat::memoryAllocate(sizeof(SmtpSend)));
  return record->smtp->send != nullptr ? 0 : kErrNoMemory;
}

void closeSmtpSend(ChannelRecord* record) {
  if (record->smtp == nullptr) return;
  plat::memoryFree(record->smtp->send);
  record->smtp->send = nullptr;
}

}  // namespace qel

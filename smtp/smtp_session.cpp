// The SMTP session's block: made at the first SMTP setting or connect,
// freed with the send it holds at release.
#include "smtp/smtp_session.h"

#include "frame/errors.h"
#include "frame/memory.h"
#include "frame/registrations.h"
#include "platform/platform.h"
#include "qel32.h"
#include "smtp/smtp_send.h"

namespace qel {
namespace {

void setDefaults(SmtpSession* session) {
  session->smtpPort = kDefaultSmtpPort;
  session->imageTypes = kDefaultImageTypes;
}

SmtpSession makeDefaults() {
  SmtpSession session{};
  setDefaults(&session);
  return session;
}

void releaseSession(ChannelRecord* record) {
  if (record->smtp == nullptr) return;
  closeSmtpSend(record);
  plat::memoryFree(record->smtp);
  record->smtp = nullptr;
}
const ReleaseHookRegistration releaseHook(releaseSession);

const DebugTextRegistration lastRecipientText(QEL_DEBUG_LAST_RECIPIENT,
                                              [](const ChannelRecord* record) { return smtpOf(record).lastRecipient; });

}  // namespace

int32_t openSmtpSession(ChannelRecord* record) {
  if (record->smtp != nullptr) return 0;
  record->smtp = static_cast<SmtpSession*>(plat::memoryAllocate(sizeof(SmtpSession)));
  if (record->smtp == nullptr) return kErrNoMemory;
  setDefaults(record->smtp);
  return 0;
}

const SmtpSession& smtpOf(const ChannelRecord* record) {
  static const SmtpSession kDefaults = makeDefaults();
  return record->smtp != nullptr ? *record->smtp : kDefaults;
}

char* extraHeader(const ChannelRecord* record) {
  return blockPointer(record->channelNumber * kSlotsPerChannel + kSlotExtraHeader);
}

}  // namespace qel

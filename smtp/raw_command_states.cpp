// The raw command of qelCommand on SMTP channels: states 298 and 299.
#include <iterator>

#include "driver/driver.h"
#include "transport/replies.h"

namespace qel {
namespace {

constexpr int32_t kRawCommandState = 298;
constexpr int32_t kRawReplyState = 299;

int32_t readReply(ChannelRecord* record, uint32_t) { return readRawReply(record, readSmtpReply); }

constexpr StateEntry kRawCommandStates[] = {
    {kRawCommandState, sendRawCommand},
    {kRawReplyState, readReply},
};
const StateRegistration registered(kRawCommandStates, std::size(kRawCommandStates));
const RawCommandRegistration rawCommand(kProtocolSmtp, kRawCommandState);

}  // namespace
}  // namespace qel

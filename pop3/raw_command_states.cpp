// The raw command of qelCommand on POP3 channels: states 398 and 399.
#include <iterator>

#include "driver/driver.h"
#include "transport/replies.h"

namespace qel {
namespace {

constexpr int32_t kRawCommandState = 398;
constexpr int32_t kRawReplyState = 399;

int32_t readReply(ChannelRecord* record, uint32_t) { return readRawReply(record, readPop3Reply); }

constexpr StateEntry kRawCommandStates[] = {
    {kRawCommandState, sendRawCommand},
    {kRawReplyState, readReply},
};
const StateRegistration registered(kRawCommandStates, std::size(kRawCommandStates));
const RawCommandRegistration rawCommand(kProtocolPop3, kRawCommandState);

}  // namespace
}  // namespace qel

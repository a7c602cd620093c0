// The step function's frame: the state table that protocol folders fill,
// failure wrap-up, and the loop that runs an operation to completion.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/channel.h"

namespace qel {

// A state handler runs one step. It returns kStateContinue after setting
// nextState (and, as needed, dueTime, deadline, awaitWritable), or a result
// for qelDriver to return at once (usually failState's).
using StateHandler = int32_t (*)(ChannelRecord* record, uint32_t now);
constexpr int32_t kStateContinue = INT32_MIN;

// Result of qelDriver while nothing could run yet.
constexpr int32_t kWaiting = 9999;

struct StateEntry {
  int32_t state;
  StateHandler handler;
};

// Highest state number a table may use.
constexpr int32_t kMaxStateNumber = 999;

// Each protocol folder registers its table once, from a static object:
//   const StateRegistration registered(kSmtpStates, std::size(kSmtpStates));
class StateRegistration {
 public:
  StateRegistration(const StateEntry* entries, std::size_t count);
};

// The handler of a state, or null for an unlisted state.
StateHandler findStateHandler(int32_t state);

// Work that qelClose does on every channel before it sends QUIT (closing
// the files of a download). Registered like the state tables.
using CloseHook = void (*)(ChannelRecord* record);
class CloseHookRegistration {
 public:
  explicit CloseHookRegistration(CloseHook hook);
};
void runCloseHooks(ChannelRecord* record);

// Work that every failed operation, and qelAbort, does at once: the files
// the operation had open are closed, and none is recorded as complete.
// Registered like the close hooks, with the same hook type.
class FailHookRegistration {
 public:
  explicit FailHookRegistration(CloseHook hook);
};
void runFailHooks(ChannelRecord* record);

// The raw command of qelCommand. Each protocol registers, from a static
// object, the two states it runs on its channels: firstState sends the text
// that qelCommand stored, firstState + 1 reads the reply whole with
// readReply (a reader of transport/replies.h) once it has begun to arrive,
// and ends the sequence.
using RawReplyReader = int32_t (*)(ChannelRecord* record);
class RawCommandRegistration {
 public:
  RawCommandRegistration(char protocol, int32_t firstState, RawReplyReader readReply);
};

// The registered first state of the raw command for a protocol, or 0.
int32_t rawCommandState(char protocol);

// Ends the running sequence with an error: logs it, resets the channel to
// idle, closes its socket and the operation's files, and returns code. A
// code of 0 or above is only logged.
int32_t failState(ChannelRecord* record, int32_t socketCode, int32_t code);

// Ends the running sequence with code after the server refused a command:
// logged like failState, but the connection stays open, because the
// exchange is still in step and the next operation can use it.
int32_t refuseState(ChannelRecord* record, int32_t code);

// Calls qelDriver until it returns 0 or a negative code, and returns that.
int32_t runDriver(int32_t channel);

// Common start of every operation's sequence: no pause or deadline left
// from an earlier sequence applies to the new one.
void stageSequence(ChannelRecord* record, int32_t firstState);

// State 107, the TLS handshake of both protocols.
constexpr int32_t kStateTlsHandshake = 107;

// Hands the channel to the TLS handshake, which then goes on at state
// `then`; the handshake must end within timeoutMs. Returns kStateContinue,
// or failState's result when clear bytes already wait behind the go-ahead.
int32_t startTlsHandshake(ChannelRecord* record, uint32_t now, int32_t then, int32_t timeoutMs);

// STARTTLS/STLS not offered or refused, for the reason why: in the optional
// mode the channel goes on in clear at clearState (logged, and
// tlsDeclined set); otherwise it fails with -110 and the reason.
int32_t continueWithoutTls(ChannelRecord* record, const char* why, int32_t clearState);

// The same for a refusal, the reason being the first line of the reply.
int32_t tlsRefusedByReply(ChannelRecord* record, int32_t clearState);

// Formats a command into commandLine and sends it with CR LF. Returns
// kStateContinue, or failState(send result, -52) when it cannot be sent.
int32_t sendCommand(ChannelRecord* record, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Timing sets for the step after a command ("now" is the tick count the
// current driver call read when it began). replyWait: the next step waits
// minimumWait, the reply may take replyTimeout. loginReplyWait: the same
// with the login pause on top.
void replyWait(ChannelRecord* record, uint32_t now);
void loginReplyWait(ChannelRecord* record, uint32_t now);

// How the step after a send is timed (the reply waits above and the
// protocols' own), or nullptr for no timing of its own.
using StepTiming = void (*)(ChannelRecord* record, uint32_t now);

// The end that most sending states share: a failed send's result (the
// failure already wrapped up) as it is; otherwise the timing of the next
// step and on to next (kStateContinue).
int32_t sentThen(ChannelRecord* record, int32_t sendResult, int32_t next, StepTiming timing = nullptr,
                 uint32_t now = 0);

}  // namespace qel

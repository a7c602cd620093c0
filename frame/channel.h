// The channel table and the channel record: everything a mail connection
// needs between two calls of the step function lives in one record per
// channel, allocated at attach and freed at release.
#pragma once

#include <cstdint>

#include "frame/log.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "platform/tls.h"

namespace qel {

struct Connection;
struct DecoderState;
struct LoginState;
struct Pop3Session;
struct SmtpSession;

// Largest channel count, and the number of tracked block slots per channel.
constexpr int32_t kMaxChannels = 128;
constexpr int32_t kSlotsPerChannel = 9;

// Capacities (characters) of the record's text fields.
constexpr int32_t kCommandLineCap = 2048;
constexpr int32_t kReplyTextCap = 2048;
constexpr int32_t kBodyBufferCap = 2048;
constexpr int32_t kLastReplyCap = 128;
constexpr int32_t kServerNameCap = 128;
constexpr int32_t kPathCap = 128;
constexpr int32_t kCommandTextCap = 32;
constexpr int32_t kScratchTextCap = 130;
constexpr int32_t kCaFileCap = 260;
constexpr int32_t kTlsReasonCap = 200;

// The reply readers use the first kReplyRoom bytes of replyText.
constexpr int32_t kReplyRoom = 1024;
// The receive ring: a socket read takes what it can hold (large reads, few
// calls); the readers hand out at most kReceiveChunk bytes at a time.
constexpr int32_t kRingSize = 32768;
constexpr int32_t kReceiveChunk = 1023;
// Output buffer of the message data: written out in writes of this size.
constexpr int32_t kOutputBufferSize = 65536;

// replyText and bodyBuffer form one area: on a POP3 channel, where the body
// reader is idle, a header line joined from its continuation lines may run
// on from replyText into bodyBuffer.
constexpr int32_t kReplyAreaSize = fieldSize(kReplyTextCap) + fieldSize(kBodyBufferCap);

// Protocol marks of a channel.
constexpr char kProtocolNone = 0;
constexpr char kProtocolSmtp = 'S';
constexpr char kProtocolPop3 = 'P';

// TLS modes of a channel (QEL_TLS_* in qel32.h).
constexpr uint8_t kTlsOff = 0;
constexpr uint8_t kTlsStartRequired = 1;
constexpr uint8_t kTlsStartOptional = 2;
constexpr uint8_t kTlsImplicit = 3;
// The connection settings of a channel: TLS (settings 110 and 111, the CA file, with why
// TLS failed, for qelErrorText) and prompt acknowledgements (setting 104).
struct TlsSettings {
  uint8_t mode;       // kTls*
  uint8_t verify;     // check the server's certificate and name
  uint8_t promptAck;  // acknowledge received data before waiting for more
  char caFile[fieldSize(kCaFileCap)];
  char reason[fieldSize(kTlsReasonCap)];
};

// Values of ChannelRecord::stepWaitsOn.
constexpr uint8_t kStepWaitsForData = 1;
constexpr uint8_t kStepWaitsForWritable = 2;

// Where a channel's steps stand: the states (the one that ran last, the one
// running, the next, and where a connect or a TLS handshake goes on to),
// the steps taken, when the next step is due and the deadline of the one
// waiting, and what it waits for.
struct StepState {
  int32_t prevState;
  int32_t thisState;
  int32_t nextState;
  int32_t afterConnectState;
  int32_t afterHandshakeState;
  int32_t stateCount;
  uint32_t dueTime;
  uint32_t deadline;
  // Operations drive themselves (setting 9); connects do not block (18).
  uint32_t autoCall;
  uint32_t nonBlockingConnect;
  // The socket failure the channel met last (negated), for the failure
  // wrap-up.
  int32_t lastSocketCode;
  // The step goes on only when a line can be written.
  uint8_t awaitWritable;
  // What the last step found missing when it ran again without progress:
  // kStepWaitsForData or kStepWaitsForWritable, 0 when nothing. Cleared at
  // the start of every driver call; the waits of blocking operations and
  // of qelWait sleep on it.
  uint8_t stepWaitsOn;
};

// The command going out and the reply coming in: the command line, the
// reply's text (replyText and bodyBuffer form one area, see above) and
// code, the last reply for the error texts, and two small texts the states
// build commands in.
struct ChannelTexts {
  char commandLine[fieldSize(kCommandLineCap)];
  char replyText[kReplyAreaSize];  // replyText, then bodyBuffer
  char* bodyBuffer;                // = replyText + fieldSize(kReplyTextCap)
  int32_t replyCode;
  char lastReply[fieldSize(kLastReplyCap)];
  char commandText[fieldSize(kCommandTextCap)];
  char scratchText[fieldSize(kScratchTextCap)];
};

// The byte counters (qelStatistics 10, 11, 13 and 14).
struct ByteCounts {
  int32_t messageBytesRead;
  int32_t attachBytesRead;
  int32_t messageBytesSent;
  int32_t attachBytesSent;
};

// The record of one channel. Each protocol and each lower layer keeps what
// it owns in a struct of its own folder, reached by a pointer that is null
// until its first setting or operation; the record itself holds only what
// every channel needs.
struct ChannelRecord {
  int32_t channelNumber;
  // kProtocolNone, kProtocolSmtp or kProtocolPop3: what the channel is
  // connected for.
  char protocol;
  // The server name given to the connect.
  char serverName[fieldSize(kServerNameCap)];
  StepState step;
  ChannelTexts texts;
  ByteCounts counts;
  // The channel's log (frame/log.h).
  ChannelLog log;
  // The TLS settings.
  TlsSettings tls;
  // The file an SMTP send reads (the message text or an attachment).
  int32_t fileHandle;

  // The connection (transport/connection_state.h): taken when the channel
  // first connects, kept until release.
  Connection* connection;
  // The SMTP session (smtp/smtp_session.h) and the login (sasl/login_state.h).
  SmtpSession* smtp;
  LoginState* login;
  // The POP3 side of the channel (pop3/session.h) and the state of the
  // incoming decoders and download files (mime/decoder_state.h).
  Pop3Session* pop3;
  DecoderState* decoder;
};

// One entry of the channel table.
struct ChannelSlot {
  ChannelRecord* record;
  plat::SocketHandle socket;
  // IPv4 socket address in the Windows Sockets layout: family, port (network
  // order), address (network order), eight zero bytes.
  uint8_t remoteAddress[16];
};

// Number of attached channels; 0 while the library is not attached.
extern uint16_t channelCount;
extern ChannelSlot channelTable[kMaxChannels];

// The MIME boundary shared by all channels, built at attach.
constexpr int32_t kBoundaryTextSize = 27;
extern char boundaryText[kBoundaryTextSize];

// The channel check that every per-channel export begins with: -71 before
// attach, -73 when the low 16 bits of chan are not below the channel count,
// else 0 with *record set.
int32_t checkChannel(int32_t chan, ChannelRecord** record);

// The record of a channel for internal use (tests, hooks); null when the
// channel check fails.
ChannelRecord* channelRecord(int32_t chan);

// Adds to a byte counter; counters wrap instead of overflowing on transfers
// beyond 2 GB.
inline void addCount(int32_t& counter, int32_t n) {
  counter = static_cast<int32_t>(static_cast<uint32_t>(counter) + static_cast<uint32_t>(n));
}

// The byte counters start again at 0: those of what was read (qelStatistics
// 10 and 11), and for a send those of what was sent as well (13 and 14).
inline void resetReadCounts(ChannelRecord* record) {
  record->counts.messageBytesRead = 0;
  record->counts.attachBytesRead = 0;
}
inline void resetByteCounts(ChannelRecord* record) {
  resetReadCounts(record);
  record->counts.messageBytesSent = 0;
  record->counts.attachBytesSent = 0;
}

// Initial values of a fresh record (all other bytes zero).
void initialiseRecord(ChannelRecord* record, int32_t channel);

}  // namespace qel

// The channel table and the channel record: everything a mail connection
// needs between two calls of the step function lives in one record per
// channel, allocated at attach and freed at release.
#pragma once

#include <cstdint>

#include "codec/decode_carry.h"
#include "frame/log.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "platform/tls.h"

namespace qel {

struct Connection;
struct LineSource;
struct LoginState;
struct SmtpSession;

// Largest channel count, and the number of tracked block slots per channel.
constexpr int32_t kMaxChannels = 128;
constexpr int32_t kSlotsPerChannel = 9;

// Capacities (characters) of the record's text fields.
constexpr int32_t kCommandLineCap = 2048;
constexpr int32_t kReplyTextCap = 2048;
constexpr int32_t kBodyBufferCap = 2048;
constexpr int32_t kBoundaryCap = 128;
constexpr int32_t kLastReplyCap = 128;
constexpr int32_t kServerNameCap = 128;
constexpr int32_t kPathCap = 128;
constexpr int32_t kSavedNamesCap = 1024;
constexpr int32_t kCommandTextCap = 32;
constexpr int32_t kScratchTextCap = 130;
constexpr int32_t kCaFileCap = 260;
// The file that a decoded download copies the original message into.
constexpr int32_t kOriginalPathCap = 260;
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

struct ChannelRecord {
  // Identity
  int32_t channelNumber;

  // The channel's log (frame/log.h).
  ChannelLog log;

  // Text buffers
  char commandLine[fieldSize(kCommandLineCap)];
  char replyText[kReplyAreaSize];  // replyText, then bodyBuffer (see above)
  char* bodyBuffer;                // = replyText + fieldSize(kReplyTextCap)
  char mimeBoundary[fieldSize(kBoundaryCap)];
  char altBoundary[fieldSize(kBoundaryCap)];
  char lastReply[fieldSize(kLastReplyCap)];
  char serverName[fieldSize(kServerNameCap)];
  char mailFileName[fieldSize(kPathCap)];
  char mailDirectory[fieldSize(kPathCap)];
  char attachDirectory[fieldSize(kPathCap)];
  char attachName[fieldSize(kPathCap)];
  char mailPath[fieldSize(kPathCap)];
  char attachPath[fieldSize(kPathCap)];
  char savedNames[fieldSize(kSavedNamesCap)];
  char commandText[fieldSize(kCommandTextCap)];
  char scratchText[fieldSize(kScratchTextCap)];


  // The connection (transport/connection_state.h): taken when the channel
  // first connects, kept until release; null before.
  Connection* connection;

  // Timing
  uint32_t dueTime;
  uint32_t deadline;

  // Counters
  int32_t stateCount;
  int32_t messageBytesRead;
  int32_t attachBytesRead;
  int32_t messageBytesSent;
  int32_t attachBytesSent;

  // Ports
  uint16_t pop3Port;

  // Driver and protocol state
  int32_t replyCode;
  int32_t fileHandle;
  int32_t prevState;
  int32_t thisState;
  int32_t nextState;
  int32_t afterConnectState;
  int32_t lastSocketCode;
  int32_t messageCount;
  char protocol;
  int32_t messageNumber;
  int32_t messageSize;
  int32_t topLines;
  int32_t mailFile;
  // The copy of the original message a decoded download writes beside its
  // files (setting 185; an empty path: none): its handle while open, -1
  // once a write to it failed.
  int32_t originalFile;
  char originalPath[fieldSize(kOriginalPathCap)];
  char* lineBuffer;
  int32_t lineBufferSize;
  int32_t lineBufferUsed;
  int32_t decodeState;
  int32_t boundaryLength;
  int32_t boundaryCount;
  int32_t partEncoding;
  int32_t altBoundaryLength;
  int32_t savedCount;
  int32_t savedSerial;
  // A POP3 multi-line answer: where the next piece read stands (status
  // line, line start, inside a line), and in a raw download how much of the
  // closing CR LF "." CR LF has arrived.
  int32_t answerPosition;
  int32_t rawEndMatched;
  // A raw download that keeps only the message (setting 103): the switch,
  // where the last block left off (a RawStage of pop3/raw_message.h) and
  // whether the byte before that point was a CR.
  uint8_t rawMessageOnly;
  uint8_t rawStage;
  uint8_t rawAfterCr;
  uint8_t awaitWritable;
  // What the last step found missing when it ran again without progress:
  // kStepWaitsForData or kStepWaitsForWritable, 0 when nothing. Cleared at
  // the start of every driver call; the waits of blocking operations and
  // of qelWait sleep on it.
  uint8_t stepWaitsOn;
  uint8_t decodeInline;

  // Settings and small state
  uint32_t autoCall;
  uint32_t numberNames;
  // An attachment never replaces a file already there (setting 170): a
  // taken name gets a numbered one.
  uint8_t keepExistingFiles;
  uint8_t headerGapWritten;
  uint32_t saveUnnamed;
  uint32_t nonBlockingConnect;
  uint8_t useApop;
  uint8_t embeddedMessage;
  // The header of the current part named a file (attachName); the file is
  // created once, when the header ends, so one part makes one file.
  uint8_t partNamed;
  // The attachment names the running download has taken (a plain block of
  // the platform's memory, owned by the download; null when none).
  void* takenNames;
  // The write buffers of the download's files (frame/file_buffers.h; null
  // when none).
  void* fileBuffers;

  // Incoming decoder: a line longer than one read arrives in pieces. An
  // encoded group or escape cut by the end of a piece waits in decodeCarry
  // for the rest; lineCut marks the current text as such a piece (its line
  // feed has not come yet), and cutLineResult says where the rest of the cut
  // line goes (0: the last line was whole).
  DecodeCarry decodeCarry;
  uint8_t lineCut;
  uint8_t cutLineResult;
  // The bytes of the current line in replyText: a line may hold NUL bytes,
  // so its length is never taken from the text.
  int32_t lineLength;
  // Tick count by which the current line, with the lines the decoder joins
  // to it, must have come: one bound for the whole line.
  uint32_t lineDeadline;
  // Where the decoder takes further lines from (mime/line_source.h); null:
  // the channel's own answer reader.
  const LineSource* lineSource;
  // Whether the last top-header line after MIME-Version went into the
  // message file: its folded continuation lines follow it.
  uint8_t headerLinePassed;

  // Full MIME mode (setting 130): the switch, the state of the running walk
  // (mime/mime_walker; null when none) and whether the names of the files
  // it saves are UTF-8.
  uint8_t fullMime;
  uint8_t utf8Names;
  void* mimeWalk;
  // Message lines one call of state 312 handles when they have already
  // arrived (setting 131; 0 counts as 1).
  uint16_t stepLines;

  // TLS: the settings, and the state a handshake goes on to.
  int32_t afterHandshakeState;
  TlsSettings tls;

  // The SMTP session: sender texts, SMTP settings, the server's offer and
  // the send in progress (smtp/smtp_session.h; null until an SMTP setting
  // or connection needs it).
  SmtpSession* smtp;

  // The login: its settings, credentials, what the server offered and the
  // running exchange (sasl/login_state.h; null until a login setting or a
  // connection needs it).
  LoginState* login;

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
  record->messageBytesRead = 0;
  record->attachBytesRead = 0;
}
inline void resetByteCounts(ChannelRecord* record) {
  resetReadCounts(record);
  record->messageBytesSent = 0;
  record->attachBytesSent = 0;
}

// Initial values of a fresh record (all other bytes zero).
void initialiseRecord(ChannelRecord* record, int32_t channel);

}  // namespace qel

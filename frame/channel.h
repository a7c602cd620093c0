// The channel table and the channel record: everything a mail connection
// needs between two calls of the step function lives in one record per
// channel, allocated at attach and freed at release.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "platform/tls.h"

namespace qel {

struct DecoderState;
struct Pop3Session;
struct SaslBuffers;
struct SmtpSend;

// Largest channel count, and the number of tracked block slots per channel.
constexpr int32_t kMaxChannels = 128;
constexpr int32_t kSlotsPerChannel = 9;
// Addresses of one server name that a connection tries.
constexpr int32_t kMaxServerAddresses = 8;

// Every text field has room for its capacity, the terminator the copy rule
// writes after at most capacity characters, and one spare byte.
constexpr int32_t kTextSlack = 2;
constexpr int32_t fieldSize(int32_t capacity) { return capacity + kTextSlack; }

// Capacities (characters) of the record's text fields.
constexpr int32_t kLogTextCap = 2048;
constexpr int32_t kCommandLineCap = 2048;
constexpr int32_t kReplyTextCap = 2048;
constexpr int32_t kBodyBufferCap = 2048;
constexpr int32_t kLastReplyCap = 128;
constexpr int32_t kServerNameCap = 128;
constexpr int32_t kAddressCap = 128;
constexpr int32_t kCredentialCap = 64;
constexpr int32_t kPathCap = 128;
constexpr int32_t kCommandTextCap = 32;
constexpr int32_t kLastRecipientCap = 32;
constexpr int32_t kScratchTextCap = 130;
constexpr int32_t kCharsetCap = 40;
constexpr int32_t kCaFileCap = 260;
constexpr int32_t kTlsReasonCap = 200;
constexpr int32_t kLoginUserCap = 255;
constexpr int32_t kLoginPasswordCap = 255;
constexpr int32_t kBearerTokenCap = 4096;
constexpr int32_t kLoginReasonCap = 200;
constexpr int32_t kOfferTextCap = 120;
// The name given with EHLO/HELO: a domain (253) or an address literal.
constexpr int32_t kHelloNameCap = 255;
// An envelope address with its brackets (RFC 5321 allows 256 for a path).
constexpr int32_t kEnvelopeAddressCap = 256;
// A SASL response before encoding: XOAUTH2's "user=...^Aauth=Bearer ...^A^A"
// with the longest user name and token is the largest.
constexpr int32_t kSaslTextCap = 4608;
// SCRAM's client-first-message-bare: the user name with every character
// escaped, and the nonce.
constexpr int32_t kScramFirstCap = 3 * kLoginUserCap + 64;
constexpr int32_t kScramKeyBytes = 32;

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
// Values of ChannelRecord::stepWaitsOn.
constexpr uint8_t kStepWaitsForData = 1;
constexpr uint8_t kStepWaitsForWritable = 2;

struct ChannelRecord {
  // Identity
  int32_t channelNumber;

  // Text buffers
  char logText[fieldSize(kLogTextCap)];
  char commandLine[fieldSize(kCommandLineCap)];
  char replyText[kReplyAreaSize];  // replyText, then bodyBuffer (see above)
  char* bodyBuffer;                // = replyText + fieldSize(kReplyTextCap)
  char lastReply[fieldSize(kLastReplyCap)];
  char serverName[fieldSize(kServerNameCap)];
  char fromAddress[fieldSize(kAddressCap)];
  char replyToAddress[fieldSize(kAddressCap)];
  char userName[fieldSize(kCredentialCap)];
  char pop3Password[fieldSize(kCredentialCap)];
  char commandText[fieldSize(kCommandTextCap)];
  char lastRecipient[fieldSize(kLastRecipientCap)];
  char password[fieldSize(kCredentialCap)];
  char scratchText[fieldSize(kScratchTextCap)];

  // The extra header lines (a tracked copy), and the SMTP send in progress
  // (smtp/smtp_send.h; null when none).
  char* extraHeader;
  SmtpSend* smtpSend;
  // The POP3 side of the channel (pop3/session.h) and the state of the
  // incoming decoders and download files (mime/decoder_state.h); each null
  // until its first setting or operation.
  Pop3Session* pop3;
  DecoderState* decoder;

  // Network and timing
  uint32_t serverAddress;  // host byte order
  plat::SocketHandle socket;
  bool socketOpen;  // false once the socket is closed: the number may be reused
  // Every address of serverName, tried in order by the connect states within
  // one connectTimeout; the one being tried, and when its attempt gives way
  // to the next address.
  plat::NetAddress serverAddresses[kMaxServerAddresses];
  int32_t serverAddressCount;
  int32_t serverAddressIndex;
  uint32_t attemptDeadline;
  // The socket error behind the last failed connection attempt (negated),
  // 0 when there was none.
  int32_t connectError;
  uint32_t dueTime;
  uint32_t deadline;

  // Counters
  int32_t stateCount;
  int32_t messageBytesRead;
  int32_t attachBytesRead;
  int32_t messageBytesSent;
  int32_t attachBytesSent;

  // Ports
  uint16_t remotePort;
  uint16_t smtpPort;

  // Driver and protocol state
  int32_t replyCode;
  int32_t fileHandle;
  int32_t prevState;
  int32_t thisState;
  int32_t nextState;
  int32_t afterConnectState;
  int32_t lastSocketCode;
  int32_t logFile;
  char protocol;
  int32_t verifyResult;
  const char* currentAddress;
  uint8_t awaitWritable;
  // What the last step found missing when it ran again without progress:
  // kStepWaitsForData or kStepWaitsForWritable, 0 when nothing. Cleared at
  // the start of every driver call; the waits of blocking operations and
  // of qelWait sleep on it.
  uint8_t stepWaitsOn;

  // Settings and small state
  uint32_t autoCall;
  uint32_t bodyType;
  char nextReplyByte;
  uint8_t imageTypes;
  uint32_t nonBlockingConnect;
  uint8_t useEsmtp;
  // Mail in any language and SMTP extensions (settings 140): the charset
  // of the caller's texts ("" = off), the extensions switch and what the
  // last EHLO reply offered.
  char charsetName[fieldSize(kCharsetCap)];
  uint8_t useExtensions;
  uint8_t offersSize;
  uint8_t offersEightBitMime;
  uint8_t offersSmtpUtf8;
  uint32_t serverSizeLimit;  // 0: no limit announced
  // Standard header (setting 150): a Date line with a two-digit hour and a
  // Message-ID on every message.
  uint8_t standardHeader;
  // TLS. While tlsSession is set, everything sent and received goes through
  // it. tlsDeclined: the server did not offer STARTTLS/STLS and the mode
  // allows going on in clear. tlsReason: why TLS failed (for qelErrorText).
  plat::TlsSession* tlsSession;
  uint8_t tlsMode;
  uint8_t tlsVerify;
  uint8_t tlsDeclined;
  int32_t afterHandshakeState;
  char caFile[fieldSize(kCaFileCap)];
  // The name EHLO/HELO gives (setting 180); empty: the From address's domain.
  char helloName[fieldSize(kHelloNameCap)];
  char tlsReason[fieldSize(kTlsReasonCap)];

  // Negotiated login (settings 120): the switch, the allowed mechanisms
  // (QEL_AUTH_* bits, 0 for all), whether credentials may go in clear, the
  // long credentials, what the server offered, and the running SASL
  // exchange (sasl/sasl.h).
  uint8_t negotiateLogin;
  uint8_t loginClearText;
  uint32_t mechanismMask;
  char loginUser[fieldSize(kLoginUserCap)];
  char loginPassword[fieldSize(kLoginPasswordCap)];
  uint8_t loginSettingsUsedBySmtp;  // an SMTP login took them since they were set
  // The token setting, taken when one is set (null: none; sasl/sasl.h's
  // bearerToken reads it).
  char* bearerToken;
  uint32_t mechanismsOffered;
  char offerText[fieldSize(kOfferTextCap)];  // every name offered, known or not
  uint8_t offersUserPass;  // POP3: CAPA listed USER
  uint8_t tlsOffered;      // the offer named STARTTLS (EHLO) or STLS (CAPA)
  uint32_t saslMechanism;
  int32_t saslRound;
  uint8_t serverProven;
  // The messages of a running exchange (sasl/sasl.h), taken when an
  // exchange starts and given back when it ends; null between exchanges.
  SaslBuffers* saslBuffers;
  int32_t saslLength;
  char loginReason[fieldSize(kLoginReasonCap)];

  // Output buffer (transport/output.h): on while message data is sent; its
  // kOutputBufferSize bytes are taken from the platform's memory when the
  // data starts and given back when it ends (null otherwise).
  uint8_t outputBatched;
  int32_t outputUsed;
  char* outputBuffer;

  // Receive buffer
  int32_t ringRead;
  int32_t ringWrite;
  // The last data test of the plain socket found data and a writable
  // socket, and nothing has been read since: the receive that follows
  // needs no test of its own.
  bool receiveReadyNoted;
  // Prompt acknowledgements (setting 104): the switch, whether data has
  // been received since the last acknowledgement the channel asked for, and
  // whether the socket needs no more asking (it acknowledges every segment,
  // or cannot be asked).
  uint8_t promptAck;
  bool ackOwed;
  bool ackSettled;
  // How far into its current line each stream of received bytes the log
  // shows has come (frame/log.h: LogStream), so that only the first
  // kLogLineKeep bytes of a line are logged.
  uint32_t logLineBytes[2];
  // The receive ring's kRingSize bytes: taken from the platform's memory
  // when a connection starts (or at the first read) and given back when the
  // socket closes and at release; null otherwise.
  char* ringBuffer;
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

// Error codes and their texts.
#pragma once

#include <cstdint>

namespace qel {

// Version word 0x0341 (3.4.1) and build number.
constexpr int32_t kVersionWord = 0x0341;
constexpr int32_t kBuildNumber = 16;

// The library's own codes (the same values as QEL_ERR_* in qel32.h).
enum ErrorCode : int32_t {
  kErrSocketClosed = -1,
  kErrBadStatusFlag = -5,
  kErrInvalidSocket = -7,
  kErrTimedOut = -8,
  kErrNoHostName = -12,
  kErrCannotCreateSocket = -18,
  kErrResponseOverflow = -31,
  kErrBadAddressChar = -32,
  kErrCannotOpenFile = -35,
  kErrConnectFailed = -36,
  kErrEmptyAddress = -37,
  kErrFromNull = -38,
  kErrMissingAt = -39,
  kErrMissingFrom = -40,
  kErrMissingLt = -41,
  kErrMissingGt = -43,
  kErrNotConnected = -44,
  kErrNoRecipient = -45,
  kErrServerNotFound = -46,
  kErrNullPointer = -47,
  kErrSmtpError = -49,
  kErrNoServer = -50,
  kErrSocketRead = -51,
  kErrSocketWrite = -52,
  kErrTooManyAt = -53,
  kErrNoMemory = -55,
  kErrBadServerName = -56,
  kErrNoApopTimestamp = -57,
  kErrSmtpOnly = -58,
  kErrPop3Only = -59,
  kErrNoUser = -61,
  kErrNoPassword = -62,
  kErrPop3Error = -63,
  kErrNoSuchMessage = -64,
  kErrNoFilename = -65,
  kErrNoEmailPath = -66,
  kErrCannotCreateFile = -67,
  kErrBufferNull = -68,
  kErrBufferTooSmall = -69,
  kErrNoAttachPath = -70,
  kErrNotAttached = -71,
  kErrAlreadyAttached = -72,
  kErrChannelRange = -73,
  // Extensions: mail in any language, SMTP extensions.
  kErrInvalidUtf8 = -140,
  kErrMessageTooBig = -141,
  kErrNeedsSmtpUtf8 = -142,
  // Extensions: composition.
  kErrTextTooLong = -150,
  kErrHeaderLineTooLong = -151,
  // Extensions: ready-made messages.
  kErrNoPreparedMessage = -175,
  // Extensions: greeting.
  kErrBadHelloName = -180,
  kErrTlsNotOffered = -110,
  kErrTlsHandshake = -111,
  kErrTlsUntrusted = -112,
  kErrTlsNameMismatch = -113,
  kErrTlsUnavailable = -114,
  kErrTlsCaFile = -115,
  kErrNoCommonMechanism = -120,
  kErrServerNotProven = -121,
};

// Result of the parameter and statistics calls for an index they do not
// serve.
constexpr int32_t kIndexNotServed = -1;

// The fixed text of a code, or null when the code is not in the table.
const char* errorTextFor(int32_t code);

struct ChannelRecord;

// The whole text of a code on a channel, as qelErrorText gives it (with the
// server's reply, the TLS reason or the sizes behind it), cut to fit size
// bytes with its NUL. Returns the characters written; 0 and an empty text
// for an unknown code.
int32_t writeErrorText(const ChannelRecord* record, int32_t code, char* buffer, int32_t size);

}  // namespace qel

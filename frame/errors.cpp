#include "frame/errors.h"

#include "frame/channel.h"
#include "frame/registrations.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "qel32.h"

namespace qel {
namespace {

struct ErrorEntry {
  int32_t code;
  const char* text;
};

constexpr int32_t kTableEnd = 999;

// Searched in order; the texts are returned exactly as they stand here.
constexpr ErrorEntry kErrorTable[] = {
    {0, "Cannot comply"},
    {-1, "Socket has been closed."},
    {-4, "WINSOCK is currently blocking."},
    {-5, "Bad status flag passed to qelStatus."},
    {-7, "Invalid socket."},
    {-8, "Socket timed out."},
    {-9, "No available sockaddr structures."},
    {-12, "No host name."},
    {-18, "Cannot create socket."},
    {-31, "Response buffer has overflowed."},
    {-32, "Bad character in email address."},
    {-34, "Cannot access WINSOCK"},
    {-35, "Cannot open file."},
    {-36, "Error attempting to connect."},
    {-37, "EMPTY email address."},
    {-38, "FromPtr is NULL."},
    {-39, "Missing '@' character in email address."},
    {-40, "Missing FROM email address."},
    {-41, "Missing '<' delimiter in email address."},
    {-43, "Missing '>' terminating email address."},
    {-44, "Not connected to server"},
    {-45, "Must have at least one recipient."},
    {-46, "Cannot find SMTP/POP3 server."},
    {-47, "Unexpected NULL pointer."},
    {-48, "ToPtr is NULL."},
    {-49, "SMTP returned error."},
    {-50, "SMTP/POP3 server not specified."},
    {-51, "Socket read error."},
    {-52, "Socket write error."},
    {-53, "Too many '@' symbols in email address."},
    {-54, "Found unexpected '>' character in email address."},
    {-55, "Cannot allocate memory."},
    {-56, "Illegal chars in server name."},
    {-57, "APOP timestamp missing."},
    {-58, "SMTP function ONLY."},
    {-59, "POP3 function ONLY."},
    {-61, "USER name not specified."},
    {-62, "PASSWORD not specified."},
    {-63, "POP3 returned error."},
    {-64, "No such message number."},
    {-65, "Missing filename."},
    {-66, "Missing email path."},
    {-67, "Cannot create file."},
    {-68, "Buffer is NULL."},
    {-69, "Buffer size < 128."},
    {-70, "Missing path for attachments."},
    {-71, "Must call qelAttach first."},
    {-72, "Already attached."},
    {-73, "Channel out of range."},
    {-140, "Text is not valid UTF-8."},
    {-141, "Message is larger than the server accepts."},
    {-142, "Address needs SMTPUTF8, which the server does not offer."},
    {-150, "Text is longer than its field holds."},
    {-151, "Header line would be longer than 998 characters."},
    {-175, "No message to send (file name or data missing)."},
    {-180, "Greeting name holds a space, a control character or a non-ASCII byte."},
    {-110, "Server does not offer TLS."},
    {-111, "TLS handshake failed."},
    {-112, "Server certificate not trusted."},
    {-113, "Server certificate is not for this server name."},
    {-114, "TLS not available."},
    {-115, "Cannot use the CA file."},
    {-120, "No login mechanism in common with the server."},
    {-121, "Server failed to prove it knows the password."},
    {-10004, "Interrupted system call."},
    {-10009, "Bad file number."},
    {-10013, "Access denied."},
    {-10014, "Bad address."},
    {-10022, "Invalid argument."},
    {-10024, "Too many open files."},
    {-10035, "Would block socket in non-blocking mode."},
    {-10036, "Blocking call already in progress."},
    {-10037, "Operation already completed."},
    {-10038, "Not a valid socket"},
    {-10039, "Destination address required."},
    {-10040, "Message too big for buffer."},
    {-10041, "Protocol mismatch."},
    {-10042, "Protocol option invalid."},
    {-10043, "Protocol not supported."},
    {-10044, "Socket type not supported."},
    {-10045, "Socket operation not supported."},
    {-10047, "Socket address family not supported."},
    {-10048, "Socket address already in use."},
    {-10049, "Socket address not available."},
    {-10050, "Network error."},
    {-10051, "Cannot reach network."},
    {-10052, "Connection dropped."},
    {-10053, "Connection timed-out or aborted."},
    {-10054, "Connection reset by remote host."},
    {-10055, "Out of buffer space."},
    {-10056, "Socket already connected."},
    {-10057, "Socket not connected."},
    {-10058, "Socket functionality shut down."},
    {-10060, "Timed-out attempting to connect."},
    {-10061, "Connection refused by remote host."},
    {-10064, "Host is down"},
    {-10065, "No route to host"},
    {-10091, "Network not yet ready."},
    {-10092, "WINSOCK doesn't support requested version."},
    {-10093, "Sockets not initialized. Call WSAStartup."},
    {-11001, "Host does not exist."},
    {-11002, "Host not found. Try again."},
    {-11003, "Non-recoverable error has occurred."},
    {-11004, "No data is available."},
    {kTableEnd, nullptr},
};

// Room for the detail a protocol adds to the text of a code: the sizes
// behind -141, the login's reason behind -120 and -121.
constexpr int32_t kSizesTextRoom = 256;

bool appendsReply(int32_t code) {
  return code == kErrConnectFailed || code == kErrSmtpError || code == kErrPop3Error;
}

// The TLS codes append why: the server's answer, or the backend's reason.
bool appendsTlsReason(int32_t code) { return code <= kErrTlsNotOffered && code >= kErrTlsCaFile; }

}  // namespace

const char* errorTextFor(int32_t code) {
  for (const ErrorEntry* entry = kErrorTable; entry->code != kTableEnd; ++entry) {
    if (entry->code == code) return entry->text;
  }
  return nullptr;
}

int32_t writeErrorText(const ChannelRecord* record, int32_t code, char* buffer, int32_t size) {
  if (buffer == nullptr || size <= 0) return 0;
  int32_t limit = size - 1;
  int32_t written = 0;
  const char* text = errorTextFor(code);
  if (text != nullptr) {
    while (written < limit && text[written] != '\0') {
      buffer[written] = text[written];
      ++written;
    }
    char sizes[kSizesTextRoom];
    if (ErrorDetail detail = findErrorDetail(code)) {
      sizes[0] = '\0';
      detail(record, sizes, kSizesTextRoom);
      for (const char* c = sizes; written < limit && *c != '\0'; ++c) buffer[written++] = *c;
    }
    const char* appended = appendsReply(code) ? record->texts.replyText
                           : appendsTlsReason(code)   ? record->tls.reason
                                                      : nullptr;
    if (appended != nullptr && written < limit) {
      buffer[written++] = ' ';
      for (const char* reply = appended; written < limit && *reply != '\0'; ++reply) {
        buffer[written++] = *reply;
      }
    }
  }
  buffer[written] = '\0';
  return written;
}

}  // namespace qel

using namespace qel;

extern "C" QEL_API int32_t QEL_CALL qelErrorText(int32_t chan, int32_t code, char* buffer, int32_t size) {
  ChannelRecord* record = nullptr;
  int32_t rc = checkChannel(chan, &record);
  if (rc != 0) return rc;
  return writeErrorText(record, code, buffer, size);
}

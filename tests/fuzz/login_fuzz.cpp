// What a server sends to the negotiated login, fed from memory: the AUTH
// lines of an EHLO reply and a CAPA SASL line (first byte even), or a SCRAM
// exchange (first byte odd): the rest up to the first LF is the
// server-first-message, after it the server-final-message, as the client
// holds them once decoded.
//
// The offer lands in its record fields, terminated within their room; a
// SCRAM answer is 0 or -121 with a reason, and the proof is produced only
// for a nonce that extends ours; the server is taken as proven only after
// a final message that matches.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/text.h"
#include "fuzz_support.h"
#include "qel32.h"
#include "sasl/sasl.h"
#include "smtp/smtp_states.h"

using namespace qel;
using namespace qel::fuzz;

namespace {

constexpr char kNonce[] = "rOprNGfwEbeRWgbNEkqO";
// Rounds beyond this only make the run slow; the limit itself is a test
// case of its own.
constexpr long kFuzzRounds = 5000;

ChannelRecord* record() {
  static ChannelRecord* channel = [] {
    require(qelAttach(1, 0) == 1, "the library attaches");
    return channelRecord(0);
  }();
  return channel;
}

void offer(ChannelRecord* channel, const std::string& bytes) {
  takeSmtpAuthOffer(channel, bytes.c_str());
  addOfferedMechanisms(channel, bytes.data(), static_cast<int32_t>(bytes.size()));
  require(std::memchr(channel->login->offerText, '\0', kOfferTextCap + 1) != nullptr, "offerText ends within its room");
  chooseMechanism(channel);
  require(std::memchr(channel->login->loginReason, '\0', kLoginReasonCap + 1) != nullptr, "loginReason ends within its room");
}

bool slow(const std::string& first) {
  const char* rounds = std::strstr(first.c_str(), "i=");
  return rounds != nullptr && std::strtol(rounds + 2, nullptr, 10) > kFuzzRounds;
}

void scram(ChannelRecord* channel, const std::string& bytes) {
  size_t split = bytes.find('\n');
  std::string first = bytes.substr(0, split);
  std::string final = split == std::string::npos ? "" : bytes.substr(split + 1);
  if (slow(first)) return;
  channel->login->saslMechanism = QEL_AUTH_SCRAM_SHA_256;
  scramTestNonce = kNonce;
  require(takeSaslBuffers(channel) == 0, "the exchange has its buffers");
  require(saslStart(channel), "SCRAM speaks first");
  int32_t rc = saslAnswer(channel, first.data(), static_cast<int32_t>(first.size()));
  require(rc == 0 || rc == kErrServerNotProven, "the first answer is 0 or -121");
  bool extends = first.compare(0, 2 + std::strlen(kNonce), std::string("r=") + kNonce) == 0 &&
                 first.size() > 2 + std::strlen(kNonce);
  require(rc != 0 || extends, "a proof only for a nonce that extends ours");
  if (rc == 0) {
    require(channel->login->saslLength > 0 && channel->login->saslLength <= kSaslTextCap, "the final message fits");
    rc = saslAnswer(channel, final.data(), static_cast<int32_t>(final.size()));
    require(rc == 0 || rc == kErrServerNotProven, "the second answer is 0 or -121");
  }
  require(rc == 0 || channel->login->loginReason[0] != '\0', "a refusal says why");
  require((saslFinished(channel) == 0) == (rc == 0 && channel->login->serverProven != 0), "proven only by the signature");
  scramTestNonce = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  ChannelRecord* channel = record();
  require(openLoginState(channel) == 0, "the channel has its login");
  copyText(channel->login->loginUser, "user", kLoginUserCap);
  copyText(channel->login->loginPassword, "pencil", kLoginPasswordCap);
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] % 2 == 0) {
    offer(channel, bytes);
  } else {
    scram(channel, bytes);
  }
  return 0;
}

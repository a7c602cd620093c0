// Delivery of fetched messages where mail programs read them: a Maildir,
// an mbox file (mboxrd), or a delivery command (an MDA such as procmail or
// maildrop) that reads the message on its standard input.
//
// A message reaches delivery as the library downloaded it: the message
// itself, dot-stuffing undone, CR LF line ends. Every target gets it with
// LF line ends, as local mail is stored on this system.
#pragma once

#include <string>

namespace qelmail {

enum class DeliveryKind { none, maildir, mbox, command };

struct Delivery {
  DeliveryKind kind = DeliveryKind::none;
  std::string target;  // the Maildir or mbox path made absolute, or the command
};

// The outcome of delivering one message.
struct Delivered {
  bool ok = false;
  std::string where;    // the Maildir file, the mbox, or "|COMMAND"
  std::string problem;  // why not, for the report
  int commandStatus = 0;  // the delivery command's exit status (or -1: no status)
};

// Makes what the target needs: the Maildir with tmp/, new/ and cur/ (and
// its missing parents), or the directory of the mbox file. False with
// *problem set when it cannot be made.
bool prepareDelivery(const Delivery& delivery, std::string* problem);

// Delivers the message in `file` (CR LF line ends) to the target.
Delivered deliver(const Delivery& delivery, const std::string& file);

}  // namespace qelmail

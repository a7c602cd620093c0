// Stand-in for the incoming message decoder and the attachment files until
// they exist: every line of a download goes to the message file unchanged,
// and no attachment file is ever created. The decoder replaces this file.
#include "frame/channel.h"
#include "platform/platform.h"
#include "pop3/attach_files.h"
#include "pop3/decoder.h"

namespace qel {

int32_t decodeLine(ChannelRecord*) { return 1; }

// The decoder's version also records the file it closes (note line, saved
// names, counters).
bool closeAttachFile(ChannelRecord* record) {
  if (record->fileHandle <= 0) return false;
  plat::fileClose(record->fileHandle);
  record->fileHandle = 0;
  return true;
}

}  // namespace qel

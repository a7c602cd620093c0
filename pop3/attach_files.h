// The attachment files a download writes.
#pragma once

#include "frame/channel.h"

namespace qel {

// Closes the attachment file of the download (fileHandle) when one is open.
// True when a file was open and has been closed.
bool closeAttachFile(ChannelRecord* record);

}  // namespace qel

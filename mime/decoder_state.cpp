// The decoder state of a channel: made at the first decoder setting or
// download, read through defaults while there is none, and given back with
// its files and blocks at release.
#include "mime/decoder_state.h"

#include "frame/errors.h"
#include "frame/registrations.h"
#include "mime/file_buffers.h"
#include "platform/platform.h"
#include "qel32.h"

namespace qel {
namespace {

// At release: the names a download took and its walk still running (full
// MIME mode), each one block; then the files of a download cut off here,
// which keep what they received.
void releaseDecoder(ChannelRecord* record) {
  DecoderState* decoder = record->decoder;
  if (decoder == nullptr) return;
  plat::memoryFree(decoder->takenNames);
  decoder->takenNames = nullptr;
  plat::memoryFree(decoder->mimeWalk);
  decoder->mimeWalk = nullptr;
  releaseFileBuffers(record);
  // What the socket layer's cleanup and the process end would do on
  // Windows is done here, so a released library holds no descriptor.
  if (decoder->fileHandle > 0) plat::fileClose(decoder->fileHandle);
  if (decoder->mailFile > 0) plat::fileClose(decoder->mailFile);
  plat::memoryFree(decoder);
  record->decoder = nullptr;
}
const ReleaseHookRegistration releaseHook(releaseDecoder);

const DebugTextRegistration savedNamesText(QEL_DEBUG_SAVED_NAMES,
                                           [](const ChannelRecord* record) { return decoderView(record).savedNames; });

}  // namespace

int32_t openDecoder(ChannelRecord* record) {
  if (record->decoder != nullptr) return 0;
  auto* decoder = static_cast<DecoderState*>(plat::memoryAllocate(sizeof(DecoderState)));
  if (decoder == nullptr) return kErrNoMemory;
  record->decoder = decoder;
  return 0;
}

const DecoderState& decoderView(const ChannelRecord* record) {
  static const DecoderState defaults{};
  return record->decoder != nullptr ? *record->decoder : defaults;
}

void clearSavedCount(ChannelRecord* record) {
  if (record->decoder != nullptr) record->decoder->savedCount = 0;
}

}  // namespace qel

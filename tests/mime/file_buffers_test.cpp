// The write buffers of a download's files: the bytes reach each file in
// order, whatever the sizes of the writes; nothing is held back after a
// flush; a file that cannot be written fails the write that writes out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/channel.h"
#include "mime/decoder_state.h"
#include "mime/file_buffers.h"
#include "platform/platform.h"
#include "support/library.h"

using namespace qel;
using namespace qel::test;

namespace {

TEST(FileBuffers, BytesReachBothFilesInOrderWhateverTheWriteSizes) {
  Attached lib(1);
  ChannelRecord* record = lib.downloading(0);
  TempDir dir;
  record->decoder->mailFile = plat::fileCreate(dir.file("mail").c_str());
  record->decoder->fileHandle = plat::fileCreate(dir.file("part").c_str());
  ASSERT_GT(record->decoder->mailFile, 0);
  ASSERT_GT(record->decoder->fileHandle, 0);
  std::string mail;
  std::string part;
  const std::vector<int32_t> sizes = {1, 100, kFileBufferSize - 101, 1, kFileBufferSize, 3, 70000, 5};
  char fill = 'a';
  for (int32_t size : sizes) {
    std::string bytes(static_cast<std::size_t>(size), fill++);
    EXPECT_EQ(writeBuffered(record, BufferedFile::message, bytes.data(), size), size);
    EXPECT_EQ(writeBuffered(record, BufferedFile::attachment, bytes.data(), size / 2), size / 2);
    mail += bytes;
    part += bytes.substr(0, static_cast<std::size_t>(size / 2));
  }
  // Held back until flushed.
  EXPECT_LT(readFile(dir.file("mail")).size(), mail.size());
  EXPECT_EQ(flushBuffered(record, BufferedFile::attachment), 0);
  EXPECT_EQ(readFile(dir.file("part")), part);
  releaseFileBuffers(record);
  EXPECT_EQ(record->decoder->fileBuffers, nullptr);
  EXPECT_EQ(readFile(dir.file("mail")), mail);
  plat::fileClose(record->decoder->mailFile);
  plat::fileClose(record->decoder->fileHandle);
  record->decoder->mailFile = 0;
  record->decoder->fileHandle = 0;
  EXPECT_EQ(writeBuffered(record, BufferedFile::message, "x", 1), -1);  // no file open
}

TEST(FileBuffers, AFileThatCannotBeWrittenFailsAtWriteOut) {
  Attached lib(1);
  ChannelRecord* record = lib.downloading(0);
  record->decoder->mailFile = plat::fileCreate("/dev/full");
  ASSERT_GT(record->decoder->mailFile, 0);
  std::string bytes(kFileBufferSize / 2 + 1, 'x');
  EXPECT_EQ(writeBuffered(record, BufferedFile::message, bytes.data(), static_cast<int32_t>(bytes.size())),
            static_cast<int32_t>(bytes.size()));
  EXPECT_EQ(writeBuffered(record, BufferedFile::message, bytes.data(), static_cast<int32_t>(bytes.size())), -1);
  EXPECT_EQ(writeBuffered(record, BufferedFile::message, "y", 1), 1);
  EXPECT_EQ(flushBuffered(record, BufferedFile::message), -1);
  EXPECT_EQ(flushBuffered(record, BufferedFile::message), 0);  // nothing left
  releaseFileBuffers(record);
  plat::fileClose(record->decoder->mailFile);
  record->decoder->mailFile = 0;
}

}  // namespace

// Tracked blocks: guards, slots, failures and the sweep.
#include <gtest/gtest.h>

#include <string>

#include "frame/channel.h"
#include "frame/memory.h"
#include "qel32.h"
#include "support/library.h"

using namespace qel;
using qel::test::Attached;
using qel::test::readFile;
using qel::test::TempDir;

namespace {

TEST(Memory, BlockLayoutHasGuardsAndExtraZero) {
  Attached lib(2);
  int32_t number = 1 * 9 + kSlotSubject;
  ASSERT_EQ(blockAllocate(number, 5), number);
  char* raw = blockRawData(number);
  ASSERT_NE(raw, nullptr);
  EXPECT_EQ(raw[0], 'U');
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(raw[i], 0);
  EXPECT_EQ(raw[6], 'z');
  EXPECT_EQ(raw[7], 0);
  EXPECT_EQ(blockPointer(number), raw + 1);
  EXPECT_EQ(blockSize(number), 5);
  EXPECT_EQ(blockCheck(number), 1);
  EXPECT_EQ(blockAllocate(number, 5), kBlockInUse);
  EXPECT_EQ(blockFree(number), 1);
  EXPECT_EQ(blockFree(number), kBlockNotAllocated);
  EXPECT_EQ(blockIsAllocated(number), 0);
  EXPECT_EQ(blockPointer(number), nullptr);
}

TEST(Memory, OutOfRangeNumbersAreRefusedEverywhere) {
  Attached lib(1);
  for (int32_t number : {1152, 1153, 5000, -1}) {
    EXPECT_EQ(blockAllocate(number, 4), kBlockOutOfRange);
    EXPECT_EQ(blockCheck(number), kBlockOutOfRange);
    EXPECT_EQ(blockFree(number), kBlockOutOfRange);
    EXPECT_EQ(blockIsAllocated(number), kBlockOutOfRange);
    EXPECT_EQ(blockSize(number), kBlockOutOfRange);
    EXPECT_EQ(blockPointer(number), nullptr);
  }
  // The last valid block number works.
  EXPECT_EQ(blockAllocate(1151, 1), 1151);
  EXPECT_EQ(blockFree(1151), 1);
}

TEST(Memory, AllocAndCopyReplacesAndLogsEmptyText) {
  Attached lib(2);
  TempDir dir;
  std::string log = dir.file("m.log");
  ASSERT_GT(qelStringParam(1, QEL_STRING_LOG_FILE, log.c_str()), 0);
  char* first = allocAndCopy(1, kSlotTo, "first text");
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(first, "first text");
  EXPECT_EQ(blockSize(1 * 9 + kSlotTo), 12);  // length + 2
  char* second = allocAndCopy(1, kSlotTo, "second");
  ASSERT_NE(second, nullptr);
  EXPECT_STREQ(second, "second");
  EXPECT_EQ(blockSize(1 * 9 + kSlotTo), 8);
  EXPECT_EQ(allocAndCopy(1, kSlotCc, ""), nullptr);
  EXPECT_EQ(allocAndCopy(1, kSlotCc, nullptr), nullptr);
  EXPECT_NE(readFile(log).find("AllocAndCopy Error 1: Chan=1, Index=2, Code=0\r\n"), std::string::npos);
}

TEST(Memory, SecondAllocationOfASlotIsLogged) {
  Attached lib(1);
  TempDir dir;
  std::string log = dir.file("m.log");
  ASSERT_GT(qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str()), 0);
  EXPECT_NE(channelAllocate(0, kSlotLines, 100), nullptr);
  EXPECT_EQ(channelAllocate(0, kSlotLines, 100), nullptr);
  EXPECT_NE(readFile(log).find("AllocateMemory Error: Chan=0, Index=8, Code=-103\r\n"), std::string::npos);
}

TEST(Memory, DamagedBlockIsKeptLoggedAndFoundBySweep) {
  Attached lib(2);
  TempDir dir;
  std::string log = dir.file("m.log");
  ASSERT_GT(qelStringParam(1, QEL_STRING_LOG_FILE, log.c_str()), 0);
  char* subject = allocAndCopy(1, kSlotSubject, "abc");
  char* message = allocAndCopy(1, kSlotMessage, "body");
  ASSERT_NE(subject, nullptr);
  ASSERT_NE(message, nullptr);
  subject[5] = 'X';  // one byte past the 5-byte user area: the trailing guard
  EXPECT_EQ(blockCheck(1 * 9 + kSlotSubject), kBlockDamaged);

  testing::internal::CaptureStderr();
  EXPECT_EQ(qelDebug(QEL_SWEEP_CHANNEL, 0, nullptr, 0), 0);
  std::string alerts = testing::internal::GetCapturedStderr();
  EXPECT_EQ(alerts, "Info: Memory Corrupted (qelDebug): ID=13 Err=-106\n");

  // The range free stops at the damaged block: it and the slots after it stay.
  channelFreeRange(1, kSlotTo, kSlotLines);
  EXPECT_EQ(blockIsAllocated(1 * 9 + kSlotSubject), 1);
  EXPECT_EQ(blockIsAllocated(1 * 9 + kSlotMessage), 1);
  EXPECT_NE(readFile(log).find("FreeMemory Error: Chan=1, Index=4, Code=-106\r\n"), std::string::npos);

  // Freeing empty slots is silent.
  std::string before = readFile(log);
  channelFreeRange(0, kSlotTo, kSlotLines);
  EXPECT_EQ(readFile(log), before);
}

TEST(Memory, SweepWorksUnattached) {
  qelRelease();
  testing::internal::CaptureStderr();
  EXPECT_EQ(qelDebug(QEL_SWEEP_CHANNEL, 99, nullptr, -5), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace

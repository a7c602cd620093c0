// Attachment files: safe names, paths, creation, closing with the note line,
// the saved-names list and the unnamed-part rule.
#include <gtest/gtest.h>
#include <fcntl.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <string>

#include "frame/channel.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "mime/decoder_state.h"
#include "platform/platform.h"
#include "mime/attach_files.h"
#include "mime/decoder.h"
#include "mime/taken_names.h"
#include "qel32.h"
#include "support/library.h"

using namespace qel;
using namespace qel::test;

namespace {

bool descriptorOpen(int32_t handle) { return ::fcntl(handle, F_GETFD) != -1; }

class AttachFiles : public ::testing::Test {
 protected:
  Attached lib{1};
  ChannelRecord* record = lib.downloading(0);
  TempDir temp;

  void SetUp() override { copyText(record->decoder->attachDirectory, temp.path().c_str(), kPathCap); }

  void openLog() { record->log.file = plat::fileCreate(temp.file("log").c_str()); }
  std::string logged() {
    plat::fileClose(record->log.file);
    record->log.file = 0;
    return readFile(temp.file("log"));
  }
  bool create(const char* name) {
    copyText(record->decoder->attachName, name, kPathCap);
    return createAttachFile(record);
  }
};

TEST(SafeFileName, KeepsOnlyASafeLastComponent) {
  struct Case {
    std::string name;
    std::string safe;
  } cases[] = {
      {"report.pdf", "report.pdf"},
      {"../../evil.txt", "evil.txt"},
      {"/etc/passwd", "passwd"},
      {"C:\\Windows\\win.ini", "win.ini"},
      {"C:win.ini", "win.ini"},
      {"dir/", "noname"},
      {"", "noname"},
      {".", "noname"},
      {"..", "noname"},
      {"a/..", "noname"},
      {"...", "..."},  // an ordinary name
      {std::string("cr\rlf\n.txt"), "cr_lf_.txt"},
      {std::string("nul\0name", 8), "nul_name"},
      {"del\x7f", "del_"},
      {"caf\xe9.txt", "caf\xe9.txt"},
      {std::string(300, 'n'), std::string(kPathCap, 'n')},
      // Names Windows refuses or takes for a device are changed on every
      // system, so a message gives the same names everywhere.
      {"a*b?c<d>e|f\"g.txt", "a_b_c_d_e_f_g.txt"},
      {"CON", "_CON"},
      {"nul.txt", "_nul.txt"},
      {"Aux.tar.gz", "_Aux.tar.gz"},
      {"prn .log", "_prn .log"},
      {"com1", "_com1"},
      {"LPT9.bin", "_LPT9.bin"},
      {"conout$", "_conout$"},
      {"dir/con", "_con"},
      {"com0", "com0"},  // ordinary names that only begin like a device
      {"console.txt", "console.txt"},
      {"lpt10", "lpt10"},
      {"nul" + std::string(kPathCap - 3, 'x'), "nul" + std::string(kPathCap - 3, 'x')},
      {"nul." + std::string(kPathCap, 'x'), "_nul." + std::string(kPathCap - 5, 'x')},
  };
  for (const Case& c : cases) {
    char out[fieldSize(kPathCap)];
    int32_t length = safeFileName(c.name.data(), static_cast<int32_t>(c.name.size()), out);
    EXPECT_EQ(std::string(out), c.safe) << c.name;
    EXPECT_EQ(length, static_cast<int32_t>(c.safe.size()));
  }
}

// A numbered name keeps its number and extension; what is cut to make room
// is cut before a whole character.
TEST(NumberedName, CutsTheStemBeforeAWholeCharacter) {
  const struct {
    const char* name;
    int32_t room;
    const char* numbered;
  } cases[] = {
      {"ab\xC3\xA4.txt", 64, "ab\xC3\xA4 (2).txt"},
      {"ab\xC3\xA4.txt", 12, "ab (2).txt"},
      {"ab\xE2\x82\xAC", 8, "ab (2)"},
  };
  for (const auto& c : cases) {
    char out[64];
    EXPECT_EQ(numberedName(c.name, 2, out, c.room), static_cast<int32_t>(std::strlen(c.numbered)));
    EXPECT_STREQ(out, c.numbered) << c.room;
  }
}

TEST_F(AttachFiles, NumberPrefixIsTheNextSerial) {
  copyText(record->decoder->attachName, "a.txt", kPathCap);
  char name[kAttachNameRoom];
  formatAttachName(record, name, sizeof name);
  EXPECT_STREQ(name, "a.txt");
  record->decoder->numberNames = 1;
  formatAttachName(record, name, sizeof name);
  EXPECT_STREQ(name, "1-a.txt");
  record->decoder->savedSerial = INT32_MAX;  // the serial wraps, the prefix stays a plain number
  formatAttachName(record, name, sizeof name);
  EXPECT_STREQ(name, "2147483648-a.txt");
}

TEST_F(AttachFiles, PathJoinsDirectoryAndNameWithOneSeparator) {
  ASSERT_TRUE(create("a.txt"));
  EXPECT_EQ(std::string(record->decoder->attachPath), temp.file("a.txt"));
  dropAttachFile(record);
  copyText(record->decoder->attachDirectory, (temp.path() + "/").c_str(), kPathCap);
  ASSERT_TRUE(create("b.txt"));
  EXPECT_EQ(std::string(record->decoder->attachPath), temp.file("b.txt"));
  EXPECT_TRUE(fileExists(temp.file("b.txt")));
  dropAttachFile(record);
}

TEST_F(AttachFiles, CreatingTruncatesAnExistingFileUnlessFilesAreKept) {
  writeFile(temp.file("a.txt"), "old contents");
  ASSERT_TRUE(create("a.txt"));
  dropAttachFile(record);
  EXPECT_EQ(readFile(temp.file("a.txt")), "");
  // Kept: the first number that no file, directory or name of this
  // download has.
  forgetTakenNames(record);
  ASSERT_EQ(qelIntegerParam(0, QEL_PARAM_KEEP_EXISTING_FILES, 1), 1);
  writeFile(temp.file("a.txt"), "mine");
  writeFile(temp.file("a (2).txt"), "mine too");
  std::filesystem::create_directory(temp.file("a (3).txt"));
  for (const char* expected : {"a (4).txt", "a (5).txt"}) {
    ASSERT_TRUE(create("a.txt"));
    EXPECT_EQ(std::string(record->decoder->attachPath), temp.file(expected));
    dropAttachFile(record);
  }
  record->decoder->utf8Names = 1;
  writeFile(temp.file("ü.txt"), "mine");
  ASSERT_TRUE(create("ü.txt"));
  EXPECT_EQ(std::string(record->decoder->attachPath), temp.file("ü (2).txt"));
  dropAttachFile(record);
  EXPECT_EQ(readFile(temp.file("a.txt")) + readFile(temp.file("a (2).txt")) + readFile(temp.file("ü.txt")),
            "minemine toomine");
}

TEST_F(AttachFiles, APathThatDoesNotFitIsNeverCut) {
  // Directory, separator and name exactly 128 characters: created. One more:
  // not created, and not under a shortened name either.
  int32_t room = kPathCap - static_cast<int32_t>(temp.path().size()) - 1;
  ASSERT_GT(room, 1);
  std::string fits(room, 'f');
  ASSERT_TRUE(create(fits.c_str()));
  EXPECT_EQ(textLength(record->decoder->attachPath), kPathCap);
  dropAttachFile(record);

  openLog();
  std::string tooLong(room + 1, 'g');
  EXPECT_FALSE(create(tooLong.c_str()));
  EXPECT_EQ(record->decoder->fileHandle, 0);
  EXPECT_STREQ(record->decoder->attachPath, "");
  EXPECT_FALSE(fileExists(temp.file(tooLong)));
  EXPECT_FALSE(fileExists(temp.file(tooLong.substr(1))));
  std::string log = logged();
  EXPECT_NE(log.find("[Cannot open '" + temp.file(tooLong) + "']\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("[Creating"), std::string::npos);
}

TEST_F(AttachFiles, AFileThatCannotBeCreatedIsLogged) {
  copyText(record->decoder->attachDirectory, temp.file("missing").c_str(), kPathCap);
  openLog();
  EXPECT_FALSE(create("a.txt"));
  EXPECT_EQ(record->decoder->fileHandle, 0);
  std::string path = temp.file("missing") + "/a.txt";
  EXPECT_EQ(logged(), "[AttachDir = '" + temp.file("missing") + "']\r\n[Filename = 'a.txt']\r\n[Creating '" +
                          path + "']\r\n[Cannot open '" + path + "']\r\n");
}

TEST_F(AttachFiles, ASecondFileClosesTheFirstWithoutRecordingIt) {
  ASSERT_TRUE(create("first.txt"));
  int32_t first = record->decoder->fileHandle;
  ASSERT_TRUE(create("second.txt"));
  // The lowest free descriptor is handed out: the second file got the
  // first one's, so the first was closed.
  EXPECT_EQ(record->decoder->fileHandle, first);
  EXPECT_EQ(record->decoder->savedCount, 0);
  EXPECT_STREQ(record->decoder->savedNames, "");
  EXPECT_TRUE(closeAttachFile(record));
  EXPECT_STREQ(record->decoder->savedNames, "second.txt");
}

TEST_F(AttachFiles, ClosingWritesTheNoteAndRecordsTheName) {
  record->decoder->mailFile = plat::fileCreate(temp.file("mail").c_str());
  openLog();
  EXPECT_FALSE(closeAttachFile(record));  // nothing open
  ASSERT_TRUE(create("a.txt"));
  int32_t handle = record->decoder->fileHandle;
  plat::fileWrite(handle, "data", 4);
  EXPECT_TRUE(closeAttachFile(record));
  EXPECT_EQ(record->decoder->fileHandle, 0);
  EXPECT_FALSE(descriptorOpen(handle));
  EXPECT_EQ(readFile(temp.file("a.txt")), "data");
  EXPECT_EQ(record->decoder->savedCount, 1);
  EXPECT_EQ(record->decoder->savedSerial, 1);
  EXPECT_STREQ(record->decoder->savedNames, "a.txt");
  std::string note = "[Attachment saved to \"" + temp.file("a.txt") + "\"]\r\n";
  plat::fileClose(record->decoder->mailFile);
  EXPECT_EQ(readFile(temp.file("mail")), note);
  EXPECT_NE(logged().find(note), std::string::npos);
}

TEST_F(AttachFiles, SavedNamesTakeWhatFits) {
  settings.attachSeparator = ';';
  std::string name100(100, 'x');
  struct Step {
    std::string name;
    bool added;
  } steps[] = {
      {"a.txt", true},
      {name100, true},
  };
  std::string expected;
  for (const Step& step : steps) {
    copyText(record->decoder->attachPath, ("/d/" + step.name).c_str(), kPathCap);
    addSavedName(record);
    if (step.added) expected += (expected.empty() ? "" : ";") + step.name;
    EXPECT_EQ(std::string(record->decoder->savedNames), expected);
  }
  // Fill up to 1021 characters: one more name of one character and its
  // separator make 1023, which with the NUL is exactly 1024 bytes.
  while (expected.size() + 101 <= 1021) {
    copyText(record->decoder->attachPath, ("/d/" + name100).c_str(), kPathCap);
    addSavedName(record);
    expected += ";" + name100;
  }
  std::string filler(1021 - expected.size() - 1, 'y');
  copyText(record->decoder->attachPath, ("/d/" + filler).c_str(), kPathCap);
  addSavedName(record);
  expected += ";" + filler;
  ASSERT_EQ(expected.size(), 1021u);
  copyText(record->decoder->attachPath, "/d/zz", kPathCap);  // 1024 characters: left out
  addSavedName(record);
  EXPECT_EQ(std::string(record->decoder->savedNames), expected);
  copyText(record->decoder->attachPath, "/d/z", kPathCap);  // 1023 characters and the NUL: fits
  addSavedName(record);
  EXPECT_EQ(std::string(record->decoder->savedNames), expected + ";z");
}

TEST_F(AttachFiles, UnnamedPartsAreSavedOnlyWhenAsked) {
  struct Case {
    int32_t encoding;
    uint32_t saveUnnamed;
    const char* nameBefore;
    bool created;
    const char* nameAfter;
  } cases[] = {
      {kEncodingBase64, 1, "", true, "noname"},
      {kEncodingBase64, 1, "incoming.mai", true, "incoming.mai"},
      {kEncodingBase64, 0, "", false, ""},
      {kEncodingQuoted, 1, "", false, ""},
      {kEncodingNone, 1, "", false, ""},
  };
  for (const Case& c : cases) {
    record->decoder->partEncoding = c.encoding;
    record->decoder->saveUnnamed = c.saveUnnamed;
    copyText(record->decoder->attachName, c.nameBefore, kPathCap);
    saveUnnamedPart(record);
    EXPECT_EQ(record->decoder->fileHandle > 0, c.created) << c.encoding << c.saveUnnamed << c.nameBefore;
    EXPECT_STREQ(record->decoder->attachName, c.nameAfter);
    if (c.created) {
      EXPECT_EQ(std::string(record->decoder->attachPath), temp.file(c.nameAfter));
    }
    dropAttachFile(record);
  }
  // A file already open for the part is not replaced.
  record->decoder->partEncoding = kEncodingBase64;
  record->decoder->saveUnnamed = 1;
  ASSERT_TRUE(create("named.bin"));
  int32_t handle = record->decoder->fileHandle;
  saveUnnamedPart(record);
  EXPECT_EQ(record->decoder->fileHandle, handle);
  EXPECT_STREQ(record->decoder->attachName, "named.bin");
  dropAttachFile(record);
}

}  // namespace

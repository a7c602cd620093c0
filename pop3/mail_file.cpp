#include "pop3/mail_file.h"

#include "driver/driver.h"
#include "frame/text.h"
#include "platform/platform.h"
#include "pop3/attach_files.h"
#include "pop3/taken_names.h"

namespace qel {
namespace {

constexpr char kOkStatus[] = "+OK";
constexpr int32_t kOkStatusLength = 3;

// An empty directory means the current one: the name is used alone rather
// than joined to the root of the file system.
bool needsSeparator(const char* directory, int32_t length) {
  if (length == 0) return false;
  char last = directory[length - 1];
  return last != '\\' && last != '/';
}

}  // namespace

bool joinPath(char* destination, int32_t capacity, const char* directory, const char* name) {
  destination[0] = '\0';
  int32_t directoryLength = textLength(directory);
  int32_t nameLength = textLength(name);
  int32_t separatorLength = needsSeparator(directory, directoryLength) ? 1 : 0;
  if (directoryLength + separatorLength + nameLength > capacity) return false;
  copyText(destination, directory, directoryLength);
  if (separatorLength != 0) {
    const char separator[] = {plat::directorySeparator(), '\0'};
    appendText(destination, separator, 1, capacity);
  }
  appendText(destination, name, nameLength, capacity);
  return true;
}

int32_t writeUnlessOk(int32_t file, const char* text, int32_t n) {
  if (n >= kOkStatusLength && text[0] == kOkStatus[0] && text[1] == kOkStatus[1] && text[2] == kOkStatus[2]) {
    return 0;
  }
  return plat::fileWrite(file, text, n);
}

void closeMailFile(ChannelRecord* record) {
  if (record->mailFile == 0) return;
  if (record->mailFile > 0) plat::fileClose(record->mailFile);
  record->mailFile = 0;
}

void closeDownloadFiles(ChannelRecord* record) {
  closeAttachFile(record);
  closeMailFile(record);
  forgetTakenNames(record);
}

void abandonDownloadFiles(ChannelRecord* record) {
  dropAttachFile(record);
  closeMailFile(record);
  forgetTakenNames(record);
}

namespace {

// An SMTP channel uses fileHandle for the file it sends: that is no
// attachment of a download, and its own hooks close it.
void closeFilesOnClose(ChannelRecord* record) {
  if (record->protocol != kProtocolSmtp) closeDownloadFiles(record);
}
void abandonFilesOnFailure(ChannelRecord* record) {
  if (record->protocol != kProtocolSmtp) abandonDownloadFiles(record);
}
const CloseHookRegistration closeHook(closeFilesOnClose);
const FailHookRegistration failHook(abandonFilesOnFailure);

}  // namespace

}  // namespace qel

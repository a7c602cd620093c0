// Error texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frame/channel.h"
#include "frame/errors.h"
#include "qel32.h"
#include "support/library.h"

using namespace qel;
using qel::test::Attached;

namespace {

std::string errorText(int32_t code, int32_t size = 512, int32_t* result = nullptr) {
  std::string buffer(static_cast<size_t>(size > 0 ? size : 1), '#');
  int32_t rc = qelErrorText(0, code, buffer.data(), size);
  if (result) *result = rc;
  return std::string(buffer.c_str());
}

TEST(ErrorText, EveryTableEntryExactly) {
  Attached lib(1);
  struct Case {
    int32_t code;
    const char* text;
  } cases[] = {
      {0, "Cannot comply"},
      {-1, "Socket has been closed."},
      {-5, "Bad status flag passed to qelStatus."},
      {-34, "Cannot access WINSOCK"},
      {-39, "Missing '@' character in email address."},
      {-44, "Not connected to server"},
      {-54, "Found unexpected '>' character in email address."},
      {-69, "Buffer size < 128."},
      {-73, "Channel out of range."},
      {-140, "Text is not valid UTF-8."},
      {-142, "Address needs SMTPUTF8, which the server does not offer."},
      {-150, "Text is longer than its field holds."},
      {-151, "Header line would be longer than 998 characters."},
      {-175, "No message to send (file name or data missing)."},
      {-10038, "Not a valid socket"},
      {-10061, "Connection refused by remote host."},
      {-10064, "Host is down"},
      {-10065, "No route to host"},
      {-10092, "WINSOCK doesn't support requested version."},
      {-11001, "Host does not exist."},
      {-11004, "No data is available."},
  };
  for (const Case& c : cases) {
    int32_t rc = 0;
    EXPECT_EQ(errorText(c.code, 512, &rc), c.text) << c.code;
    EXPECT_EQ(rc, static_cast<int32_t>(std::strlen(c.text)));
  }
  // Every library code from -1 to -73 that the table lists has a text, and
  // the gaps have none.
  for (int32_t code : {-2, -3, -6, -42, -60, -74, 5, 999, -10000, -10046}) {
    int32_t rc = -1;
    EXPECT_EQ(errorText(code, 64, &rc), "") << code;
    EXPECT_EQ(rc, 0);
  }
}

TEST(ErrorText, CutAtSizeMinusOneAndReplyAppended) {
  Attached lib(1);
  ChannelRecord* record = lib.record(0);
  std::strcpy(record->texts.replyText, "550 No such user\r\n");
  int32_t rc = 0;
  EXPECT_EQ(errorText(-49, 20, &rc), "SMTP returned error");
  EXPECT_EQ(rc, 19);
  EXPECT_EQ(errorText(-49, 21, &rc), "SMTP returned error.");
  EXPECT_EQ(errorText(-49, 512, &rc), "SMTP returned error. 550 No such user\r\n");
  EXPECT_EQ(rc, 20 + 1 + 18);
  EXPECT_EQ(errorText(-49, 25, &rc), "SMTP returned error. 550");
  EXPECT_EQ(errorText(-63, 512), "POP3 returned error. 550 No such user\r\n");
  EXPECT_EQ(errorText(-36, 512), "Error attempting to connect. 550 No such user\r\n");
  // Other codes never carry the reply.
  EXPECT_EQ(errorText(-52, 512), "Socket write error.");
  EXPECT_EQ(errorText(-49, 1, &rc), "");
  EXPECT_EQ(rc, 0);
}

TEST(ErrorText, HostileArguments) {
  Attached lib(1);
  EXPECT_EQ(qelErrorText(0, -8, nullptr, 100), 0);
  char byte = '#';
  EXPECT_EQ(qelErrorText(0, -8, &byte, 0), 0);
  EXPECT_EQ(byte, '#');
  EXPECT_EQ(qelErrorText(0, -8, &byte, -5), 0);
  EXPECT_EQ(qelErrorText(5, -8, &byte, 1), QEL_ERR_CHANNEL_RANGE);
}

}  // namespace

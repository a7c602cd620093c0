// IPv6 and names with several addresses: the address text, brackets, and a
// connection that tries each address of a name in order.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "frame/settings.h"
#include "frame/text.h"
#include "qel32.h"
#include "support/channel_setup.h"
#include "support/library.h"
#include "support/script_server.h"
#include "transport/addresses.h"
#include "transport/connection.h"
#include "driver/connection_use.h"

using namespace qel;
using namespace qel::test;

namespace {

plat::NetAddress ipv6(std::vector<uint8_t> bytes) {
  plat::NetAddress address{};
  address.family = plat::kFamilyIpv6;
  std::memcpy(address.bytes, bytes.data(), 16);
  return address;
}

const plat::NetAddress kIpv6Loopback = ipv6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
const plat::NetAddress kIpv4Loopback = ipv4NetAddress(0x7F000001u);

TEST(AddressText, Ipv6InItsShortestFormAndIpv4Dotted) {
  struct Case {
    plat::NetAddress address;
    const char* text;
  } cases[] = {
      {kIpv6Loopback, "::1"},
      {ipv6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), "::"},
      {ipv6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), "2001:db8::1"},
      // The longest run of zero groups is cut, the first of two equal ones.
      {ipv6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1}), "2001:db8::1:0:0:1"},
      {ipv6({0, 1, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 3}), "1:0:0:2::3"},
      // A single zero group stays; a run at the end is cut there.
      {ipv6({0, 1, 0, 0, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7}), "1:0:2:3:4:5:6:7"},
      {ipv6({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), "fe80::"},
      {ipv6({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}),
       "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
      {kIpv4Loopback, "127.0.0.1"},
  };
  for (const Case& c : cases) {
    char text[kAddressTextRoom];
    EXPECT_EQ(formatNetAddress(c.address, text, sizeof text), static_cast<int32_t>(std::strlen(c.text)));
    EXPECT_STREQ(text, c.text);
  }
  char small[kAddressTextRoom] = "untouched";
  EXPECT_EQ(formatNetAddress(kIpv6Loopback, small, kAddressTextRoom - 1), 0);
  EXPECT_STREQ(small, "untouched");
}

TEST(AddressText, BracketsComeOffOnlyInPairs) {
  struct Case {
    const char* name;
    const char* host;
  } cases[] = {{"[::1]", "::1"}, {"::1", "::1"}, {"[::1", "[::1"}, {"mail.test", "mail.test"}, {"[]", ""}};
  for (const Case& c : cases) {
    char host[fieldSize(kServerNameCap)];
    hostWithoutBrackets(c.name, host, sizeof host);
    EXPECT_STREQ(host, c.host) << c.name;
  }
}

// A listener on [::1]:port (0: any free port), never accepting: a connect
// to it completes in its backlog. -1 when the machine has no IPv6 loopback.
int listenIpv6(uint16_t port, uint16_t* bound) {
  int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  address.sin6_port = htons(port);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 8) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  *bound = ntohs(address.sin6_port);
  return fd;
}

// The addresses the test resolver hands out for any name.
std::vector<plat::NetAddress> resolved;
int32_t testResolver(const char*, plat::NetAddress* found, int32_t room, int32_t* count) {
  int32_t n = 0;
  for (const plat::NetAddress& address : resolved) {
    if (n < room) found[n++] = address;
  }
  *count = n;
  return n == 0 ? 11004 : 0;
}

class SeveralAddresses : public ::testing::Test {
 protected:
  Attached lib{1};
  ChannelRecord* record = lib.record(0);
  TempDir dir;
  std::string log = dir.file("c.log");
  void SetUp() override { ASSERT_GT(qelStringParam(0, QEL_STRING_LOG_FILE, log.c_str()), 0); }
  void TearDown() override { setAddressResolver(nullptr); }

  int32_t connectTo(const char* name, uint16_t port) {
    stageConnect(record, port);
    copyText(record->serverName, name, kServerNameCap);
    return driveToEnd(0);
  }
};

TEST_F(SeveralAddresses, Ipv6LiteralsWithAndWithoutBrackets) {
  for (const char* name : {"::1", "[::1]"}) {
    uint16_t port = 0;
    int listener = listenIpv6(0, &port);
    if (listener < 0) GTEST_SKIP() << "no IPv6 loopback here";
    useConnection(record)->serverAddress = 0x7F000001u;  // left by an earlier IPv4 connection
    EXPECT_EQ(connectTo(name, port), 0) << name;
    EXPECT_EQ(qelConnectError(0), 0);
    char text[32];
    EXPECT_EQ(qelDebug(0, QEL_DEBUG_SERVER_ADDRESS, text, 17), 7);
    EXPECT_STREQ(text, "0.0.0.0");
    EXPECT_EQ(qelAbort(0), 1);
    ::close(listener);
  }
  std::string lines = readFile(log);
  EXPECT_NE(lines.find("Server = '[::1]'\r\nServerIP = ::1\r\n"), std::string::npos) << lines;
  EXPECT_NE(lines.find(", RemoteAddr=::1, RemotePort="), std::string::npos);
  EXPECT_EQ(connectTo("[::1", 25), QEL_ERR_SERVER_NOT_FOUND);
}

// Each address is tried in order until one connects; the reason the last
// failed attempt gave stays readable. A refused address fails at once; one
// that never answers gives way after its share of connectTimeout.
TEST_F(SeveralAddresses, EachAddressIsTriedInOrder) {
  ScriptServer server({ExpectClose()});  // on 127.0.0.1 only
  StalledListener stalled;                 // 127.0.0.1, never completes
  uint16_t ipv6Port = 0;
  int ipv6Listener = listenIpv6(stalled.port(), &ipv6Port);
  if (ipv6Listener < 0) GTEST_SKIP() << "no IPv6 loopback here";
  struct Case {
    std::vector<plat::NetAddress> addresses;
    uint16_t port;
    int32_t result;
    int32_t connectError;
    const char* next;  // the address tried after the failure
  } cases[] = {
      {{kIpv6Loopback, kIpv4Loopback}, server.port(), 0, -10061, "RemoteAddr=7f000001"},
      {{kIpv4Loopback, kIpv6Loopback}, stalled.port(), 0, -10060, "RemoteAddr=::1"},
      {{kIpv6Loopback, kIpv4Loopback}, refusedPort(), QEL_ERR_CONNECT_FAILED, -10061, "RemoteAddr=7f000001"},
  };
  setAddressResolver(testResolver);
  settings.connectTimeout = 2000;
  for (const Case& c : cases) {
    resolved = c.addresses;
    size_t logged = readFile(log).size();
    EXPECT_EQ(connectTo("mail.test", c.port), c.result);
    EXPECT_EQ(qelConnectError(0), c.connectError);
    // A failure of the last address reads as it always has: -36, and the
    // socket code 0 when the connect failed while under way.
    if (c.result < 0) {
      EXPECT_EQ(qelStatistics(0, QEL_STAT_SOCKET_CODE), 0);
    }
    qelAbort(0);
    std::string lines = readFile(log).substr(logged);
    std::string failed = "Connect failed (" + std::to_string(c.connectError) + "), trying the next address\r\n";
    size_t at = lines.find(failed);
    EXPECT_NE(at, std::string::npos) << lines;
    EXPECT_NE(lines.find(c.next, at), std::string::npos) << lines;
  }
  ::close(ipv6Listener);
}

// connectTimeout bounds all the attempts together: the second address
// waits under the deadline the first attempt set, and the two fail with the
// time-out once.
TEST_F(SeveralAddresses, ConnectTimeoutCoversEveryAddress) {
  StalledListener stalled;
  resolved = {kIpv4Loopback, kIpv4Loopback};
  setAddressResolver(testResolver);
  settings.connectTimeout = 400;
  stageConnect(record, stalled.port());
  copyText(record->serverName, "mail.test", kServerNameCap);
  uint32_t firstDeadline = 0;
  bool secondWaited = false;
  int32_t rc;
  while ((rc = qelDriver(0)) > 0) {
    if (rc != 106) continue;
    if (record->connection->serverAddressIndex == 0) firstDeadline = record->step.deadline;
    if (record->connection->serverAddressIndex == 1) {
      secondWaited = true;
      EXPECT_EQ(record->step.deadline, firstDeadline);
      EXPECT_EQ(record->connection->attemptDeadline, firstDeadline);  // the last gets what is left
    }
  }
  EXPECT_EQ(rc, QEL_ERR_TIMED_OUT);
  EXPECT_TRUE(secondWaited);
  EXPECT_NE(firstDeadline, 0u);
  EXPECT_EQ(qelConnectError(0), -10060);
}

}  // namespace

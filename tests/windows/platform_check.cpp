// Checks the platform layer itself, linked in from the library's objects:
// formatting, time, the lock, memory, files and sockets. Built for Windows
// it runs the Windows backend under Wine; built natively it runs the POSIX
// backend, so both are held to the same answers.
//
//   platform_check [--zone +HHMM] [--peer-port N]
//
//   --zone       the UTC offset local time must report
//   --peer-port  a server on 127.0.0.1 that sends "220 native greeting\r\n",
//                answers "QUIT\r\n" with "221 bye\r\n" and closes
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "check.h"
#include "host.h"
#include "platform/charsets.h"
#include "platform/digest.h"
#include "platform/platform.h"
#include "platform/tls.h"
#include "tests/platform/digest_vectors.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
using NativeSocket = SOCKET;
constexpr NativeSocket kNoSocket = INVALID_SOCKET;
static void closeNative(NativeSocket s) { closesocket(s); }
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
using NativeSocket = int;
constexpr NativeSocket kNoSocket = -1;
static void closeNative(NativeSocket s) { close(s); }
#endif

namespace plat = qel::plat;

namespace {

constexpr uint32_t kLoopback = 0x7F000001u;
// Bound of every wait for a socket to become ready.
constexpr uint32_t kReadyWaitMs = 5000;
constexpr uint32_t kPollStepMs = 10;

struct {
  const char* zone = nullptr;
  int peerPort = 0;
} options;

// ---- helpers ----------------------------------------------------------------

// A listening socket on 127.0.0.1 with a port of the system's choice, made
// with the native socket calls so that only the client side is under test.
NativeSocket listenOnLoopback(uint16_t* port) {
  NativeSocket s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == kNoSocket) return kNoSocket;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(kLoopback);
  address.sin_port = 0;
#if defined(_WIN32)
  int length = sizeof address;
#else
  socklen_t length = sizeof address;
#endif
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 4) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closeNative(s);
    return kNoSocket;
  }
  *port = ntohs(address.sin_port);
  return s;
}

// The same on ::1; kNoSocket when the machine has no IPv6 loopback.
NativeSocket listenOnIpv6Loopback(uint16_t* port) {
  NativeSocket s = socket(AF_INET6, SOCK_STREAM, 0);
  if (s == kNoSocket) return kNoSocket;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
#if defined(_WIN32)
  int length = sizeof address;
#else
  socklen_t length = sizeof address;
#endif
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 4) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closeNative(s);
    return kNoSocket;
  }
  *port = ntohs(address.sin6_port);
  return s;
}

// Polls until the socket shows the wanted state or the wait runs out.
bool waitReady(plat::SocketHandle handle, plat::Readiness kind) {
  for (uint32_t waited = 0; waited < kReadyWaitMs; waited += kPollStepMs) {
    if (plat::socketReady(handle, kind) == 1) return true;
    plat::sleepMs(kPollStepMs);
  }
  return false;
}

// Receives exactly `length` bytes (or fewer when the peer closes first).
std::string receiveBytes(plat::SocketHandle handle, int32_t length) {
  std::string got;
  char chunk[256];
  while (static_cast<int32_t>(got.size()) < length) {
    if (!waitReady(handle, plat::Readiness::readable)) break;
    int32_t want = length - static_cast<int32_t>(got.size());
    int32_t rc = plat::socketReceive(handle, chunk, want < 256 ? want : 256);
    if (rc <= 0) break;
    got.append(chunk, static_cast<size_t>(rc));
  }
  return got;
}

// Whether the socket sends without the small-segment delay (TCP_NODELAY).
bool sendsAtOnce(plat::SocketHandle handle) {
  int on = 0;
#if defined(_WIN32)
  int size = sizeof on;
  int rc = getsockopt(static_cast<SOCKET>(handle), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on), &size);
#else
  socklen_t size = sizeof on;
  int rc = getsockopt(static_cast<int>(handle), IPPROTO_TCP, TCP_NODELAY, &on, &size);
#endif
  return rc == 0 && on != 0;
}

// Connects as the transport does: non-blocking connect, wait for writable,
// back to blocking mode. Returns the handle or 0.
plat::SocketHandle connectLoopback(uint16_t port) {
  plat::SocketHandle handle = 0;
  if (!CHECK_INT(plat::socketOpen(&handle), 0)) return 0;
  CHECK(sendsAtOnce(handle));
  CHECK_INT(plat::socketSetNonBlocking(handle, true), 0);
  int32_t rc = plat::socketConnect(handle, kLoopback, port);
  CHECK(rc == 0 || rc == plat::kWsaWouldBlock);
  CHECK(waitReady(handle, plat::Readiness::writable));
  CHECK_INT(plat::socketReady(handle, plat::Readiness::error), 0);
  CHECK_INT(plat::socketSetNonBlocking(handle, false), 0);
  return handle;
}

// A second thread that enters the library lock once.
std::atomic<int> gProbeEntered{0};

void enterOnce() {
  plat::lockEnter();
  gProbeEntered = 1;
  plat::lockLeave();
}

#if defined(_WIN32)
struct ProbeThread {
  bool started;
  HANDLE thread;
};
DWORD WINAPI probeMain(LPVOID) {
  enterOnce();
  return 0;
}
ProbeThread startProbe() {
  HANDLE thread = CreateThread(nullptr, 0, probeMain, nullptr, 0, nullptr);
  return ProbeThread{thread != nullptr, thread};
}
bool joinProbe(ProbeThread& probe) {
  if (!probe.started) return false;
  bool ended = WaitForSingleObject(probe.thread, kReadyWaitMs) == WAIT_OBJECT_0;
  CloseHandle(probe.thread);
  return ended;
}
#else
struct ProbeThread {
  bool started;
  pthread_t thread;
};
void* probeMain(void*) {
  enterOnce();
  return nullptr;
}
ProbeThread startProbe() {
  ProbeThread probe{};
  probe.started = pthread_create(&probe.thread, nullptr, probeMain, nullptr) == 0;
  return probe;
}
bool joinProbe(ProbeThread& probe) { return probe.started && pthread_join(probe.thread, nullptr) == 0; }
#endif

int zoneMinutes(const char* zone) {
  int value = std::atoi(zone + 1);
  int minutes = (value / 100) * 60 + value % 100;
  return zone[0] == '-' ? -minutes : minutes;
}

// ---- sections ------------------------------------------------------------------

void formatting() {
  SECTION("formatted text");
  char buffer[1100];
  // Every conversion the library's texts use, as the Windows formatter and
  // the C library both write them.
  int32_t n = plat::formatText(buffer, sizeof buffer, "<%3d:%ld>|%02d:%02d|%u.%u|%lx|%1d|%1ld|%s|%d|%%",
                               201, 7L, 5, 13, 255u, 4294967295u, 0x7F000001L, 7, -123456L, "text", -2147483647 - 1);
  CHECK_TEXT(buffer, "<201:7>|05:13|255.4294967295|7f000001|7|-123456|text|-2147483648|%");
  CHECK_INT(n, static_cast<int32_t>(std::strlen(buffer)));

  // At most 1023 characters, and never more than room - 1.
  std::string big(2000, 'x');
  std::memset(buffer, '#', sizeof buffer);
  CHECK_INT(plat::formatText(buffer, sizeof buffer, "%s", big.c_str()), 1023);
  CHECK_INT(static_cast<long>(std::strlen(buffer)), 1023);
  CHECK_INT(plat::formatText(buffer, 10, "%s", big.c_str()), 9);
  CHECK_TEXT(buffer, "xxxxxxxxx");
  CHECK_INT(plat::formatText(buffer, 1, "%d", 42), 0);
  CHECK_TEXT(buffer, "");
  buffer[0] = '#';
  CHECK_INT(plat::formatText(buffer, 0, "%d", 42), 0);
  CHECK(buffer[0] == '#');
  CHECK_INT(plat::formatText(nullptr, 10, "%d", 42), 0);
}

void timeAndLock() {
  SECTION("time and the lock");
  uint32_t first = plat::tickCount();
  plat::sleepMs(20);
  uint32_t second = plat::tickCount();
  CHECK(second - first < 0x80000000u);  // it went forward
  plat::setTickOffset(0x80000000u);
  uint32_t shifted = plat::tickCount();
  uint32_t shiftedCoarse = plat::tickCountCoarse();
  plat::setTickOffset(0);
  CHECK(shifted - second >= 0x80000000u && shifted - second < 0x80000000u + 60000u);
  // The coarse count is the same count, at most a clock tick behind.
  CHECK(shifted - shiftedCoarse < 50u || shiftedCoarse - shifted < 50u);

  plat::LocalTime now{};
  plat::localTime(&now);
  CHECK(now.year >= 2020 && now.year < 2200);
  CHECK(now.month >= 1 && now.month <= 12);
  CHECK(now.day >= 1 && now.day <= 31);
  CHECK(now.dayOfWeek >= 0 && now.dayOfWeek <= 6);
  CHECK(now.hour >= 0 && now.hour <= 23 && now.minute >= 0 && now.minute <= 59);
  CHECK(now.utcOffsetMinutes >= -14 * 60 && now.utcOffsetMinutes <= 14 * 60);
  if (options.zone != nullptr) CHECK_INT(now.utcOffsetMinutes, zoneMinutes(options.zone));

  // The lock may be entered again by its holder, as a critical section can;
  // another thread waits until the holder has left it. A deleted lock is
  // made again by the next create, also twice in a row.
  plat::lockCreate();
  plat::lockDelete();
  plat::lockCreate();
  plat::lockCreate();
  plat::lockEnter();
  plat::lockEnter();
  plat::lockLeave();
  gProbeEntered = 0;
  ProbeThread probe = startProbe();
  CHECK(probe.started);
  plat::sleepMs(100);
  CHECK_INT(gProbeEntered.load(), 0);
  plat::lockLeave();
  CHECK(joinProbe(probe));
  CHECK_INT(gProbeEntered.load(), 1);
  plat::lockDelete();
}

void memory() {
  SECTION("memory blocks");
  constexpr int kBlocks = 64;
  constexpr std::size_t kSize = 9000;
  char* blocks[kBlocks];
  bool zeroed = true;
  for (int i = 0; i < kBlocks; ++i) {
    blocks[i] = static_cast<char*>(plat::memoryAllocate(kSize));
    CHECK(blocks[i] != nullptr);
    if (blocks[i] == nullptr) continue;
    for (std::size_t k = 0; k < kSize; ++k) zeroed = zeroed && blocks[i][k] == 0;
    std::memset(blocks[i], i, kSize);
  }
  CHECK(zeroed);
  bool intact = true;
  for (int i = 0; i < kBlocks; ++i) {
    if (blocks[i] == nullptr) continue;
    for (std::size_t k = 0; k < kSize; ++k) intact = intact && blocks[i][k] == static_cast<char>(i);
  }
  CHECK(intact);  // blocks stay where they are and do not overlap
  for (int i = 0; i < kBlocks; ++i) plat::memoryFree(blocks[i]);
  plat::memoryFree(nullptr);

  // Freed blocks go back to the system: far more than a 32-bit address
  // space holds can be allocated one after another.
  constexpr std::size_t kLargeBlock = 16u << 20;
  constexpr int kLargeRounds = 300;
  int allocated = 0;
  for (int round = 0; round < kLargeRounds; ++round) {
    void* block = plat::memoryAllocate(kLargeBlock);
    if (block == nullptr) break;
    ++allocated;
    plat::memoryFree(block);
  }
  CHECK_INT(allocated, kLargeRounds);
}

void files() {
  SECTION("files");
  char path[600], missing[600];
  hostPath(path, sizeof path, "data.bin");
  hostPath(missing, sizeof missing, "no" HOST_SEPARATOR "file.bin");
  std::string content = "first line\r\n";
  for (int i = 0; i < 3000; ++i) content.push_back(static_cast<char>(i % 256));

  int32_t out = plat::fileCreate(path);
  CHECK(out > 0);
  CHECK_INT(plat::fileWrite(out, content.data(), 12), 12);
  // An empty write neither fails nor cuts the file.
  CHECK_INT(plat::fileWrite(out, content.data(), 0), 0);
  CHECK_INT(plat::fileWrite(out, content.data() + 12, static_cast<int32_t>(content.size()) - 12),
            static_cast<long>(content.size()) - 12);
  plat::fileClose(out);

  int32_t in = plat::fileOpenRead(path);
  CHECK(in > 0);
#if defined(_WIN32)
  // Opened for reading, the file denies writers.
  int32_t writer = plat::fileCreate(path);
  CHECK(writer <= 0);
  if (writer > 0) plat::fileClose(writer);
#endif
  std::string back;
  char chunk[1000];
  for (;;) {
    int32_t got = plat::fileRead(in, chunk, sizeof chunk);
    if (got <= 0) {
      CHECK_INT(got, 0);
      break;
    }
    back.append(chunk, static_cast<size_t>(got));
  }
  CHECK(back == content);
  plat::fileClose(in);

  // Creating an existing file empties it.
  out = plat::fileCreate(path);
  CHECK(out > 0);
  plat::fileClose(out);
  in = plat::fileOpenRead(path);
  CHECK_INT(plat::fileRead(in, chunk, sizeof chunk), 0);
  plat::fileClose(in);
  // Creating a new file leaves a file of that name alone.
  CHECK_INT(plat::fileCreateNew(path, 0, false), plat::kFileExists);
  CHECK(hostRemoveFile(path));
  out = plat::fileCreateNew(path, 0, false);
  CHECK(out > 0);
  plat::fileClose(out);
  CHECK(hostRemoveFile(path));

  // A UTF-8 name reaches the file system as that name; on Windows through
  // the wide-character calls.
  const char* utf8Name = "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.txt";
  hostPath(path, sizeof path, utf8Name);
  auto nameStart = static_cast<int32_t>(std::strlen(path) - std::strlen(utf8Name));
  int32_t named = plat::fileCreateNamed(path, nameStart);
  CHECK(named > 0);
  CHECK_INT(plat::fileWrite(named, "x", 1), 1);
  plat::fileClose(named);
  CHECK_INT(plat::fileCreateNew(path, nameStart, true), plat::kFileExists);
#if defined(_WIN32)
  wchar_t wide[600];
  CHECK(MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, 600) > 0);
  CHECK(GetFileAttributesW(wide) != INVALID_FILE_ATTRIBUTES);
  CHECK(DeleteFileW(wide) != 0);
#else
  CHECK(std::remove(path) == 0);
#endif

  CHECK(plat::fileOpenRead(missing) <= 0);
  CHECK(plat::fileCreate(missing) <= 0);
  CHECK(plat::fileOpenRead(hostScratchPath()) <= 0);  // a directory is not a file
  CHECK(plat::fileOpenRead(nullptr) <= 0);
  CHECK_INT(plat::fileRead(-1, chunk, 10), -1);
  CHECK_INT(plat::fileWrite(0, chunk, 10), -1);

#if defined(_WIN32)
  CHECK(plat::directorySeparator() == '\\');
#else
  CHECK(plat::directorySeparator() == '/');
#endif
  CHECK(plat::isPathSeparator('/') && plat::isPathSeparator('\\') && plat::isPathSeparator(':'));
  CHECK(!plat::isPathSeparator('a') && !plat::isPathSeparator('.'));
}

void sockets() {
  SECTION("sockets on 127.0.0.1");
  CHECK_INT(plat::netStartup(), 0);
  CHECK(!plat::netBlockingCallInProgress());

  uint32_t address = 0;
  CHECK_INT(plat::resolveIpv4("localhost", &address), 0);
  CHECK_INT(address, kLoopback);
  CHECK_INT(plat::resolveIpv4("127.0.0.1", &address), 0);
  CHECK_INT(address, kLoopback);
  char name[256];
  CHECK_INT(plat::localHostName(name, sizeof name), 0);
  CHECK(name[0] != '\0');

  uint16_t port = 0;
  NativeSocket listener = listenOnLoopback(&port);
  if (!CHECK(listener != kNoSocket)) return;
  plat::SocketHandle client = connectLoopback(port);
  NativeSocket server = accept(listener, nullptr, nullptr);
  CHECK(server != kNoSocket);
  CHECK_INT(plat::socketLocalAddress(client, &address), 0);
  CHECK_INT(address, kLoopback);
  CHECK_INT(plat::socketSetSendTimeout(client, 1000), 0);

  CHECK_INT(plat::socketReady(client, plat::Readiness::readable), 0);
  CHECK_INT(plat::socketReadiness(client), plat::kReadyWritable);
#ifndef _WIN32
  int delayed = 0;  // delayed acknowledgements, as after a command sent
  setsockopt(static_cast<int>(client), IPPROTO_TCP, TCP_QUICKACK, &delayed, sizeof delayed);
#endif
  const char greeting[] = "220 greeting\r\n";
  CHECK_INT(send(server, greeting, sizeof greeting - 1, 0), static_cast<long>(sizeof greeting - 1));
  CHECK(waitReady(client, plat::Readiness::readable));
  CHECK_INT(plat::socketReadiness(client), plat::kReadyReadable | plat::kReadyWritable);
  CHECK(receiveBytes(client, sizeof greeting - 1) == greeting);
  // Acknowledging at once: a one-off on Linux, which the server sees well
  // before the kernel's delay (40 ms or more) would end; on Windows every
  // segment from now on, where the system supports it (not under Wine).
#ifdef _WIN32
  CHECK(plat::socketAckNow(client) != 0);  // 1, or -1 where Windows refuses
#else
  CHECK_INT(plat::socketAckNow(client), 0);
  int unacknowledged = -1;
  for (int i = 0; i < 20 && unacknowledged != 0; ++i) {
    if (i > 0) usleep(1000);
    ioctl(server, SIOCOUTQ, &unacknowledged);
  }
  CHECK_INT(unacknowledged, 0);
#endif
  CHECK_INT(plat::socketSend(client, "QUIT\r\n", 6), 6);
  char got[16] = {0};
  CHECK_INT(recv(server, got, sizeof got - 1, 0), 6);
  CHECK_TEXT(got, "QUIT\r\n");
  // A connection the peer has closed reads as readable, then as its end.
  closeNative(server);
  CHECK(waitReady(client, plat::Readiness::readable));
  CHECK_INT(plat::socketReceive(client, got, sizeof got), 0);
  CHECK_INT(plat::socketClose(client, 0), 0);
  // The test on a closed handle fails instead of reporting "not ready".
  CHECK_INT(plat::socketReady(client, plat::Readiness::writable), -1);
  CHECK_INT(plat::socketReadiness(client), -1);
  CHECK_INT(plat::socketAckNow(client), -1);

  // A port nobody listens on: refused at once when blocking, through the
  // error state when not.
  closeNative(listener);
  plat::SocketHandle refused = 0;
  CHECK_INT(plat::socketOpen(&refused), 0);
  CHECK_INT(plat::socketConnect(refused, kLoopback, port), 10061);
  plat::socketClose(refused, 0);
  CHECK_INT(plat::socketOpen(&refused), 0);
  CHECK_INT(plat::socketSetNonBlocking(refused, true), 0);
  int32_t rc = plat::socketConnect(refused, kLoopback, port);
  CHECK(rc == plat::kWsaWouldBlock || rc == 10061);
  if (rc == plat::kWsaWouldBlock) CHECK(waitReady(refused, plat::Readiness::error));
  plat::socketClose(refused, 0);

  plat::netCleanup();
}

// Resolution of numeric addresses of both families, and a connection over
// the IPv6 loopback as the transport makes it (socket of the address's
// family, non-blocking connect), then a refused one.
void ipv6Sockets() {
  SECTION("resolution and sockets on ::1");
  CHECK_INT(plat::netStartup(), 0);
  plat::NetAddress found[4];
  int32_t count = 0;
  CHECK_INT(plat::resolveAll("::1", found, 4, &count), 0);
  CHECK_INT(count, 1);
  CHECK_INT(found[0].family, plat::kFamilyIpv6);
  CHECK_INT(found[0].bytes[15], 1);
  CHECK_INT(plat::resolveAll("127.0.0.1", found, 4, &count), 0);
  CHECK_INT(found[0].family, plat::kFamilyIpv4);
  CHECK_INT(found[0].bytes[0], 127);

  uint16_t port = 0;
  NativeSocket listener = listenOnIpv6Loopback(&port);
  if (listener == kNoSocket) {
    std::printf("   (no IPv6 loopback here: no connection)\n");
    plat::netCleanup();
    return;
  }
  plat::NetAddress loopback{};
  loopback.family = plat::kFamilyIpv6;
  loopback.bytes[15] = 1;
  plat::SocketHandle client = 0;
  CHECK_INT(plat::socketOpenFamily(&client, plat::kFamilyIpv6), 0);
  CHECK_INT(plat::socketSetNonBlocking(client, true), 0);
  int32_t rc = plat::socketConnectTo(client, loopback, port);
  CHECK(rc == 0 || rc == plat::kWsaWouldBlock);
  CHECK(waitReady(client, plat::Readiness::writable));
  CHECK_INT(plat::socketPendingError(client), 0);
  CHECK_INT(plat::socketSetNonBlocking(client, false), 0);
  NativeSocket server = accept(listener, nullptr, nullptr);
  CHECK(server != kNoSocket);
  const char greeting[] = "+OK over IPv6\r\n";
  CHECK_INT(send(server, greeting, sizeof greeting - 1, 0), static_cast<long>(sizeof greeting - 1));
  CHECK(receiveBytes(client, sizeof greeting - 1) == greeting);
  closeNative(server);
  CHECK_INT(plat::socketClose(client, 0), 0);

  // Nothing listens any more: the error the connect left says "refused".
  closeNative(listener);
  CHECK_INT(plat::socketOpenFamily(&client, plat::kFamilyIpv6), 0);
  CHECK_INT(plat::socketSetNonBlocking(client, true), 0);
  rc = plat::socketConnectTo(client, loopback, port);
  if (rc == plat::kWsaWouldBlock) {
    CHECK(waitReady(client, plat::Readiness::error));
    rc = plat::socketPendingError(client);
  }
  CHECK_INT(rc, 10061);
  plat::socketClose(client, 0);
  plat::netCleanup();
}

// The Linux-side server named by --peer-port: a native program reached
// from this one across the boundary (Wine to Linux when built for Windows).
void nativePeer() {
  SECTION("native server on 127.0.0.1");
  CHECK_INT(plat::netStartup(), 0);
  plat::SocketHandle client = connectLoopback(static_cast<uint16_t>(options.peerPort));
  if (client != 0) {
    const std::string greeting = "220 native greeting\r\n";
    CHECK(receiveBytes(client, static_cast<int32_t>(greeting.size())) == greeting);
    CHECK_INT(plat::socketSend(client, "QUIT\r\n", 6), 6);
    const std::string bye = "221 bye\r\n";
    CHECK(receiveBytes(client, static_cast<int32_t>(bye.size())) == bye);
    char rest[8];
    CHECK(waitReady(client, plat::Readiness::readable));
    CHECK_INT(plat::socketReceive(client, rest, sizeof rest), 0);
    CHECK_INT(plat::socketClose(client, 0), 0);
  }
  plat::netCleanup();
}

// The login digests (CNG on Windows, libcrypto elsewhere) against the
// published vectors.
void digests() {
  SECTION("digests");
  using namespace qel::test;
  uint8_t out[64];
  for (const auto& v : kSha256Vectors) {
    std::string data = vectorBytes(v.data);
    CHECK(plat::sha256(data.data(), data.size(), out));
    CHECK_TEXT(hexOf(out, 32).c_str(), v.digest);
  }
  for (const auto& v : kHmacVectors) {
    std::string key = vectorBytes(v.key);
    std::string data = vectorBytes(v.data);
    CHECK(plat::hmacSha256(key.data(), key.size(), data.data(), data.size(), out));
    CHECK_TEXT(hexOf(out, 32).c_str(), v.mac);
  }
  for (const auto& v : kPbkdf2Vectors) {
    CHECK(plat::pbkdf2Sha256(v.password, std::strlen(v.password), v.salt, std::strlen(v.salt), v.iterations, out, 64));
    CHECK_TEXT(hexOf(out, 64).c_str(), v.derived);
  }
  uint8_t first[16] = {};
  uint8_t second[16] = {};
  CHECK(plat::secureRandom(first, sizeof first) && plat::secureRandom(second, sizeof second));
  CHECK(hexOf(first, 16) != hexOf(second, 16));
}

// Names in the charsets mail uses, through iconv or the code pages of
// MultiByteToWideChar, come out as the same UTF-8; a name cut short ends
// with a whole character.
void charsets() {
  SECTION("charsets");
  struct Row {
    const char* charset;
    const char* bytes;
    const char* utf8;
  };
  static const Row kRows[] = {
      {"windows-1251", "\xF4\xE0\xE9\xEB", "\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB"},
      {"koi8-r", "\xC6\xC1\xCA\xCC", "\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB"},
      {"ISO-8859-5", "\xE4\xD0\xD9\xDB", "\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB"},
      {"iso-8859-2", "\xAF\xF3\xB3\xE6", "\xC5\xBB\xC3\xB3\xC5\x82\xC4\x87"},
      {"Shift_JIS", "\x95\xF1\x8D\x90\x8F\x91\x5C", "\xE5\xA0\xB1\xE5\x91\x8A\xE6\x9B\xB8\\"},
      {"euc-jp", "\xCA\xF3\xB9\xF0\xBD\xF1", "\xE5\xA0\xB1\xE5\x91\x8A\xE6\x9B\xB8"},
      {"iso-2022-jp", "\x1B$BJs9p=q\x1B(B.txt", "\xE5\xA0\xB1\xE5\x91\x8A\xE6\x9B\xB8.txt"},
      {"csISO2022JP", "\x1B$B%F%9%H\x1B(B", "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88"},
      {"gb2312", "\xB1\xA8\xB8\xE6", "\xE6\x8A\xA5\xE5\x91\x8A"},
      {"gb18030", "\xB1\xA8\xB8\xE6", "\xE6\x8A\xA5\xE5\x91\x8A"},
      {"big5", "\xB3\xF8\xA7i", "\xE5\xA0\xB1\xE5\x91\x8A"},
      {"euc-kr", "\xBA\xB8\xB0\xED\xBC\xAD", "\xEB\xB3\xB4\xEA\xB3\xA0\xEC\x84\x9C"},
      {"ks_c_5601-1987", "\xBA\xB8", "\xEB\xB3\xB4"},
  };
  char out[64];
  for (const Row& row : kRows) {
    int32_t n = plat::charsetToUtf8(row.charset, row.bytes, static_cast<int32_t>(std::strlen(row.bytes)), out, 64);
    if (!CHECK_INT(n, static_cast<long>(std::strlen(row.utf8)))) std::printf("   charset %s\n", row.charset);
    CHECK_TEXT(out, row.utf8);
  }
  CHECK_INT(plat::charsetToUtf8("windows-1251", "\xF4\xE0\xE9", 3, out, 5), 4);
  CHECK_TEXT(out, "\xD1\x84\xD0\xB0");
  CHECK_INT(plat::charsetToUtf8("x-no-such-charset", "a", 1, out, 64), -1);
  CHECK_INT(plat::charsetToUtf8("utf-8//ignore", "a", 1, out, 64), -1);
  CHECK(!plat::charsetKnown("x-no-such-charset") && plat::charsetKnown("KOI8-R"));
}

// Both builds speak TLS; a CA file that is not there is its own failure,
// before anything goes to the peer.
void tls() {
  SECTION("tls");
  plat::SocketHandle handle = 0;
  CHECK_INT(plat::netStartup(), 0);
  CHECK_INT(plat::socketOpen(&handle), 0);
  char reason[200] = "";
  bool caFileFailed = false;
  plat::TlsOptions tlsOptions{"localhost", true, "no-such-ca-file.pem", 1000};
  plat::TlsSession* session = plat::tlsCreate(handle, tlsOptions, reason, sizeof reason, &caFileFailed);
  CHECK(session == nullptr);
  CHECK(plat::tlsAvailable());
  CHECK(caFileFailed);
  CHECK(reason[0] != '\0');
  CHECK_INT(plat::socketClose(handle, 0), 0);
  plat::netCleanup();
}

void alerts() {
#if defined(_WIN32)
  SECTION("alert");
  // On Windows the alert is a message box; the guard refuses the window, so
  // the call returns at once and the attempt is counted.
  int before = hostWindowCount();
  plat::alert("Info", "platform check");
  CHECK_INT(hostWindowCount(), before + 1);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--zone") == 0 && i + 1 < argc) {
      options.zone = argv[++i];
    } else if (std::strcmp(argv[i], "--peer-port") == 0 && i + 1 < argc) {
      options.peerPort = std::atoi(argv[++i]);
    } else {
      std::printf("unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  if (!hostGuardWindows() || !hostMakeScratch()) {
    std::printf("cannot set up\n");
    return 2;
  }
  formatting();
  timeAndLock();
  memory();
  files();
  sockets();
  ipv6Sockets();
  if (options.peerPort > 0) nativePeer();
  tls();
  digests();
  charsets();
  alerts();
  hostRemoveScratch();
  return checkSummary("platform_check");
}

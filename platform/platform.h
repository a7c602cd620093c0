// The operating-system layer. Everything above this file is the same on every
// OS; posix/ and win32/ each provide these functions.
//
// Conventions kept by every backend:
// - socket and resolver failures come back as the Windows Sockets error number
//   (10061 refused, 11001 unknown host ...), so callers see one set of codes;
// - file handles are above 0 when valid;
// - nothing here throws or raises a signal in the host process.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace qel::plat {

// ---- sockets -------------------------------------------------------------

// A socket handle as the channel record keeps it: 32 bits wide on every
// platform. Whether a handle is still open is tracked by the caller.
using SocketHandle = uint32_t;

// Windows Sockets error numbers the library itself tests for.
constexpr int32_t kWsaWouldBlock = 10035;
constexpr int32_t kWsaNotSocket = 10038;
constexpr int32_t kWsaNotInitialised = 10093;

// Starts and ends the socket layer. netStartup returns 0 or an error number.
int32_t netStartup();
void netCleanup();

// Whether a blocking socket call is in progress on this thread (only ever
// true on old Windows Sockets stacks; elsewhere always false).
bool netBlockingCallInProgress();

// Opens an IPv4 TCP socket. Returns 0 and the handle, or an error number.
int32_t socketOpen(SocketHandle* handle);

// Switches non-blocking mode on or off. Returns 0 or an error number.
int32_t socketSetNonBlocking(SocketHandle handle, bool on);

// Starts a connection to address:port (both in host byte order). Returns 0,
// or an error number (kWsaWouldBlock while a non-blocking connect goes on).
int32_t socketConnect(SocketHandle handle, uint32_t address, uint16_t port);

enum class Readiness { readable, writable, error };

// Zero-time-out readiness test: 1 when the socket is in the tested state,
// 0 when it is not, -1 when the test itself failed.
int32_t socketReady(SocketHandle handle, Readiness kind);

// Both directions in one zero-time-out test, as a receive needs them:
// kReadyReadable and kReadyWritable bits, or -1 when the test itself failed.
constexpr int32_t kReadyReadable = 1;
constexpr int32_t kReadyWritable = 2;
int32_t socketReadiness(SocketHandle handle);

// Acknowledges at once the data received so far, instead of after the
// delayed-acknowledgement timer (40 ms on Linux, 200 ms on Windows): a
// sender that holds back a short write until its earlier data is
// acknowledged (the Nagle algorithm) can send it now. 0: done, to be asked
// again before the next wait; 1: the socket acknowledges every segment at
// once from now on; -1: not available on this socket.
int32_t socketAckNow(SocketHandle handle);

// Waits up to ms milliseconds for the socket to become readable, without
// taking the library lock: the pause between two readiness tests of a wait
// loop ends as soon as data arrives. Returns as the readiness test does.
int32_t socketWaitReadable(SocketHandle handle, uint32_t ms);

// One socket of a multi-socket wait: what is waited for, and what was found.
struct SocketWait {
  SocketHandle handle;
  bool readable;  // wait for data (or the end of the connection)
  bool writable;  // wait until a send can go out (or a connect has ended)
  bool ready;     // set by socketWaitAny: the socket is ready or in error
};

// Waits up to ms milliseconds until one of the count sockets is ready as
// asked (an error condition counts as ready), without taking the library
// lock. Marks every ready entry; returns their number, 0 when the time ran
// out (or a signal cut the wait short), -1 when the wait itself failed.
int32_t socketWaitAny(SocketWait* entries, int32_t count, uint32_t ms);

// Sends up to length bytes. Returns the count sent, or -(error number).
// Never raises SIGPIPE.
int32_t socketSend(SocketHandle handle, const void* data, int32_t length);

// Receives up to length bytes. Returns the count (> 0), 0 when the peer has
// closed the connection, or -(error number).
int32_t socketReceive(SocketHandle handle, void* data, int32_t length);

// Bounds how long one blocking send may wait for the peer to take data, so
// a peer that stops reading cannot hold the caller for ever. 0 = no bound.
int32_t socketSetSendTimeout(SocketHandle handle, uint32_t ms);

// Sets the linger option (on, seconds) and closes. Returns 0 or an error
// number.
int32_t socketClose(SocketHandle handle, int32_t lingerSeconds);

// ---- IPv6 and IPv4 alike ----
// An address as the resolver gives it. bytes hold the address in network
// byte order: 4 of them for IPv4, 16 for IPv6.
constexpr uint8_t kFamilyIpv4 = 4;
constexpr uint8_t kFamilyIpv6 = 6;
struct NetAddress {
  uint8_t family;
  uint8_t bytes[16];
  uint32_t scopeId;  // the zone of a link-local IPv6 address, else 0
};

// Opens a TCP socket of the family given. Returns 0 and the handle, or an
// error number.
int32_t socketOpenFamily(SocketHandle* handle, uint8_t family);

// Starts a connection to address:port (port in host byte order). Returns as
// socketConnect does.
int32_t socketConnectTo(SocketHandle handle, const NetAddress& address, uint16_t port);

// The error a failed connection left on the socket (0: none), as an error
// number; an error number too when it cannot be read.
int32_t socketPendingError(SocketHandle handle);

// Every TCP address of a host name or numeric address (IPv6 written without
// brackets), in the resolver's order, at most room of them. Returns 0 with
// *count >= 1, or an error number (11001 host not found ...).
int32_t resolveAll(const char* name, NetAddress* found, int32_t room, int32_t* count);

// Local IPv4 address of a socket, host byte order. Returns 0 or an error
// number.
int32_t socketLocalAddress(SocketHandle handle, uint32_t* address);

// Resolves a host name to its first IPv4 address (host byte order). Returns
// 0 or an error number (11001 host not found ...).
int32_t resolveIpv4(const char* name, uint32_t* address);

// The local host name into buffer (room bytes, NUL included). Returns 0 or
// an error number; an empty name is not an error here.
int32_t localHostName(char* buffer, int32_t room);

// ---- time ----------------------------------------------------------------

// Milliseconds since an arbitrary start, wrapping at 2^32, plus the test
// offset below.
uint32_t tickCount();

// The same count read more cheaply, at the clock's own tick (a few ms): at
// most that much behind tickCount. For bounds set once per message line,
// where a fine clock read would cost more than the line's own work.
uint32_t tickCountCoarse();

// Test hook: adds offset to every tick count, so tests can run across the
// 32-bit wrap.
void setTickOffset(uint32_t offset);

void sleepMs(uint32_t ms);

// Gives up the rest of the time slice.
void yield();

struct LocalTime {
  int year;
  int month;      // 1..12
  int dayOfWeek;  // 0 = Sunday
  int day;        // 1..31
  int hour;
  int minute;
  int second;
  int utcOffsetMinutes;  // east of UTC positive, daylight saving included
};

void localTime(LocalTime* out);

// ---- process ---------------------------------------------------------------

// The id of the calling process.
uint32_t processId();

// Fills out with count bytes that another process, or a later call, will
// not repeat: the system's random source where it has one, else a mix of
// clocks, ids and a counter.
void randomBytes(uint8_t* out, int32_t count);

// ---- the library lock -----------------------------------------------------

void lockCreate();
void lockEnter();
void lockLeave();
void lockDelete();

// ---- memory ---------------------------------------------------------------

// Zero-filled block; null on failure.
void* memoryAllocate(std::size_t size);
void memoryFree(void* block);

// Test hook: after `allowed` more blocks, memoryAllocate fails until the
// hook is called again; -1 (the start) never fails.
void setMemoryRefusal(int32_t allowed);

// ---- files ----------------------------------------------------------------

// Opens an existing file for reading, denying writers where the OS can.
// Returns a handle above 0, or a value of 0 or below on failure.
int32_t fileOpenRead(const char* path);

// Creates or truncates a file for writing. Handle above 0, or 0 or below.
int32_t fileCreate(const char* path);

// Creates or truncates a file like fileCreate, where the bytes of path from
// nameStart on are a UTF-8 file name (on Windows through the wide-character
// calls; the directory before it is in the system's code page).
int32_t fileCreateNamed(const char* path, int32_t nameStart);

// Creates a file for writing only when no file of that name exists, in one
// step, so that nobody else's file is ever truncated; the bytes of path
// from nameStart on are a UTF-8 file name when utf8Name is set (as for
// fileCreateNamed), else the path is in the system's code page. Returns a
// handle above 0, kFileExists when a file (or directory) of that name is
// there, or -1 on any other failure.
constexpr int32_t kFileExists = 0;
int32_t fileCreateNew(const char* path, int32_t nameStart, bool utf8Name);

// Reads up to length bytes: the count, 0 at the end, -1 on failure.
int32_t fileRead(int32_t handle, void* data, int32_t length);

// Writes length bytes: the count written, or -1 on failure.
int32_t fileWrite(int32_t handle, const void* data, int32_t length);

void fileClose(int32_t handle);

// Whether path names the very file open as handle (the same file, however
// the path is spelt); false when path names no file.
bool sameFile(int32_t handle, const char* path);

// The directory separator of this OS: '\\' on Windows, '/' elsewhere.
char directorySeparator();

// Whether c separates path components: '\\', '/' and ':' on every OS
// (Windows file calls take '/' as well).
bool isPathSeparator(char c);

// ---- text ---------------------------------------------------------------

// Largest number of characters one formatted text may have (as with the
// Windows formatter the library was designed around).
constexpr int32_t kFormatLimit = 1023;

// printf-style formatting into buffer, cut at kFormatLimit characters and at
// room - 1, always NUL-terminated when room > 0. Returns the length written.
int32_t formatText(char* buffer, int32_t room, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// The same with a va_list.
int32_t formatTextV(char* buffer, int32_t room, const char* format, va_list args);

// Shows a diagnostic alert: a message box on Windows, one line on stderr
// elsewhere ("<title>: <text>").
void alert(const char* title, const char* text);

}  // namespace qel::plat

// Translation of POSIX errno values and resolver codes into the Windows
// Sockets error numbers that the library reports on every platform.
#pragma once

#include <cstdint>

namespace qel::plat {

// errno of a socket call -> Windows Sockets error number (10004 .. 10093).
// Unknown values give 10050 ("Network error.").
int32_t wsaFromErrno(int error);

// getaddrinfo() result -> resolver error number (11001 .. 11004), or a
// socket error number for EAI_SYSTEM and EAI_MEMORY.
int32_t wsaFromResolver(int code, int savedErrno);

}  // namespace qel::plat

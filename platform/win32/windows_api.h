// The Windows headers as the backend uses them: the plain kernel and user
// interface plus Windows Sockets (winsock2.h and ws2tcpip.h, linked against
// ws2_32, for getaddrinfo and IPv6), without the min/max macros that would
// clash with the C++ library. The calls the library makes are those of
// Windows Sockets 1.1, plus getaddrinfo, freeaddrinfo and IPv6 sockets.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

// Room for every channel's socket in one select set (the default is 64).
#ifndef FD_SETSIZE
#define FD_SETSIZE 128
#endif

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

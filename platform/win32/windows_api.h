// The Windows headers as the backend uses them: the plain kernel and user
// interface plus Windows Sockets 1.1 (winsock.h, linked against wsock32),
// without the min/max macros that would clash with the C++ library.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>
#include <winsock.h>

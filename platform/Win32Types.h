// The handful of Win32 names the serial layer and the engine keep (types, status codes, wait
// results), so that code written against the Windows communications API reads the same on Linux.
// On Windows they are the system's own, from <windows.h>.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#else

#include <cstdint>

using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD MAXDWORD = 0xFFFFFFFFu;

// Results of a wait.
constexpr DWORD WAIT_OBJECT_0 = 0x00000000u;
constexpr DWORD WAIT_TIMEOUT = 0x00000102u;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// Status codes, with their Win32 values.
constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_INVALID_FUNCTION = 1;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr LONG ERROR_NOT_READY = 21;
constexpr LONG ERROR_BAD_COMMAND = 22;
constexpr LONG ERROR_GEN_FAILURE = 31;
constexpr LONG ERROR_NOT_SUPPORTED = 50;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_BROKEN_PIPE = 109;
constexpr LONG ERROR_OPERATION_ABORTED = 995;
constexpr LONG ERROR_IO_INCOMPLETE = 996;
constexpr LONG ERROR_IO_PENDING = 997;
constexpr LONG ERROR_IO_DEVICE = 1117;
constexpr LONG ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr LONG ERROR_ALREADY_INITIALIZED = 1247;
constexpr LONG ERROR_TIMEOUT = 1460;
constexpr LONG E_INVALIDARG = static_cast<LONG>(0x80070057u);

// Message-box answers and styles the console uses.
constexpr int IDOK = 1;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

#endif

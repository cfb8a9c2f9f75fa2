// The Windows scalar vocabulary the manager is written in. Interface headers of
// this folder include no POSIX header: the Linux code lives in posix/.
#pragma once

#include <cstdint>

using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using WORD = std::uint16_t;
using BOOL = int;
using BYTE = std::uint8_t;
using REGSAM = std::uint32_t;

#ifndef TRUE
inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
#endif

inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
inline constexpr DWORD STILL_ACTIVE = 259;

// WaitForSingleObject results.
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED = 0x80;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

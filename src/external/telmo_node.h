// Calls of the messaging library about the node itself: its no-write mode and
// the registration of tasks. Both keep their data in the registry, under the
// product key.
#pragma once

#include <string_view>

#include "platform/win_types.h"

/// The product's registry key under HKEY_LOCAL_MACHINE.
inline constexpr const char* kTelmoProductKey = "SOFTWARE\\Zarvelco\\TELMO";

/// The node's no-write mode: the REG_DWORD "TELMONoWriteMode" under the
/// product key (as a signed number); 0 when the key has no such value; -1 when
/// it cannot be told (no product key, a value of another type, a registry that
/// cannot be read).
int ObtainNoWriteMode();

/// Registers tasks: creates the key "Tasks\<first>" under the product key
/// (and the keys above it that are missing) and stores the six texts, in the
/// order given, as the REG_SZ values "Task1" to "Task6". Returns the Win32
/// error, 0 on success; ERROR_INVALID_NAME when `first` is empty or holds a
/// backslash.
DWORD TELMO_AddTasksToRegistry(std::string_view first, std::string_view second, std::string_view third,
                               std::string_view fourth, std::string_view fifth, std::string_view sixth);

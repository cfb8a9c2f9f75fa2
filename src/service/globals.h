// Process-wide names of the manager.
#pragma once

inline constexpr const char* kOwnServiceName = "TELMOManager";       ///< dispatcher, event source, services file
inline constexpr const char* kInstalledServiceName = "AutoStartTELMO";
inline constexpr const char* kServiceDisplayName = "Zarvel Telmo Manager";

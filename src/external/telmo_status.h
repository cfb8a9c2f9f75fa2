// The messaging library's status block: a severity word and the (facility,
// code) pairs loaded, in the order loaded, so that (15017, 15022) travel
// together. Routines load an error and return; callers test the block.
//
// The severity word holds the code last loaded (always above 0 for an error),
// so "System error %d" lines built from it name that code, and a block loaded
// with (4, 4012) by the send-message call has 4012 in its severity word.
#pragma once

#include <array>
#include <cstdint>
#include <string>

struct StatusCode {
  std::int32_t facility = 0;
  std::int32_t code = 0;
  friend bool operator==(const StatusCode&, const StatusCode&) = default;
};

struct StatusBlock {
  static constexpr std::size_t kMaxCodes = 8;

  std::int32_t severity = 0;  ///< above 0: an error is loaded
  std::uint32_t count = 0;    ///< codes held (at most kMaxCodes; later ones are dropped)
  std::array<StatusCode, kMaxCodes> codes{};

  [[nodiscard]] bool failed() const noexcept { return severity > 0; }
  [[nodiscard]] bool holds(std::int32_t facility, std::int32_t code) const noexcept;
  /// "(15,15017)(15,15022)" and the message texts; empty when clear.
  [[nodiscard]] std::string describe() const;
};

void TELMO_SERVER_INITBLK(StatusBlock& block) noexcept;
void TELMO_CLIENT_INITBLK(StatusBlock& block) noexcept;
void TELMO_SERVER_LDBLK(std::int32_t facility, std::int32_t code, StatusBlock& block) noexcept;
void TELMO_CLIENT_LDBLK(std::int32_t facility, std::int32_t code, StatusBlock& block) noexcept;
/// Loads every code `from` holds into `to`, in order.
void TELMO_LoadCodes(const StatusBlock& from, StatusBlock& to) noexcept;

/// The message table: the text of a (facility, code) pair, a generic text for
/// a code the table does not know.
[[nodiscard]] std::string TELMO_StatusText(std::int32_t facility, std::int32_t code);

/// Facilities.
inline constexpr std::int32_t kFacilitySystem = 1;      ///< code: errno of the failed call
inline constexpr std::int32_t kFacilityMemory = 3;
inline constexpr std::int32_t kFacilityWatchdog = 4;
inline constexpr std::int32_t kFacilityMutex = 14;
inline constexpr std::int32_t kFacilityManagement = 15;
inline constexpr std::int32_t kFacilityLogon = 121;     ///< code: Win32 logon error
inline constexpr std::int32_t kFacilityClient = 124;

// Once-per-period log slots: a line limited by a slot is written the first
// time, or when more than the period has passed since it was last written.
// Times are the messaging library's 32-bit millisecond stamps; differences
// are unsigned, so the clock may wrap. A one-shot slot ignores the time: once
// used it stays used.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace telmo {

class PeriodSlots {
 public:
  static constexpr std::size_t kSlots = 8;
  static constexpr std::uint32_t kPeriod = 300000;  ///< five minutes

  PeriodSlots() { Reset(); }

  /// True when the slot lets a line through at `now`; the slot is then
  /// marked used at `now`. `one_shot` slots let one line through, ever.
  bool Allow(std::size_t slot, std::uint32_t now, bool one_shot = false) noexcept {
    if (slot >= kSlots) return false;
    Slot& s = slots_[slot];
    const bool armed = s.armed.load(std::memory_order_relaxed);
    const bool elapsed = !one_shot && static_cast<std::uint32_t>(now - s.last.load(std::memory_order_relaxed)) > kPeriod;
    if (!armed && !elapsed) return false;
    s.armed.store(false, std::memory_order_relaxed);
    s.last.store(now, std::memory_order_relaxed);
    return true;
  }

  void Reset() noexcept {
    for (auto& s : slots_) {
      s.armed.store(true, std::memory_order_relaxed);
      s.last.store(0, std::memory_order_relaxed);
    }
  }

 private:
  struct Slot {
    std::atomic<bool> armed{true};
    std::atomic<std::uint32_t> last{0};
  };
  std::array<Slot, kSlots> slots_;
};

/// The process-wide slots: 4 limits the invalid-TT line; 1, 2, 3, 5 and 6 the
/// watchdog lines (6 is one-shot); 0 and 7 serve nothing.
PeriodSlots& LogSlots();

}  // namespace telmo

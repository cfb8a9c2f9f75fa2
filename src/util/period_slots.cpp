#include "util/period_slots.h"

namespace telmo {
PeriodSlots& LogSlots() {
  static PeriodSlots slots;
  return slots;
}
}  // namespace telmo

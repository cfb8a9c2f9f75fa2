#include "config/manager_log.h"

namespace telmo {
void DiagLine(const char* category, int code, std::string_view text) {
  if (!DiagnosticsWanted()) return;
  StatusBlock block;
  TELMO_DIAG_LOG(category, code, text, block);
}
}  // namespace telmo

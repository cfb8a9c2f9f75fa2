#include "console.h"

namespace telmoctl {
void AddRegCommands(CLI::App&, Console&) {}
}  // namespace telmoctl

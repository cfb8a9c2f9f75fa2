#include "console.h"

namespace telmoctl {
void AddSvcCommands(CLI::App&, Console&) {}
}  // namespace telmoctl

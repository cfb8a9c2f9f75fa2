#include "console.h"

namespace telmoctl {
void AddServicesCommands(CLI::App&, Console&) {}
}  // namespace telmoctl

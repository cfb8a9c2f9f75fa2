// The simulation services start: run once by the request worker before it
// serves. Old simulator logs left in the product's log folders under the
// program folders make it stop the simulator, point the simulator's log
// configuration at the common program data folder and delete the old logs;
// then the simulator and "UALDS" are started (when their start type is
// automatic and they are not running).
//
// The Windows program folders are the stand-ins' environment names, with
// defaults under $TELMO_STATE_DIR (see the README):
//   C:\Program Files (x86)  %ProgramFiles(x86)%   $TELMO_STATE_DIR/ProgramFilesX86
//   C:\Program Files        %ProgramFiles%        $TELMO_STATE_DIR/ProgramFiles
#pragma once

#include <array>
#include <functional>
#include <string_view>

namespace telmo::housekeeping {

inline constexpr const char* kSimulatorService = "Zarvel Process Simulator";
inline constexpr const char* kUaldsService = "UALDS";
inline constexpr const char* kSimulatorLogConfig =
    "%TELMOROOTQ%\\io\\tlo_opc_uai\\Zarvelco.Components.OPC.UA.log4net";
inline constexpr const char* kSimulatorLogLine =
    "<file value=\"%PROGRAMDATA%\\Zarvelco\\TELMO\\log\\ZarvelProcessSimulator.log\" / >";
inline constexpr const char* kSimulatorLogName = "ZarvelProcessSimulator.log";
/// The old log folders, in the order they are looked at.
inline constexpr std::array<const char*, 2> kOldSimulatorLogFolders = {
    "%ProgramFiles(x86)%\\Zarvelco\\TELMO\\log",
    "%ProgramFiles%\\Zarvelco\\TELMO\\log",
};

/// The operations the start is made of (the Windows service utilities by
/// default); tests wrap them to count what was done.
struct SimulationSteps {
  std::function<void(std::string_view service)> stop_service;
  std::function<void(std::string_view path, std::string_view first, const char* second, std::string_view line)>
      replace_lines;
  std::function<void(std::string_view file)> delete_file;
  std::function<void(std::string_view service)> start_service;
};
[[nodiscard]] SimulationSteps WindowsServiceSteps();

void StartSimulationServices(const SimulationSteps& steps);

}  // namespace telmo::housekeeping

/// StartSimulationServices with the Windows service utilities.
void StartSimulationServices();

#include "housekeeping/simulation.h"

#include <string>

#include "external/telmo_env.h"
#include "housekeeping/service_utils.h"
#include "config/file_lookups.h"
#include "util/text.h"

namespace telmo::housekeeping {

SimulationSteps WindowsServiceSteps() {
  return SimulationSteps{
      [](std::string_view service) { StopWindowsService(service); },
      [](std::string_view path, std::string_view first, const char* second, std::string_view line) {
        ReplaceMatchingLines(path, first, second, line);
      },
      [](std::string_view file) { DeleteFileLogged(file, nullptr, true); },
      [](std::string_view service) { StartWindowsService(service); },
  };
}

void StartSimulationServices(const SimulationSteps& steps) {
  std::string config_path;
  std::string replacement;
  (void)TELMO_MGMT_ExpandFileName(kSimulatorLogConfig, config_path);
  (void)TELMO_MGMT_ExpandFileName(kSimulatorLogLine, replacement);
  const std::string pattern = Format("%s*", kSimulatorLogName);

  for (const char* folder : kOldSimulatorLogFolders) {
    std::string directory;
    (void)TELMO_MGMT_ExpandFileName(folder, directory);
    bool first_call = true;
    NextFileState scan;
    std::string old_log;
    if (!TELMO_MGMT_NextFile(first_call, directory, pattern, scan, old_log)) continue;
    steps.stop_service(kSimulatorService);
    steps.replace_lines(config_path, "<file value", kSimulatorLogName, replacement);
    do {
      steps.delete_file(old_log);
    } while (TELMO_MGMT_NextFile(first_call, directory, pattern, scan, old_log));
  }

  steps.start_service(kSimulatorService);
  steps.start_service(kUaldsService);
}

}  // namespace telmo::housekeeping

void StartSimulationServices() { telmo::housekeeping::StartSimulationServices(telmo::housekeeping::WindowsServiceSteps()); }

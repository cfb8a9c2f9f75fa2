#include "config/mgmt_params.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/server_file.h"
#include "external/telmo_env.h"
#include "external/telmo_log.h"
#include "platform/files.h"
#include "util/text.h"

namespace telmo::config {
namespace {
constexpr const char* kSource = "telmo_manager_utils";

// One required number on the next line: kMissing when the file has ended,
// kBad when the field is empty, longer than 30 or not a number.
enum class LineResult { kOk, kMissing, kBad };
LineResult ReadNumberLine(LineReader& reader, const char* display_name, int& value) {
  const auto line = reader.NextLine();
  if (!line) return LineResult::kMissing;
  std::string text;
  if (ReadField(*line, 1, {display_name, true, 30}, reader.line_number(), text) != FieldStatus::kPresent ||
      !ParseInteger(text, value)) {
    return LineResult::kBad;
  }
  return LineResult::kOk;
}
}  // namespace

std::optional<std::string> ParametersFilePath() {
  const auto directory = k42_getenv("TELMOMGMT");
  if (!directory) return std::nullopt;
  return *directory + "\\" + kParametersFileName;
}

void ReadParameters(MgmtParameters& parameters, StatusBlock& status) {
  const auto path = ParametersFilePath();
  if (!path) return;
  RemoveInterruptedWrites(kParametersFileName);
  int error = 0;
  auto reader = LineReader::Open(*path, error);
  if (!reader) {
    // No file: the values stay. A file that is there but refused says why.
    if (error != ENOENT) {
      TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_ReadParameters", __LINE__, "Error %s opening parameters file %s\n",
                            LineReader::ErrorText(error).c_str(), path->c_str());
    }
    return;
  }

  struct Line {
    const char* display_name;
    std::atomic<int>& target;
    int bad_code;
  };
  const Line lines[] = {{"Servers process check period", parameters.check_period, 15021},
                        {"Timeout", parameters.timeout, 15044}};
  for (const Line& l : lines) {
    int value = 0;
    switch (ReadNumberLine(*reader, l.display_name, value)) {
      case LineResult::kMissing:
        TELMO_SERVER_LDBLK(kFacilitySystem, ENODATA, status);
        TELMO_SERVER_LDBLK(kFacilityManagement, 15003, status);
        return;
      case LineResult::kBad:
        TELMO_SERVER_LDBLK(kFacilityManagement, l.bad_code, status);
        return;
      case LineResult::kOk:
        l.target.store(value);
        break;
    }
  }
}

bool WriteParameters(const MgmtParameters& parameters, StatusBlock& status) {
  const std::string path = ParametersFilePath().value_or(kParametersFileName);
  const std::string content = Format("%d\n%d\n", parameters.check_period.load(), parameters.timeout.load());
  errno = 0;
  const bool have_directory = k42_getenv("TELMOMGMT").has_value();
  const Result<void> written =
      have_directory ? platform::WriteFileAtomically(path, content, 0644) : Result<void>(Error{2});
  if (!written) {
    const int error = !have_directory ? ENOENT : (errno != 0 ? errno : EIO);
    std::printf("error opening %s\n", path.c_str());
    std::fflush(stdout);
    TELMO_MGMT_LogMessage(kSource, "TELMO_MGMT_WriteParameters", __LINE__, "Error %s opening parameters file %s\n",
                          std::strerror(error), path.c_str());
    TELMO_SERVER_LDBLK(kFacilitySystem, error, status);
    TELMO_SERVER_LDBLK(kFacilityManagement, 15001, status);
    return false;
  }
  return true;
}

}  // namespace telmo::config

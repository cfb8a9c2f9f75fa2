// libFuzzer target: the server file loader over arbitrary bytes, with the
// write-and-load-again property of load_server_property.h.
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "load_server_property.h"

namespace {
std::string g_dir;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // Logs and state go to a directory of our own, never to the system's,
  // removed when the run ends (a crash leaves it to look at).
  g_dir = (std::filesystem::temp_directory_path() / "telmo-fuzz-XXXXXX").string();
  if (::mkdtemp(g_dir.data()) == nullptr) return 0;
  ::setenv("TELMO_STATE_DIR", g_dir.c_str(), 1);
  ::setenv("TELMO_LOG_DIR", g_dir.c_str(), 1);
  ::unsetenv("TELMO_DIAG");
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string broken =
      telmo::fuzz::CheckLoadServer(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!broken.empty()) {
    std::fprintf(stderr, "property broken: %s\n", broken.c_str());
    std::abort();
  }
  return 0;
}

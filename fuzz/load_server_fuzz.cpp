// libFuzzer target: the server file loader over arbitrary bytes, with the
// write-and-load-again property of load_server_property.h.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "load_server_property.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // Logs and state go to a directory of our own, never to the system's.
  std::string dir = (std::filesystem::temp_directory_path() / "telmo-fuzz-XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) return 0;
  ::setenv("TELMO_STATE_DIR", dir.c_str(), 1);
  ::setenv("TELMO_LOG_DIR", dir.c_str(), 1);
  ::unsetenv("TELMO_DIAG");
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

// The test binary, which is also the child some tests start:
//   process_test --process-child argv ARGS...   prints each ARG as "[ARG]"
//   process_test --process-child fds            prints its open descriptors
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <gtest/gtest.h>

#include "process_test_support.h"

namespace {

int RunChild(int argc, char** argv) {
  const std::string_view mode = argc > 2 ? argv[2] : "";
  if (mode == "argv") {
    for (int i = 3; i < argc; ++i) std::printf("[%s]\n", argv[i]);
    return 0;
  }
  if (mode == "fds") {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return 2;
    while (const dirent* e = ::readdir(dir)) {
      const std::string_view name = e->d_name;
      if (name != "." && name != ".." && std::atoi(e->d_name) != ::dirfd(dir)) std::printf("%s\n", e->d_name);
    }
    ::closedir(dir);
    return 0;
  }
  return 3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]) == telmo::test::kChildFlag) return RunChild(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

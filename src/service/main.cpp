#include <string>
#include <vector>

#include "service/entry.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return telmo::service::ManagerMain(args);
}

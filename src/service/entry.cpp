#include "service/entry.h"

#include <cstdio>

namespace telmir::service {

bool once_requested(const std::vector<std::string_view>& args) {
  for (std::string_view a : args) {
    if (a == "--once") return true;
  }
  return false;
}

int program_main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  (void)once_requested(args);
  std::fputs("telmir ready\n", stdout);
  return 0;
}

}  // namespace telmir::service

#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace telmir::service {

// True when any argument equals "--once" exactly.
bool once_requested(const std::vector<std::string_view>& args);

// Program entry: configuration, run mode, exit status (0, 1, 2).
int program_main(int argc, char** argv);

}  // namespace telmir::service

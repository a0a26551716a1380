#pragma once

// Program entry: the command line, the run mode and the exit status.

#include <string>
#include <string_view>
#include <vector>

namespace telmir::service {

// Exit statuses.
inline constexpr int kExitSuccess = 0;      // the one-cycle run completed
inline constexpr int kExitRunError = 1;     // a run mode returned an error
inline constexpr int kExitConfigError = 2;  // the configuration could not be loaded

// True when any argument equals "--once" exactly; every other argument is ignored.
bool once_requested(const std::vector<std::string_view>& args);

// Reads the command line (program name first), loads the configuration and runs the chosen
// mode; errors go to standard error as the message and a line feed. Returns the exit status.
int program_main(int argc, char** argv);

}  // namespace telmir::service

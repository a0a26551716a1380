#include "service/entry.h"

#include <cstdio>
#include <string>

#include "config/config.h"
#include "service/run.h"

namespace telmir::service {
namespace {

int report(const std::string& message, int status) {
  std::fputs(message.c_str(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  return status;
}

}  // namespace

int program_main(int argc, char** argv) {
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  const bool once = once_requested(args);

  auto config = config::load_config();
  if (!config) return report(config.error(), kExitConfigError);

  if (once) {
    auto done = run_once(*config);
    if (!done) return report(done.error(), kExitRunError);
    return kExitSuccess;
  }
  return report(run_service(*config), kExitRunError);
}

}  // namespace telmir::service

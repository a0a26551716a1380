#include "service/entry.h"

namespace telmir::service {

bool once_requested(const std::vector<std::string_view>& args) {
  for (std::string_view a : args) {
    if (a == "--once") return true;
  }
  return false;
}

}  // namespace telmir::service

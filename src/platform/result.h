#pragma once

#include <expected>
#include <string>

namespace telmir {

// Every operation that can fail returns its value or a one-line message.
template <class T>
using Result = std::expected<T, std::string>;

// Shorthand for the error side: `return fail(fmt::format(...));`
inline std::unexpected<std::string> fail(std::string message) {
  return std::unexpected<std::string>(std::move(message));
}

}  // namespace telmir

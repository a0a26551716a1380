#pragma once

#include <string>
#include <string_view>

namespace telmir::testing {

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "telmir-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const noexcept { return path_; }
  std::string operator/(const std::string& rest) const { return path_ + "/" + rest; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

// Whole-file helpers that abort the test run on failure (fixtures only).
std::string read_text(const std::string& path);
void write_text(const std::string& path, const std::string& text);
void append_text(const std::string& path, const std::string& text);

}  // namespace telmir::testing

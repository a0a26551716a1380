#include "service/readiness.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace telmir::service {
namespace {

namespace fs = std::filesystem;

class ReadinessMarker : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "telmir-ready-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    out_ = std::tmpfile();
    ASSERT_NE(out_, nullptr);
  }
  void TearDown() override {
    if (out_ != nullptr) std::fclose(out_);
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
  }
  std::string printed() {
    std::fflush(out_);
    std::rewind(out_);
    std::string text;
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, out_)) > 0) text.append(buf, n);
    return text;
  }
  static std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  fs::path dir_;
  std::FILE* out_ = nullptr;
};

TEST_F(ReadinessMarker, CreatesMissingDirectoriesAndHoldsExactlyReady) {
  fs::path file = dir_ / "a" / "b" / "c" / "ready";
  ASSERT_TRUE(write_readiness_marker(file.string(), out_).has_value());
  EXPECT_EQ(slurp(file), "ready\n");
  EXPECT_EQ(printed(), "telmir ready\n");
}

TEST_F(ReadinessMarker, ReplacesTheContentOfAnEarlierMarker) {
  fs::path file = dir_ / "ready";
  std::ofstream(file) << "left over by an earlier process, much longer than the marker\n";
  ASSERT_TRUE(write_readiness_marker(file.string(), out_).has_value());
  EXPECT_EQ(slurp(file), "ready\n");
}

TEST_F(ReadinessMarker, WithoutAFileOnlyTheLineIsPrinted) {
  ASSERT_TRUE(write_readiness_marker(std::nullopt, out_).has_value());
  EXPECT_EQ(printed(), "telmir ready\n");
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(ReadinessMarker, FailuresNameThePathAndPrintNothing) {
  std::ofstream(dir_ / "plain") << "x";
  fs::create_directory(dir_ / "taken");
  struct Case {
    std::string file;
    std::string message_start;
  };
  const Case cases[] = {
      {(dir_ / "plain" / "sub" / "ready").string(),
       "failed to create readiness directory " + (dir_ / "plain" / "sub").string() + ": "},
      {(dir_ / "taken").string(),
       "failed to write readiness marker " + (dir_ / "taken").string() + ": "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    auto r = write_readiness_marker(c.file, out_);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().rfind(c.message_start, 0), 0u) << r.error();
    EXPECT_GT(r.error().size(), c.message_start.size()) << "the system's reason is missing";
  }
  EXPECT_EQ(printed(), "");
}

}  // namespace
}  // namespace telmir::service

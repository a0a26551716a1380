#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "support/temp_dir.h"

extern char** environ;

namespace telmir::testing {
namespace {

bool controlled_name(std::string_view entry) {
  return entry.rfind("ORVANTE_", 0) == 0 || entry.rfind("GOV_", 0) == 0;
}

std::vector<std::string> build_environment(const Env& env) {
  std::vector<std::string> out;
  for (char** e = environ; *e != nullptr; ++e) {
    if (!controlled_name(*e)) out.emplace_back(*e);
  }
  for (const auto& [k, v] : env) out.push_back(k + "=" + v);
  return out;
}

std::atomic<int> g_counter{0};

}  // namespace

std::string telmir_binary() { return TELMIR_BINARY_PATH; }

void sleep_briefly() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

TelmirProcess::TelmirProcess(const Env& env, const std::vector<std::string>& args,
                             const std::string& work_dir) {
  int n = g_counter++;
  stdout_path_ = work_dir + "/telmir-" + std::to_string(n) + ".out";
  stderr_path_ = work_dir + "/telmir-" + std::to_string(n) + ".err";

  std::vector<std::string> argv_s = {telmir_binary()};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_s = build_environment(env);
  std::vector<char*> envp;
  for (auto& e : env_s) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, stdout_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  std::string old_cwd = std::filesystem::current_path().string();
  // posix_spawn has no portable working-directory action: change it around the call.
  std::filesystem::current_path(work_dir);
  int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  std::filesystem::current_path(old_cwd);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pid_ = -1;
    throw std::runtime_error(std::string("posix_spawn failed: ") + std::strerror(rc));
  }
}

TelmirProcess::~TelmirProcess() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int st = 0;
    ::waitpid(pid_, &st, 0);
  }
}

std::optional<int> TelmirProcess::wait_exit(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool TelmirProcess::running() { return !wait_exit(std::chrono::milliseconds(0)).has_value(); }

void TelmirProcess::send_signal(int sig) {
  if (pid_ > 0 && !status_) ::kill(pid_, sig);
}

std::string TelmirProcess::stdout_text() const { return read_text(stdout_path_); }
std::string TelmirProcess::stderr_text() const { return read_text(stderr_path_); }

bool TelmirProcess::wait_ready(std::chrono::milliseconds timeout) {
  return wait_until([&] { return stdout_text() == "telmir ready\n" || !running(); }, timeout) &&
         stdout_text() == "telmir ready\n";
}

namespace {

// Watch descriptors held by the process's inotify instances.
std::size_t inotify_watches(pid_t pid) {
  namespace fs = std::filesystem;
  std::size_t n = 0;
  std::error_code ec;
  std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& e : fs::directory_iterator(fd_dir, ec)) {
    std::error_code lec;
    auto target = fs::read_symlink(e.path(), lec);
    if (lec || target.string() != "anon_inode:inotify") continue;
    std::string info =
        read_text("/proc/" + std::to_string(pid) + "/fdinfo/" + e.path().filename().string());
    for (std::size_t at = info.find("inotify wd:"); at != std::string::npos;
         at = info.find("inotify wd:", at + 1)) {
      ++n;
    }
  }
  return n;
}

}  // namespace

bool TelmirProcess::wait_watching(std::size_t directories, std::chrono::milliseconds timeout) {
#if defined(__linux__)
  return wait_until([&] { return !running() || inotify_watches(pid_) >= directories; }, timeout) &&
         running();
#else
  (void)directories;
  (void)timeout;
  std::this_thread::sleep_for(std::chrono::seconds(1));
  return running();
#endif
}

OnceResult run_once(const Env& env, const std::string& work_dir,
                    std::chrono::milliseconds timeout) {
  TelmirProcess p(env, {"--once"}, work_dir);
  OnceResult r;
  auto st = p.wait_exit(timeout);
  r.status = st ? *st : -1;
  r.out = p.stdout_text();
  r.err = p.stderr_text();
  return r;
}

}  // namespace telmir::testing

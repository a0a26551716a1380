#pragma once

// Runs the built telmir program with a controlled environment: every ORVANTE_ and GOV_
// variable of the test's own environment is removed first, then the given ones are set.
// Standard output and standard error go to files so nothing blocks on a full pipe.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace telmir::testing {

using Env = std::map<std::string, std::string>;

// The path of the telmir executable built beside the tests.
std::string telmir_binary();

class TelmirProcess {
 public:
  // Starts the program; `work_dir` receives the output files (and is the working directory).
  TelmirProcess(const Env& env, const std::vector<std::string>& args, const std::string& work_dir);
  ~TelmirProcess();  // kills and reaps a process still running
  TelmirProcess(const TelmirProcess&) = delete;
  TelmirProcess& operator=(const TelmirProcess&) = delete;

  pid_t pid() const noexcept { return pid_; }
  bool started() const noexcept { return pid_ > 0; }

  // The exit status once the process ended within `timeout`; nothing while it still runs.
  // A process ended by a signal reports 128 + the signal number.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout);
  bool running();
  void send_signal(int sig);

  std::string stdout_text() const;
  std::string stderr_text() const;

  // Waits until standard output holds "telmir ready\n" (or the process ended).
  bool wait_ready(std::chrono::milliseconds timeout);

  // Waits until the service watches `directories` distinct directories. Readiness comes before
  // the watches, so a test that changes a file right after readiness waits for this first.
  // Linux reads the watch list from /proc; elsewhere it waits a fixed second.
  bool wait_watching(std::size_t directories, std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string stdout_path_;
  std::string stderr_path_;
};

struct OnceResult {
  int status = -1;  // -1: did not end in time (then killed)
  std::string out;
  std::string err;
};

// Runs `telmir --once` to its end (bounded by `timeout`).
OnceResult run_once(const Env& env, const std::string& work_dir,
                    std::chrono::milliseconds timeout = std::chrono::seconds(120));

void sleep_briefly();

// Polls `done` every 20 ms until it holds or `timeout` passes; returns its last answer.
template <class F>
bool wait_until(F done, std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    sleep_briefly();
  }
}

}  // namespace telmir::testing

#include "service/run.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "behavioral/behavioral.h"
#include "element/element.h"
#include "environment/environment.h"
#include "governance/chain_reader.h"
#include "governance/decision_verifier.h"
#include "governance/verification_queue.h"
#include "key/key.h"
#include "platform/channel.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/watcher.h"
#include "qa_chain/qa_chain.h"
#include "service/readiness.h"
#include "service/wake.h"
#include "spc/spc.h"

namespace telmir::service {
namespace {

// Everything the run mode owns for the life of the process.
struct RunState {
  RunState(const config::Config& c, const MonotonicClock& clock)
      : config(c),
        behavioural_timer(c.behavioral_interval, clock),
        element_timer(c.element_interval, clock) {}

  config::Config config;
  std::optional<qa::QaChainWriter> writer;
  std::optional<governance::ChainReader> reader;
  std::optional<spc::SpcState> spc;
  std::optional<governance::DecisionVerifier> verifier;
  element::ElementSummary elements;
  IntervalTimer behavioural_timer;
  IntervalTimer element_timer;
  // The snapshot the loop's first fingerprint comes from.
  environment::EnvironmentSnapshot baseline;
};

Result<void> append_snapshot(qa::QaChainWriter& writer,
                             const environment::EnvironmentSnapshot& snapshot) {
  auto appended = qa::append_environmental_snapshot(
      writer, snapshot.policy_rules_hash, snapshot.capability_registry_hash,
      environment::checks_object(snapshot.checks), snapshot.active_conditions, snapshot.overall);
  if (!appended) return fail(appended.error());
  return {};
}

// Read, queue, verify: the intake every cycle starts with.
Result<void> take_in_new_records(RunState& st, std::vector<json::Record> fresh) {
  auto queued = governance::enqueue_decisions(st.verifier->queue(), std::move(fresh), *st.writer);
  if (!queued) return queued;
  return governance::verify_queue(*st.verifier, st.reader->chain_history(), *st.spc, *st.writer);
}

Result<void> run_behavioural(RunState& st) {
  auto ran = behavioral::run_behavioural_analysis(st.config, st.reader->chain_history().span(),
                                                  *st.writer);
  if (!ran) return fail(ran.error());
  st.behavioural_timer.mark_finished();
  return {};
}

Result<void> run_elements(RunState& st) {
  auto summary = element::verify_elements(st.config, st.reader->chain_history().span(), *st.writer);
  if (!summary) return fail(summary.error());
  st.elements = std::move(*summary);
  st.element_timer.mark_finished();
  return {};
}

// The raised conditions first, then the critical element conditions, each once.
std::vector<std::string> conditions_to_merge(const RunState& st) {
  return environment::union_conditions(governance::raised_conditions(*st.verifier),
                                       element::critical_conditions(st.elements));
}

Result<std::unique_ptr<RunState>> first_run_cycle(const config::Config& config,
                                                  const MonotonicClock& clock) {
  auto st = std::make_unique<RunState>(config, clock);

  auto qa_key = key::ensure_qa_signing_key(config.qa_signing_key_path);
  if (!qa_key) return fail(qa_key.error());

  auto writer = qa::open_qa_chain(config.qa_chain_path, std::move(*qa_key));
  if (!writer) return fail(writer.error());
  st->writer.emplace(std::move(*writer));

  st->writer->set_build_info(config.binary_sha256, config.toolchain_version);

  st->reader.emplace(config.decision_chain_path);
  auto fresh = st->reader->read_new_records();
  if (!fresh) return fail(fresh.error());

  st->spc.emplace(spc::load_spc_state(config.spc_baseline_path, config.spc_min_decisions));
  auto primed = spc::prime_spc(*st->spc, st->reader->chain_history().span());
  if (!primed) return fail(primed.error());

  auto snapshot = environment::take_snapshot(config);

  auto reasons = environment::startup_gate_reasons(snapshot);
  if (!reasons.empty()) {
    return fail(fmt::format("telmir startup gate failed: {}", fmt::join(reasons, "; ")));
  }

  if (auto ok = append_snapshot(*st->writer, snapshot); !ok) return fail(ok.error());
  st->baseline = std::move(snapshot);

  st->verifier.emplace(config);
  auto queued =
      governance::enqueue_decisions(st->verifier->queue(), std::move(*fresh), *st->writer);
  if (!queued) return fail(queued.error());

  auto verified =
      governance::verify_queue(*st->verifier, st->reader->chain_history(), *st->spc, *st->writer);
  if (!verified) return fail(verified.error());

  const auto& raised = governance::raised_conditions(*st->verifier);
  if (!raised.empty()) {
    auto merged = environment::merge_conditions(environment::take_snapshot(config), raised);
    if (auto ok = append_snapshot(*st->writer, merged); !ok) return fail(ok.error());
    st->baseline = std::move(merged);
  }

  if (auto ok = run_behavioural(*st); !ok) return fail(ok.error());

  if (auto ok = run_elements(*st); !ok) return fail(ok.error());

  // Not the baseline: the first event cycle compares against a snapshot without these, so the
  // conditions reach the chain again from the loop.
  if (!element::critical_conditions(st->elements).empty()) {
    auto merged =
        environment::merge_conditions(environment::take_snapshot(config), conditions_to_merge(*st));
    if (auto ok = append_snapshot(*st->writer, merged); !ok) return fail(ok.error());
  }

  if (auto ok = write_readiness_marker(config); !ok) return fail(ok.error());
  return st;
}

// One loop cycle. `remembered` is the fingerprint of the last snapshot counted as recorded.
Result<void> loop_cycle(RunState& st, bool heartbeat, std::string& remembered) {
  auto fresh = st.reader->read_new_records();
  if (!fresh) return fail(fresh.error());
  if (auto ok = take_in_new_records(st, std::move(*fresh)); !ok) return ok;

  if (st.behavioural_timer.due()) {
    if (auto ok = run_behavioural(st); !ok) return ok;
  }
  if (st.element_timer.due()) {
    if (auto ok = run_elements(st); !ok) return ok;
  }

  auto snapshot =
      environment::merge_conditions(environment::take_snapshot(st.config), conditions_to_merge(st));
  std::string fingerprint = environment::snapshot_fingerprint(snapshot);
  if (heartbeat) {
    remembered = std::move(fingerprint);
    return append_snapshot(*st.writer, snapshot);
  }
  if (fingerprint == remembered) return {};
  if (auto ok = append_snapshot(*st.writer, snapshot); !ok) return ok;
  remembered = std::move(fingerprint);
  return {};
}

struct WatchedInput {
  const std::string* path;
  const char* failure;  // template: directory, watcher's error text
};

std::string serve(RunState& st) {
  auto [sender, notifications] = platform::make_channel<platform::WatchNotification>();
  // The handler holds the only sender: when the watcher's thread ends, the loop hears of it.
  auto watcher = platform::create_file_watcher(
      [tx = std::move(sender)](platform::WatchNotification n) mutable {
        tx.send(std::move(n));  // fails only once the loop is gone
      });
  if (!watcher) return fmt::format("failed to create file watcher: {}", watcher.error());

  const WatchedInput inputs[] = {
      {&st.config.policy_rules_path, "failed to watch policy directory {}: {}"},
      {&st.config.capability_registry_path, "failed to watch capability directory {}: {}"},
      {&st.config.decision_chain_path, "failed to watch governance chain directory {}: {}"},
  };
  for (const WatchedInput& in : inputs) {
    std::string dir = platform::parent_path(*in.path);
    if (dir.empty()) continue;
    if (auto ok = (*watcher)->watch(dir); !ok) {
      return fmt::format(fmt::runtime(in.failure), dir, ok.error());
    }
  }

  std::string remembered = environment::snapshot_fingerprint(st.baseline);
  for (;;) {
    Wake wake = wait_for_wake(notifications,
                              heartbeat_deadline(platform::monotonic_now(), st.config.heartbeat));
    if (wake.reason == WakeReason::kDisconnected) return "file watcher disconnected";
    auto ok = loop_cycle(st, wake.reason == WakeReason::kHeartbeat, remembered);
    if (!ok) return ok.error();
  }
}

}  // namespace

Result<void> run_once(const config::Config& config) {
  auto st = first_run_cycle(config, system_monotonic_clock());
  if (!st) return fail(st.error());
  return {};
}

std::string run_service(const config::Config& config) {
  return run_service(config, system_monotonic_clock());
}

std::string run_service(const config::Config& config, const MonotonicClock& clock) {
  auto st = first_run_cycle(config, clock);
  if (!st) return st.error();
  return serve(**st);
}

}  // namespace telmir::service

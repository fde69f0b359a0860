// hook-subagent-start, doctor: worker perches and what is left behind.
#include "commands/common.hpp"
#include "core/error.hpp"
#include "core/identity.hpp"
#include "core/ids.hpp"
#include "core/inbox.hpp"
#include "core/listener.hpp"
#include "core/sweep.hpp"
#include "os/clock.hpp"
#include "os/fs.hpp"
#include "os/io.hpp"
#include "os/lock.hpp"
#include "os/process.hpp"

#include <charconv>

namespace vell {

struct DoctorArgs {
  bool fix = false;
};

namespace {

constexpr std::int64_t k_stale_tmp_seconds = 600;

std::optional<std::uint64_t> parse_counter(const std::string& text) {
  std::string trimmed = text.substr(0, text.find_last_not_of(" \t\r\n") + 1);
  std::uint64_t value = 0;
  auto [p, ec] = std::from_chars(trimmed.data(), trimmed.data() + trimmed.size(), value);
  if (ec != std::errc{} || p != trimmed.data() + trimmed.size() || trimmed.empty()) {
    return std::nullopt;
  }
  return value;
}

// The highest N among the parent's nested workers PARENT-wN.
std::uint64_t highest_worker(const Perch& parent) {
  std::uint64_t highest = 0;
  auto names = os::list_dir(parent.nested());
  if (!names) {
    return 0;
  }
  std::string prefix = parent.id + "-w";
  for (const auto& name : *names) {
    if (name.rfind(prefix, 0) == 0) {
      if (auto n = parse_counter(name.substr(prefix.size()))) {
        highest = std::max(highest, *n);
      }
    }
  }
  return highest;
}

// Creates the next worker perch of `parent` under the counter lock; on any
// failure nothing of the worker is left behind.
Perch create_worker(const Store& store, const Perch& parent, const std::string& session_id) {
  os::FileLock lock(parent.working_counter_lock());
  if (auto ec = lock.acquire()) {
    throw_system("lock", parent.working_counter_lock(), ec);
  }
  std::uint64_t next = highest_worker(parent);
  if (auto text = os::read_file(parent.working_counter())) {
    if (auto counter = parse_counter(*text)) {
      next = std::max(next, *counter);
    }
  }
  if (auto ec = os::make_dir(parent.nested(), 0700)) {
    throw_system("create", parent.nested(), ec);
  }
  // mkdir is the final guard: a number taken by hand is skipped, never shared.
  Perch worker;
  for (int attempt = 0;; ++attempt) {
    ++next;
    worker = Perch{parent.id + "-w" + std::to_string(next), "", parent.id};
    worker.dir = parent.nested() + "/" + worker.id;
    if (auto problem = id_problem(worker.id)) {
      throw Error(k_exit_system, "the worker id '" + worker.id + "' " + *problem);
    }
    auto ec = os::make_new_dir(worker.dir, 0700);
    if (!ec) {
      break;
    }
    if (ec != std::errc::file_exists) {
      throw_system("create", worker.dir, ec);
    }
    if (attempt > 1000) {
      throw Error(k_exit_system, "cannot find a free worker number under '" + parent.dir + "'");
    }
  }
  try {
    for (const auto& dir : {worker.inbox(), worker.tmp()}) {
      if (auto ec = os::make_dir(dir, 0700)) {
        throw_system("create", dir, ec);
      }
    }
    // The host process that runs the hook (past its "sh -c" wrapper) lives as
    // long as the subagent's session; it is the best holder there is until
    // the worker polls. The wrapper itself exits at once and would make every
    // fresh worker look orphaned.
    PerchRecord record = holder_record(worker.id, os::caller_pid(), nullptr);
    record.state = std::string(k_state_working);
    record.session_id = session_id;
    record.parent = parent.id;
    write_record(store, worker, record);
    if (auto ec = os::touch(worker.ready())) {
      throw_system("write the ready marker", worker.ready(), ec);
    }
    if (auto ec = os::write_file_atomic(parent.working_counter(), std::to_string(next), store.durable())) {
      throw_system("write", parent.working_counter(), ec);
    }
  } catch (...) {
    (void)os::remove_tree(worker.dir);
    throw;
  }
  return worker;
}

void subagent_start(Context& ctx) {
  auto parent_id = os::get_env("VELL_PARENT_ID");
  if (!parent_id || parent_id->empty()) {
    say("vell hook-subagent-start: no_parent: VELL_PARENT_ID is not set; no worker perch created");
    return;
  }
  if (auto problem = id_problem(*parent_id)) {
    say("vell hook-subagent-start: no_parent: VELL_PARENT_ID '" + printable(*parent_id) + "' " + *problem +
        "; no worker perch created");
    return;
  }
  auto session = payload_session(read_payload());
  if (!session) {
    session = session_from_environment();
  }
  Store& store = ctx.store();
  auto parent = store.exists() ? store.find(*parent_id) : std::nullopt;
  if (!parent) {
    say("vell hook-subagent-start: no_parent: perch '" + *parent_id + "' does not exist; no worker perch created");
    return;
  }
  store.check_root();
  Perch worker = create_worker(store, *parent, session.value_or(""));
  os::write_stdout("VELL_WORKER_ID=" + worker.id + "\n" + "You are worker perch " + worker.id + " of " + parent->id +
                   ".\n" + "Listen for messages: vell poll " + worker.id + " --once\n" +
                   "Report to your parent: vell send " + parent->id + " " + worker.id + " < message\n");
  say("READY:" + worker.id + " (worker of " + parent->id + ")");
}

struct Finding {
  Perch perch;
  std::string why;
};

bool old_temporary(const std::string& path) {
  auto info = os::file_info(path);
  return info && info->kind == os::FileKind::regular && os::unix_now() - info->mtime_s > k_stale_tmp_seconds;
}

// Temporary files a crashed writer left: bodies in tmp/ and records being replaced.
std::vector<std::string> leftover_temporaries(const Perch& perch) {
  std::vector<std::string> found;
  if (auto names = os::list_dir(perch.tmp())) {
    for (const auto& name : *names) {
      if (old_temporary(perch.tmp() + "/" + name)) {
        found.push_back(perch.tmp() + "/" + name);
      }
    }
  }
  if (auto names = os::list_dir(perch.dir)) {
    for (const auto& name : *names) {
      if (name.find(".tmp.") != std::string::npos && old_temporary(perch.dir + "/" + name)) {
        found.push_back(perch.dir + "/" + name);
      }
    }
  }
  return found;
}

int run_doctor(Context& ctx, const DoctorArgs& args) {
  Store& store = ctx.store();
  if (!store.exists()) {
    say("vell doctor: no state root at " + store.root() + "; nothing to check");
    return k_exit_ok;
  }
  store.check_root();
  std::vector<Finding> stale;
  std::vector<Finding> orphans;
  std::vector<Finding> broken;
  std::vector<std::string> temporaries;
  for (const auto& perch : store.all()) {
    auto record = read_record(perch);
    const auto* rec = std::get_if<PerchRecord>(&record);
    bool listening = listener_running(perch);
    bool alive = listening || (rec != nullptr && holder_alive(*rec));
    for (auto& path : leftover_temporaries(perch)) {
      temporaries.push_back(std::move(path));
    }
    bool worker = is_worker_perch(perch, record);
    if (worker) {
      auto parent = worker_parent_perch(store, perch, record);
      if (!alive || !parent) {
        std::string why = !parent          ? "its parent perch is gone"
                          : rec != nullptr ? "holder pid " + std::to_string(rec->pid) + " is not running"
                                           : "no live holder";
        why += "; " + std::to_string(pending_messages(perch).size()) + " pending";
        orphans.push_back({perch, why});
        continue;
      }
    }
    if (rec == nullptr && !listening) {
      broken.push_back({perch, std::get<std::string>(record)});
      continue;
    }
    if (!alive && os::exists(perch.ready())) {
      stale.push_back({perch, "ready marker, but holder pid " + std::to_string(rec->pid) + " is not running"});
    }
  }

  for (const auto& f : stale) {
    say("stale listener: " + f.perch.id + " (" + f.why + ")");
  }
  if (!orphans.empty()) {
    say("orphan worker perches detected: " + std::to_string(orphans.size()));
    for (const auto& f : orphans) {
      say("  " + f.perch.id + " (" + f.why + ")");
    }
  }
  for (const auto& f : broken) {
    say("broken record: " + f.perch.id + ": " + f.why);
  }
  for (const auto& path : temporaries) {
    say("leftover temporary file: " + path);
  }
  std::size_t problems = stale.size() + orphans.size() + broken.size() + temporaries.size();
  if (problems == 0) {
    say("vell doctor: all perches healthy");
    return k_exit_ok;
  }
  if (!args.fix) {
    say("vell doctor: " + std::to_string(problems) + " problem(s) found; run 'vell doctor --fix' to repair");
    return k_exit_not_found;
  }
  for (const auto& f : stale) {
    clear_ready(f.perch);
    say("fixed: removed the stale ready marker of " + f.perch.id);
  }
  for (const auto& f : orphans) {
    auto result = sweep_worker(store, f.perch);
    if (!result.kept_aside.empty()) {
      say("fixed: swept orphan " + f.perch.id + "; its messages are kept in " + result.kept_aside);
    } else {
      say("fixed: swept orphan " + f.perch.id + "; " + std::to_string(result.moved) +
          " message(s) moved to its parent");
    }
  }
  for (const auto& path : temporaries) {
    (void)os::remove_file(path);
    say("fixed: removed " + path);
  }
  for (const auto& f : broken) {
    say("left alone: broken record of " + f.perch.id + " (repair or remove " + f.perch.record() + " by hand)");
  }
  return k_exit_ok;
}

} // namespace

void register_workers(CLI::App& app, Context& ctx, const CommandFilter& wanted) {
  if (wanted("hook-subagent-start")) {
    auto* hook = app.add_subcommand("hook-subagent-start", "Subagent-start hook: give the subagent a worker perch.");
    hook->footer("Reads the hook payload (JSON with session_id) on standard input; the parent perch is\n"
                 "VELL_PARENT_ID. Creates PARENT-wN nested under the parent (N from the parent's\n"
                 ".working-counter, taken under a lock) and prints its id and how to use it. Without a\n"
                 "usable parent it creates nothing and says no_parent (or 'could not ...') on standard\n"
                 "error. Always exits 0.");
    hook->callback([&ctx] {
      ctx.exit_code =
          run_hook("vell hook-subagent-start: could not create a worker perch: ", [&ctx] { subagent_start(ctx); });
    });
  }

  if (wanted("doctor")) {
    auto doctor_args = std::make_shared<DoctorArgs>();
    auto* doctor = app.add_subcommand("doctor", "Find stale listeners, orphan worker perches, broken records.");
    doctor->footer("Read-only unless --fix. Exit 0 when healthy or fixed, 1 when problems were found.\n"
                   "--fix removes stale ready markers and old temporary files, and sweeps orphan worker\n"
                   "perches: their pending messages move to the parent's inbox (or, without a parent,\n"
                   "are kept under ROOT/orphaned/), never deleted. A live worker is never touched.");
    doctor->add_flag("--fix", doctor_args->fix, "repair what was found");
    doctor->callback([&ctx, doctor_args] { ctx.exit_code = run_doctor(ctx, *doctor_args); });
  }
}

} // namespace vell

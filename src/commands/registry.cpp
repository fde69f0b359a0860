// setup, list, stop, reboot: making perches, seeing them, ending listeners.
#include "commands/common.hpp"
#include "core/error.hpp"
#include "core/identity.hpp"
#include "core/ids.hpp"
#include "core/inbox.hpp"
#include "core/listener.hpp"
#include "os/fs.hpp"
#include "os/lock.hpp"
#include "os/process.hpp"

namespace vell {

struct SetupArgs {
  std::string id;
};

struct ListArgs {
  bool verbose = false;
  bool all = false;
};

struct StopArgs {
  std::string id;
  bool all = false;
};

struct RebootArgs {
  std::optional<std::string> id;
};

Perch ensure_perch(Store& store, const std::string& id) {
  store.ensure_root();
  auto found = store.find(id);
  Perch perch = found ? *found : store.create(id);
  for (const auto& dir : {perch.inbox(), perch.tmp()}) {
    if (auto ec = os::make_dir(dir, 0700)) {
      throw_system("create", dir, ec);
    }
  }
  return perch;
}

void announce_perch(Store& store, const Perch& perch, std::optional<std::uint64_t> holder) {
  auto session = session_from_environment();
  if (holder) {
    auto previous = read_record(perch);
    PerchRecord record = holder_record(perch.id, *holder, &previous);
    if (session) {
      record.session_id = *session;
    }
    write_record(store, perch, record);
  }
  if (session) {
    write_session_map(store, *session, perch.id);
  }
  if (auto ec = os::touch(perch.ready())) {
    throw_system("write the ready marker", perch.ready(), ec);
  }
}

int run_setup(Context& ctx, const SetupArgs& args) {
  require_valid_id("perch id", args.id);
  session_from_environment(); // refuse a bad session id before touching the disk
  Perch perch = ensure_perch(ctx.store(), args.id);
  // The record is rewritten only while holding the listener lock, so a poll
  // starting meanwhile can never have its holder overwritten; a running
  // listener stays the holder and its record is left as it is.
  os::FileLock lock(perch.listener_lock());
  std::error_code ec;
  bool no_listener = lock.try_acquire(ec);
  if (ec) {
    throw_system("lock", perch.listener_lock(), ec);
  }
  announce_perch(ctx.store(), perch, no_listener ? std::optional(os::caller_pid()) : std::nullopt);
  say("READY:" + args.id);
  return k_exit_ok;
}

int run_list(Context& ctx, const ListArgs& args) {
  Store& store = ctx.store();
  std::size_t shown = 0;
  if (store.exists()) {
    store.check_root();
    for (const auto& perch : store.all()) {
      auto record = read_record(perch);
      bool active = perch_active(perch, record);
      if (!active && !args.all) {
        continue;
      }
      const auto* problem = std::get_if<std::string>(&record);
      std::string line = perch.parent ? "  " : "";
      line += problem != nullptr && !active ? "BROKEN:" : active ? "ACTIVE:" : "OFFLINE:";
      line += perch.id;
      if (perch.parent) {
        line += " (worker of " + *perch.parent + ")";
      }
      if (args.verbose) {
        line += " pending=" + std::to_string(pending_messages(perch).size());
        if (problem != nullptr) {
          line += " broken: " + *problem;
        } else {
          line += " " + serialize_record(std::get<PerchRecord>(record));
        }
      } else if (problem != nullptr) {
        line += " (" + *problem + ")";
      }
      say(line);
      ++shown;
    }
  }
  if (shown == 0) {
    say(args.all ? "No perches." : "No online listeners. Pass --all to include offline.");
  }
  return k_exit_ok;
}

// Ends one perch's listener and takes its ready marker away; false when the
// listener could not be ended (reported on standard error).
bool stop_perch(const Perch& perch) {
  switch (end_listener(perch)) {
  case EndOutcome::unknown:
    say("vell: perch '" + perch.id + "' is locked by a listener its record does not name; not signalled");
    return false;
  case EndOutcome::failed: say("vell: the listener of perch '" + perch.id + "' did not end"); return false;
  case EndOutcome::none:
  case EndOutcome::stopped:
  case EndOutcome::killed: break;
  }
  clear_ready(perch);
  say("STOPPED:" + perch.id);
  return true;
}

int run_stop(Context& ctx, const StopArgs& args) {
  if (args.all == !args.id.empty()) {
    throw Error(k_exit_usage, "stop: name one perch id, or pass --all",
                {"Run 'vell stop --help' to see how to call it."});
  }
  Store& store = ctx.store();
  if (!args.all) {
    require_valid_id("perch id", args.id);
    auto perch = store.exists() ? store.find(args.id) : std::nullopt;
    if (!perch) {
      say("STOPPED:" + args.id + " (no such perch; nothing was running)");
      return k_exit_ok;
    }
    return stop_perch(*perch) ? k_exit_ok : k_exit_system;
  }
  bool ok = true;
  if (store.exists()) {
    store.check_root();
    for (const auto& perch : store.all()) {
      ok = stop_perch(perch) && ok;
    }
  }
  say("STOPPED:all");
  return ok ? k_exit_ok : k_exit_system;
}

int run_reboot(Context& ctx, const RebootArgs& args) {
  Store& store = ctx.store();
  std::string id = resolve_own_id(store, args.id, "name the perch: vell reboot YOUR_PERCH_ID");
  Perch perch = store.require(id);
  switch (end_listener(perch)) {
  case EndOutcome::unknown:
  case EndOutcome::failed:
    throw Error(k_exit_system, "cannot end the listener of perch '" + id + "'; nothing was changed");
  default: break;
  }
  clear_ready(perch);
  say("REBOOTED:" + id + " (listener ended; pending messages kept; start a fresh 'vell poll " + id + "')");
  return k_exit_ok;
}

void register_registry(CLI::App& app, Context& ctx, const CommandFilter& wanted) {
  if (wanted("setup")) {
    auto setup_args = std::make_shared<SetupArgs>();
    auto* setup = app.add_subcommand("setup", "Set up perch ID: its inbox, ready marker and record.");
    setup->footer("Prints READY:ID on standard error. The record names the process that ran 'vell setup'\n"
                  "as the holder (past any 'sh -c' wrapper, so an agent's tool call names the agent),\n"
                  "and the perch is listed ACTIVE while that process lives; a running 'vell poll ID' takes over as "
                  "holder. Running setup\n"
                  "again refreshes the marker and record and never touches pending messages. With\n"
                  "VELL_SESSION_ID set, the perch is recorded as that session's perch.");
    setup->add_option("id", setup_args->id, "perch id")->required();
    setup->callback([&ctx, setup_args] { ctx.exit_code = run_setup(ctx, *setup_args); });
  }

  if (wanted("list")) {
    auto list_args = std::make_shared<ListArgs>();
    auto* list = app.add_subcommand("list", "List perches with a live listener (on standard error).");
    list->footer("ACTIVE:ID for each perch with a ready marker and a live holder; workers are\n"
                 "indented under their parent. Prints nothing on standard output.");
    list->add_flag("--verbose", list_args->verbose, "add pending=N and the perch record");
    list->add_flag("--all", list_args->all, "include offline perches (OFFLINE:ID, BROKEN:ID)");
    list->callback([&ctx, list_args] { ctx.exit_code = run_list(ctx, *list_args); });
  }

  if (wanted("stop")) {
    auto stop_args = std::make_shared<StopArgs>();
    auto* stop = app.add_subcommand("stop", "End a perch's listener and remove its ready marker.");
    stop->footer("Prints STOPPED:ID (STOPPED:all with --all). Pending messages are never deleted.\n"
                 "Only a process that holds the perch's listener lock and is named by its record is\n"
                 "signalled (SIGTERM, then SIGKILL after 3 s).");
    stop->add_option("id", stop_args->id, "perch id");
    stop->add_flag("--all", stop_args->all, "stop every perch");
    stop->callback([&ctx, stop_args] { ctx.exit_code = run_stop(ctx, *stop_args); });
  }

  if (wanted("reboot")) {
    auto reboot_args = std::make_shared<RebootArgs>();
    auto* reboot = app.add_subcommand("reboot", "End a perch's listener and clear its listener state.");
    reboot->footer("Keeps the inbox, so that a fresh 'vell poll' can take over. Without ID, the perch\n"
                   "of VELL_SESSION_ID.");
    reboot->add_option("id", reboot_args->id, "perch id (default: your own perch)");
    reboot->callback([&ctx, reboot_args] { ctx.exit_code = run_reboot(ctx, *reboot_args); });
  }
}

} // namespace vell

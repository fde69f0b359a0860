// session-resume, cleanup-session: the host's session-start and session-end hooks.
//
// Hooks must never block or break the host: they read a bounded payload,
// treat a malformed one as a no-op with one line on standard error, and exit 0.
#include "commands/common.hpp"
#include "core/error.hpp"
#include "core/identity.hpp"
#include "core/ids.hpp"
#include "core/inbox.hpp"
#include "core/listener.hpp"
#include "core/sweep.hpp"
#include "os/fs.hpp"
#include "os/io.hpp"

namespace vell {

namespace {

// Whether a perch belongs to `session`: its record says so, or the session map names it.
bool in_session(const Perch& perch, const std::variant<PerchRecord, std::string>& record, const std::string& session,
                const std::optional<std::string>& mapped) {
  const auto* rec = std::get_if<PerchRecord>(&record);
  return (rec != nullptr && rec->session_id == session) || (mapped && *mapped == perch.id);
}

void session_resume(Context& ctx) {
  auto session = payload_session(read_payload());
  Store& store = ctx.store();
  if (!store.exists()) {
    return;
  }
  store.check_root();
  std::optional<std::string> mapped = session ? read_session_map(store, *session) : std::nullopt;
  std::string text;
  std::size_t count = 0;
  for (const auto& perch : store.all()) {
    auto record = read_record(perch);
    if (is_worker_perch(perch, record) || std::holds_alternative<std::string>(record)) {
      continue; // a worker belongs to its subagent, never to a resumed session
    }
    if (session && !in_session(perch, record, *session, mapped)) {
      continue;
    }
    auto pending = pending_messages(perch).size();
    text += "- perch " + perch.id + ": " + std::to_string(pending) + " pending message" + (pending == 1 ? "" : "s") +
            "; listen with: vell poll " + perch.id + " --setup\n";
    ++count;
  }
  if (count == 0) {
    return;
  }
  os::write_stdout("vell: your perch" + std::string(count == 1 ? "" : "es") +
                   " from before (messages sent meanwhile are waiting):\n" + text +
                   "Reply with: vell reply SENDER YOUR_PERCH_ID < message\n");
}

void cleanup_session(Context& ctx) {
  auto session = payload_session(read_payload());
  if (!session) {
    session = session_from_environment();
  }
  if (!session) {
    say("vell cleanup-session: no session id (empty payload, VELL_SESSION_ID not set); nothing to clean");
    return;
  }
  Store& store = ctx.store();
  if (!store.exists()) {
    return;
  }
  store.check_root();
  auto mapped = read_session_map(store, *session);
  std::size_t ended = 0;
  std::size_t swept = 0;
  for (const auto& perch : store.all()) {
    if (!os::is_directory(perch.dir)) {
      continue; // swept with its parent's workers already
    }
    auto record = read_record(perch);
    if (!in_session(perch, record, *session, mapped)) {
      continue;
    }
    if (is_worker_perch(perch, record)) {
      auto result = sweep_worker(store, perch);
      if (!result.kept_aside.empty()) {
        say("vell cleanup-session: messages of worker '" + perch.id + "' kept in " + result.kept_aside);
      }
      ++swept;
      continue;
    }
    auto outcome = end_listener(perch);
    if (outcome == EndOutcome::failed || outcome == EndOutcome::unknown) {
      say("vell cleanup-session: could not end the listener of '" + perch.id + "'");
      continue;
    }
    clear_ready(perch);
    ++ended;
  }
  if (auto ec = os::remove_file(store.session_map(*session))) {
    throw_system("remove", store.session_map(*session), ec);
  }
  say("CLEANED:" + *session + " (" + std::to_string(ended) + " perch(es) stopped, " + std::to_string(swept) +
      " worker perch(es) swept; pending messages kept)");
}

} // namespace

void register_sessions(CLI::App& app, Context& ctx, const CommandFilter& wanted) {
  if (wanted("session-resume")) {
    auto* resume = app.add_subcommand("session-resume", "Session-start hook: show the session's perches.");
    resume->footer("Reads the hook payload (JSON with session_id) on standard input, possibly empty.\n"
                   "Prints the session's normal perches (all normal perches without a payload) with\n"
                   "their pending counts and how to listen, on standard output. Never names a worker\n"
                   "perch. Always exits 0; a malformed payload is a no-op with a line on standard error.");
    resume->callback(
        [&ctx] { ctx.exit_code = run_hook("vell session-resume: nothing done: ", [&ctx] { session_resume(ctx); }); });
  }

  if (wanted("cleanup-session")) {
    auto* cleanup = app.add_subcommand("cleanup-session", "Session-end hook: end the session's listeners.");
    cleanup->footer("Reads the hook payload (JSON with session_id; else VELL_SESSION_ID). Ends the\n"
                    "session's listeners, sweeps its worker perches into their parents' inboxes, removes\n"
                    "the session map. Pending messages are always kept. Always exits 0.");
    cleanup->callback(
        [&ctx] { ctx.exit_code = run_hook("vell cleanup-session: nothing done: ", [&ctx] { cleanup_session(ctx); }); });
  }
}

} // namespace vell

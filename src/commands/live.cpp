// live commune / signoff / psyche-download: talking to an agent's Psyche.
//
// The Psyche of perch SELF listens on the perch "SELF-psyche"; what it saves
// of SELF's context lives in ROOT/agents/SELF/live_context.md.
#include "commands/common.hpp"
#include "core/error.hpp"
#include "core/event.hpp"
#include "core/identity.hpp"
#include "core/ids.hpp"
#include "core/inbox.hpp"
#include "os/clock.hpp"
#include "os/fs.hpp"
#include "os/io.hpp"

namespace vell {

struct CommuneArgs {
  std::optional<std::string> self_id;
};

struct SignoffArgs {
  std::vector<std::string> operands; // [SELF_ID] [true|false]
};

struct DownloadArgs {
  std::optional<std::string> self_id;
};

namespace {

Perch require_psyche(Store& store, const std::string& self) {
  std::string psyche_id = self + "-psyche";
  if (auto problem = id_problem(psyche_id)) {
    throw Error(k_exit_usage, "the Psyche perch id '" + psyche_id + "' " + *problem);
  }
  auto psyche = store.exists() ? store.find(psyche_id) : std::nullopt;
  if (!psyche) {
    throw Error(k_exit_not_found, "no Psyche perch '" + psyche_id + "' for '" + self + "'; nothing was sent",
                {"start " + self + "'s Psyche first; it listens on the perch " + psyche_id});
  }
  return *psyche;
}

int run_commune(Context& ctx, const CommuneArgs& args) {
  Store& store = ctx.store();
  std::string self = resolve_own_id(store, args.self_id, "name yourself: vell live commune YOUR_PERCH_ID < message");
  Perch psyche = require_psyche(store, self);
  std::string body = read_body();
  std::string event = commune_event(self, os::utc_now_iso(), body) + "\n";
  file_message(store, psyche, self, event, Deferred::no);
  say("SENT:" + psyche.id + " (commune)");
  return k_exit_ok;
}

int run_signoff(Context& ctx, const SignoffArgs& args) {
  auto is_flag = [](const std::string& s) { return s == "true" || s == "false"; };
  std::optional<std::string> self_id;
  const auto& ops = args.operands;
  // "signoff true" is the legacy form: the flag alone, the perch resolved.
  if (!ops.empty() && !is_flag(ops[0])) {
    self_id = ops[0];
  }
  std::size_t flag_at = self_id ? 1 : 0;
  if (ops.size() > flag_at + 1 || (ops.size() == flag_at + 1 && !is_flag(ops[flag_at]))) {
    throw Error(k_exit_usage, "live signoff: expected [SELF_ID] [true|false]",
                {"Run 'vell live signoff --help' to see how to call it."});
  }
  Store& store = ctx.store();
  std::string self = resolve_own_id(store, self_id, "name yourself: vell live signoff YOUR_PERCH_ID");
  Perch psyche = require_psyche(store, self);
  file_message(store, psyche, self, "INIT_SIGNOFF\n", Deferred::no);
  say("SENT:" + psyche.id + " (INIT_SIGNOFF)");
  return k_exit_ok;
}

int run_download(Context& ctx, const DownloadArgs& args) {
  Store& store = ctx.store();
  std::string self = resolve_own_id(store, args.self_id, "name yourself: vell live psyche-download YOUR_PERCH_ID");
  std::string path = store.agent_dir(self) + "/live_context.md";
  auto text = os::read_file(path);
  if (!text) {
    if (text.error() == std::errc::no_such_file_or_directory) {
      throw Error(k_exit_not_found, "no saved Psyche context for '" + self + "' yet (" + path + " does not exist)");
    }
    throw_system("read", path, text.error());
  }
  if (auto ec = os::write_stdout(*text)) {
    throw Error(k_exit_system, "cannot write to standard output: " + ec.message());
  }
  return k_exit_ok;
}

} // namespace

void register_live(CLI::App& app, Context& ctx, const CommandFilter& wanted) {
  if (!wanted("live")) {
    return;
  }
  auto* live = app.add_subcommand("live", "Talk to your Psyche, the companion agent that keeps your context.");
  live->require_subcommand(1);

  auto commune_args = std::make_shared<CommuneArgs>();
  auto* commune = live->add_subcommand("commune", "Tell your Psyche what you are doing (body on standard input).");
  commune->footer("Delivers <EVENT type=\"commune\" from=\"SELF\" timestamp=\"...\">BODY</EVENT> to the perch\n"
                  "SELF-psyche, the body on one line (newlines as <br>; & < > \" as entities).\n"
                  "No Psyche perch: exit 1. Without SELF_ID, the perch of VELL_SESSION_ID.");
  commune->add_option("self_id", commune_args->self_id, "your own perch id");
  commune->callback([&ctx, commune_args] { ctx.exit_code = run_commune(ctx, *commune_args); });

  auto signoff_args = std::make_shared<SignoffArgs>();
  auto* signoff = live->add_subcommand("signoff", "Ask your Psyche to save your context and end (INIT_SIGNOFF).");
  signoff->footer("A first operand 'true' or 'false' is the legacy flag, accepted for compatibility\n"
                  "and otherwise ignored; it is never taken as a perch id.");
  signoff->add_option("operands", signoff_args->operands, "[SELF_ID] [true|false]");
  signoff->callback([&ctx, signoff_args] { ctx.exit_code = run_signoff(ctx, *signoff_args); });

  auto download_args = std::make_shared<DownloadArgs>();
  auto* download = live->add_subcommand("psyche-download", "Print the context your Psyche saved for you.");
  download->footer("Prints ROOT/agents/SELF/live_context.md on standard output; none yet: exit 1.");
  download->add_option("self_id", download_args->self_id, "your own perch id");
  download->callback([&ctx, download_args] { ctx.exit_code = run_download(ctx, *download_args); });
}

} // namespace vell

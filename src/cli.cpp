#include "cli.hpp"

#include "commands/common.hpp"
#include "core/error.hpp"
#include "os/io.hpp"

#include <CLI/CLI.hpp>

#include <exception>

namespace vell {
namespace {

constexpr const char* k_version = "0.1.0";

constexpr const char* k_description =
    "vell: a mailbox for AI coding-agent sessions on one machine.\n"
    "Each agent gets a perch (an inbox, a ready marker and a record) under the state root:\n"
    "QRD_HOME, else $HOME/.qrd, else $USERPROFILE/.qrd. Message bodies come on standard input;\n"
    "markers (READY:, SENT:, NO_PERCH:, STOPPED:...) go to standard error; received messages\n"
    "go to standard output.\n"
    "Exit codes: 0 done, 1 nothing to act on (no such perch, no message, own perch unknown),\n"
    "2 bad command line or input, 3 system error, 4 perch busy, 70 internal error.";

std::string subcommand_path(const CLI::App& app) {
  std::string path = "vell";
  const CLI::App* current = &app;
  while (true) {
    auto subs = current->get_subcommands();
    if (subs.empty()) {
      break;
    }
    current = subs.front();
    path += " " + current->get_name();
  }
  return path;
}

// Markers ("NO_PERCH:ID", "NO_MESSAGES: ...") stand at the start of their line
// for scripts to match; every other error line says it comes from vell.
std::string error_line(const std::string& message) {
  auto colon = message.find(':');
  bool marker =
      colon != std::string::npos && colon > 0 && message.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_") == colon;
  return marker ? message : "vell: " + message;
}

} // namespace

int run_cli(int argc, char** argv) {
  os::ignore_sigpipe();
  Context ctx;
  // Only the command named first is built; anything else (an option, no
  // command) gets the whole tree for the overview help and usage errors.
  CommandFilter wanted;
  if (argc > 1 && argv[1][0] != '-') {
    wanted = CommandFilter(argv[1]);
  }
  // The command tree is deliberately never destroyed: the process exits right
  // after the command, and tearing a CLI11 tree down costs more than most
  // commands do. The static pointer keeps it reachable, not leaked.
  static CLI::App* app_storage = nullptr;
  app_storage = new CLI::App(k_description, "vell");
  CLI::App& app = *app_storage;
  app.set_version_flag("--version", k_version);
  app.require_subcommand(1);
  app.fallthrough(false);
  register_registry(app, ctx, wanted);
  register_messaging(app, ctx, wanted);
  register_sessions(app, ctx, wanted);
  register_workers(app, ctx, wanted);
  register_live(app, ctx, wanted);

  try {
    if (app.get_subcommands([](const CLI::App*) { return true; }).empty()) {
      throw Error(k_exit_usage, "unknown command '" + std::string(argv[1]) + "'",
                  {"Run 'vell --help' to see the commands."});
    }
    app.parse(argc, argv);
    return ctx.exit_code;
  } catch (const CLI::CallForHelp&) {
    os::write_stdout(app.help());
    return k_exit_ok;
  } catch (const CLI::CallForAllHelp&) {
    os::write_stdout(app.help("", CLI::AppFormatMode::All));
    return k_exit_ok;
  } catch (const CLI::CallForVersion&) {
    os::write_stdout(std::string("vell ") + k_version + "\n");
    return k_exit_ok;
  } catch (const CLI::ParseError& e) {
    // CLI11 throws CallForHelp from the subcommand that saw --help; its help
    // is printed above through app.help(), which shows the selected subcommand.
    say("vell: " + std::string(e.what()));
    say("Run '" + subcommand_path(app) + " --help' to see how to call it.");
    return k_exit_usage;
  } catch (const Error& e) {
    say(error_line(e.what()));
    for (const auto& hint : e.hints()) {
      say("hint: " + hint);
    }
    return e.exit_code();
  } catch (const std::exception& e) {
    say(std::string("vell: internal error: ") + e.what());
    return k_exit_internal;
  }
}

} // namespace vell

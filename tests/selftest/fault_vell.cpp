// A stand-in for vell that runs the real one and injects one fault, chosen by
// the environment variable VELL_FAULT: each fault breaks one behaviour that an
// end-to-end case relies on, the way a faulty vell plausibly would. Without
// VELL_FAULT, or for a command its fault does not touch, it simply becomes the
// real vell (REAL_VELL, fixed at build time) with the same arguments and
// environment.
//
// Exit codes of its own: 125 for an unknown fault or a real vell it cannot run.
//
// With VELL_TRACE naming a file, every invocation first appends one line to it,
// tab-separated: its pid, HOME, QRD_HOME, VELL_SESSION_ID (or "-" when unset)
// and its arguments. The self-tests read it to see what reached vell.

#include "support/child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int k_exit_tool_error = 125;

// One invocation: vell's arguments (the command first) and the text the
// chosen fault works with, where it needs one.
struct Call {
  std::vector<std::string> args;
  std::string_view text;
};

bool has_arg(const Call& call, std::string_view arg) {
  return std::find(call.args.begin(), call.args.end(), arg) != call.args.end();
}

// The first argument after the command that is no flag, or "".
std::string first_operand(const Call& call) {
  for (std::size_t i = 1; i < call.args.size(); ++i) {
    if (!call.args[i].starts_with("--")) {
      return call.args[i];
    }
  }
  return {};
}

[[noreturn]] void give_up(const std::string& what) {
  std::cerr << "fault_vell: " << what << '\n';
  std::exit(k_exit_tool_error);
}

fs::path state_root() {
  if (const char* qrd_home = std::getenv("QRD_HOME"); qrd_home != nullptr) {
    return qrd_home;
  }
  const char* home = std::getenv("HOME");
  return fs::path(home != nullptr ? home : ".") / ".qrd";
}

void write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t count = ::write(fd, data.data(), data.size());
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return; // the reader has gone; nothing left to tell it
    }
    data.remove_prefix(static_cast<std::size_t>(count));
  }
}

// Replaces this process with the real vell, leaving every stream as it is.
[[noreturn]] void exec_real(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(REAL_VELL));
  for (const auto& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  ::execv(REAL_VELL, argv.data());
  give_up(std::string("cannot execute '") + REAL_VELL + "': " + std::strerror(errno));
}

// Runs the real vell to its end, with this process's standard input, and
// keeps both of its outputs.
vell_test::Output run_real(const std::vector<std::string>& args) {
  vell_test::SpawnOptions options;
  options.program = REAL_VELL;
  options.args = args;
  options.stdin_mode = vell_test::StdinMode::inherit;
  std::string error;
  auto output = vell_test::run_to_completion(options, std::nullopt, error);
  if (!output) {
    give_up("cannot run the real vell: " + error);
  }
  return std::move(*output);
}

// Ends the way `status` says vell ended: with its exit code, or by its signal.
int end_like(const vell_test::ExitStatus& status) {
  if (status.signal != 0) {
    ::signal(status.signal, SIG_DFL);
    ::raise(status.signal);
  }
  return status.code;
}

int pass_on(const vell_test::Output& output) {
  write_all(STDOUT_FILENO, output.out);
  write_all(STDERR_FILENO, output.err);
  return end_like(output.status);
}

// Rebuilds `text` line by line; `change` edits a line in place or returns
// false to drop it.
template <typename Change> std::string edit_lines(std::string_view text, Change change) {
  std::string result;
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);) {
    if (change(line)) {
      result += line + '\n';
    }
  }
  return result;
}

// ---------------------------------------------------------------------------
// Faults of the outcome: exit code and streams
// ---------------------------------------------------------------------------

int exit_1_on_success(const Call& call) {
  auto output = run_real(call.args);
  if (output.status.success()) {
    output.status.code = 1;
  }
  return pass_on(output);
}

int exit_2_instead_of_1(const Call& call) {
  auto output = run_real(call.args);
  if (output.status.signal == 0 && output.status.code == 1) {
    output.status.code = 2;
  }
  return pass_on(output);
}

int die_by_signal(const Call& call) {
  const auto output = run_real(call.args);
  write_all(STDOUT_FILENO, output.out);
  write_all(STDERR_FILENO, output.err);
  ::kill(::getpid(), SIGKILL);
  return k_exit_tool_error;
}

int stderr_into_stdout(const Call& call) {
  auto output = run_real(call.args);
  output.out += output.err;
  output.err.clear();
  return pass_on(output);
}

int stdout_into_stderr(const Call& call) {
  auto output = run_real(call.args);
  output.err += output.out;
  output.out.clear();
  return pass_on(output);
}

int drop_stderr_lines(const Call& call) {
  auto output = run_real(call.args);
  output.err = edit_lines(output.err, [&call](std::string& line) { return line.find(call.text) == std::string::npos; });
  return pass_on(output);
}

int append_stderr_line(const Call& call) {
  auto output = run_real(call.args);
  output.err += std::string(call.text) + '\n';
  return pass_on(output);
}

int append_stdout_line(const Call& call) {
  auto output = run_real(call.args);
  output.out += std::string(call.text) + '\n';
  return pass_on(output);
}

// Prints its listing and then never ends.
int hang(const Call& call) {
  const auto output = run_real(call.args);
  write_all(STDOUT_FILENO, output.out);
  write_all(STDERR_FILENO, output.err);
  for (;;) {
    ::pause();
  }
}

// ---------------------------------------------------------------------------
// Faults of messaging
// ---------------------------------------------------------------------------

// Takes the body, claims to have filed it, and files nothing.
int lose_body(const Call& call) {
  std::array<char, 4096> chunk{};
  while (::read(STDIN_FILENO, chunk.data(), chunk.size()) > 0) {
  }
  write_all(STDERR_FILENO, "SENT:" + first_operand(call) + '\n');
  return 0;
}

int drop_flag(const Call& call) {
  std::vector<std::string> args;
  std::copy_if(call.args.begin(), call.args.end(), std::back_inserter(args),
               [&call](const std::string& arg) { return arg != call.text; });
  exec_real(args);
}

int add_flag(const Call& call) {
  auto args = call.args;
  args.emplace_back(call.text);
  exec_real(args);
}

// A listener whose messages never reach its standard output.
int stdout_to_null(const Call& call) {
  const int null = ::open("/dev/null", O_WRONLY);
  if (null < 0 || ::dup2(null, STDOUT_FILENO) < 0) {
    give_up(std::string("cannot send standard output to /dev/null: ") + std::strerror(errno));
  }
  exec_real(call.args);
}

// A listener that prints its messages on standard error.
int stdout_to_stderr(const Call& call) {
  if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    give_up(std::string("cannot redirect standard output: ") + std::strerror(errno));
  }
  exec_real(call.args);
}

// A listener that streams its messages as usual but then exits 2. The real
// vell dies with this process, so that killing the listener kills it too.
int exit_2_after_streaming(const Call& call) {
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    give_up(std::string("cannot fork: ") + std::strerror(errno));
  }
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) {
      std::_Exit(k_exit_tool_error);
    }
    exec_real(call.args);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return 2;
}

// ---------------------------------------------------------------------------
// Faults of the listing
// ---------------------------------------------------------------------------

int append_to_active_lines(const Call& call) {
  auto output = run_real(call.args);
  output.err = edit_lines(output.err, [&call](std::string& line) {
    if (line.starts_with("ACTIVE:")) {
      line += call.text;
    }
    return true;
  });
  return pass_on(output);
}

// Cuts every active line short where `call.text` begins.
int cut_active_lines(const Call& call) {
  auto output = run_real(call.args);
  output.err = edit_lines(output.err, [&call](std::string& line) {
    if (const auto cut = line.find(call.text); line.starts_with("ACTIVE:") && cut != std::string::npos) {
      line.erase(cut);
    }
    return true;
  });
  return pass_on(output);
}

// Every active line claims one pending message where there are none.
int miscount_pending(const Call& call) {
  auto output = run_real(call.args);
  output.err = edit_lines(output.err, [](std::string& line) {
    if (const auto at = line.find(" pending=0"); line.starts_with("ACTIVE:") && at != std::string::npos) {
      line.replace(at, std::string_view(" pending=0").size(), " pending=1");
    }
    return true;
  });
  return pass_on(output);
}

// The terse listing, each active line followed by the perch's record.
int append_record_to_active_lines(const Call& call) {
  auto output = run_real(call.args);
  output.err = edit_lines(output.err, [](std::string& line) {
    if (line.starts_with("ACTIVE:")) {
      std::string id = line.substr(std::string_view("ACTIVE:").size());
      id.erase(std::min(id.find(' '), id.size()));
      std::ifstream record(state_root() / "vellery" / id / "info.json");
      line += ' ';
      line.append(std::istreambuf_iterator<char>(record), std::istreambuf_iterator<char>());
    }
    return true;
  });
  return pass_on(output);
}

// ---------------------------------------------------------------------------
// Faults of perches on disk
// ---------------------------------------------------------------------------

int remove_ready_file(const Call& call) {
  const auto output = run_real(call.args);
  if (output.status.success()) {
    std::error_code ignored;
    fs::remove(state_root() / "vellery" / first_operand(call) / "ready", ignored);
  }
  return pass_on(output);
}

std::string parent_id() {
  const char* parent = std::getenv("VELL_PARENT_ID");
  return parent != nullptr ? parent : "";
}

// The worker perch also lands in the flat layout, beside its parent.
int add_flat_worker(const Call& call) {
  const auto output = run_real(call.args);
  std::error_code ignored;
  fs::create_directories(state_root() / "vellery" / (parent_id() + "-w1") / "inbox", ignored);
  return pass_on(output);
}

// The hook declines with `call.text`, yet a worker perch lands in the flat layout.
int decline_with_flat_worker(const Call& call) {
  const auto output = run_real(call.args);
  std::error_code ignored;
  fs::remove_all(state_root() / "vellery" / parent_id() / "nested", ignored);
  fs::create_directories(state_root() / "vellery" / (parent_id() + "-w1") / "inbox", ignored);
  write_all(STDERR_FILENO, std::string(call.text) + '\n');
  return end_like(output.status);
}

// Each nested worker perch renamed to the parent id followed by `call.text`,
// a name that is no worker name; the hook's output is left as it was.
int rename_workers(const Call& call) {
  const auto output = run_real(call.args);
  const fs::path nested = state_root() / "vellery" / parent_id() / "nested";
  std::error_code error;
  std::vector<fs::path> workers;
  for (fs::directory_iterator entry(nested, error), end; !error && entry != end; entry.increment(error)) {
    workers.push_back(entry->path());
  }
  for (const fs::path& worker : workers) {
    std::error_code ignored;
    fs::rename(worker, nested / (parent_id() + std::string(call.text)), ignored);
  }
  return pass_on(output);
}

// Besides the nested worker, entries in the flat layout whose names only
// look like worker names.
int add_flat_lookalikes(const Call& call) {
  const auto output = run_real(call.args);
  const fs::path perches = state_root() / "vellery";
  std::error_code ignored;
  fs::create_directories(perches / (parent_id() + "x-w1"), ignored);
  fs::create_directories(perches / (parent_id() + "-w1.tmp"), ignored);
  fs::create_directories(perches / (parent_id() + "-w"), ignored);
  return pass_on(output);
}

// No worker perch, and instead of what the hook said only `call.text`.
int drop_workers(const Call& call) {
  const auto output = run_real(call.args);
  std::error_code ignored;
  fs::remove_all(state_root() / "vellery" / parent_id() / "nested", ignored);
  if (!call.text.empty()) {
    write_all(STDERR_FILENO, std::string(call.text) + '\n');
  }
  return end_like(output.status);
}

// Every worker perch goes, whether its process lives or not.
int remove_all_workers(const Call& call) {
  const auto output = run_real(call.args);
  std::error_code error;
  for (fs::directory_iterator perch(state_root() / "vellery", error), end; !error && perch != end;
       perch.increment(error)) {
    std::error_code ignored;
    fs::remove_all(perch->path() / "nested", ignored);
  }
  return pass_on(output);
}

// ---------------------------------------------------------------------------
// The faults
// ---------------------------------------------------------------------------

struct Fault {
  std::string_view name;
  // vell's first argument; "*" for every command that runs to its end, which
  // leaves out poll: a listener's output streams, and it must die when the
  // case kills it, so it is never run captured.
  std::string_view command;
  // A flag the call must carry ("--x") or must not carry ("!--x"); "" for any.
  std::string_view when;
  int (*inject)(const Call&);
  std::string_view text; // what `inject` works with, where it needs it
};

// One fault may need several rows: the first row that fits the call applies.
constexpr std::array k_faults{
    Fault{"succeeds_with_1", "*", "", exit_1_on_success, ""},
    Fault{"fails_with_2", "*", "", exit_2_instead_of_1, ""},
    Fault{"killed_by_signal", "*", "", die_by_signal, ""},
    Fault{"markers_on_stdout", "*", "", stderr_into_stdout, ""},
    Fault{"resolution_marker_dropped", "*", "", drop_stderr_lines, "Could not determine your perch"},
    Fault{"setup_leaves_no_ready_file", "setup", "", remove_ready_file, ""},
    Fault{"deliver_loses_body", "deliver", "", lose_body, ""},
    Fault{"deliver_hint_without_send", "deliver", "", drop_stderr_lines, "vell send"},
    Fault{"deferred_send_wakes", "send", "", drop_flag, "--deferred"},
    Fault{"deferred_send_is_lost", "send", "--deferred", lose_body, ""},
    Fault{"normal_send_fails", "send", "!--deferred", exit_1_on_success, ""},
    Fault{"every_send_deferred", "send", "!--deferred", add_flag, "--deferred"},
    Fault{"deferred_wakes_listener", "send", "", drop_flag, "--deferred"},
    Fault{"deferred_wakes_listener", "poll", "", drop_flag, "--once"},
    Fault{"poll_prints_nothing", "poll", "", stdout_to_null, ""},
    Fault{"poll_prints_on_stderr", "poll", "", stdout_to_stderr, ""},
    Fault{"poll_exits_2", "poll", "", exit_2_after_streaming, ""},
    Fault{"list_prints_on_stdout", "list", "", append_stdout_line, "no listeners"},
    Fault{"list_drops_hint", "list", "", drop_stderr_lines, "No online listeners"},
    Fault{"list_drops_active", "list", "", drop_stderr_lines, "ACTIVE:"},
    Fault{"terse_list_shows_pending", "list", "!--verbose", append_to_active_lines, " pending=0"},
    Fault{"terse_list_dumps_record", "list", "!--verbose", append_record_to_active_lines, ""},
    Fault{"verbose_list_drops_pending", "list", "--verbose", cut_active_lines, " pending="},
    Fault{"verbose_list_drops_record", "list", "--verbose", cut_active_lines, " {"},
    Fault{"verbose_list_counts_one_pending", "list", "--verbose", miscount_pending, ""},
    Fault{"list_hangs", "list", "", hang, ""},
    Fault{"stop_drops_marker", "stop", "", drop_stderr_lines, "STOPPED:"},
    Fault{"resume_names_worker", "session-resume", "", append_stdout_line,
          "- perch testbird-w1: 0 pending messages; listen with: vell poll testbird-w1 --setup"},
    Fault{"resume_on_stderr", "session-resume", "", stdout_into_stderr, ""},
    Fault{"live_usage_error", "live", "", append_stderr_line, "Usage: vell live [OPTIONS] SUBCOMMAND"},
    Fault{"live_lowercase_usage_error", "live", "", append_stderr_line, "usage: vell live [OPTIONS] SUBCOMMAND"},
    Fault{"live_usage_on_stdout", "live", "", append_stdout_line, "Usage: vell live [OPTIONS] SUBCOMMAND"},
    Fault{"hook_adds_flat_worker", "hook-subagent-start", "", add_flat_worker, ""},
    Fault{"hook_drops_worker_silently", "hook-subagent-start", "", drop_workers, ""},
    Fault{"hook_names_worker_without_number", "hook-subagent-start", "", rename_workers, "-w"},
    Fault{"hook_names_worker_with_letters", "hook-subagent-start", "", rename_workers, "-w1a"},
    Fault{"hook_adds_flat_lookalikes", "hook-subagent-start", "", add_flat_lookalikes, ""},
    Fault{"hook_drops_worker_unable_to_resolve", "hook-subagent-start", "", drop_workers,
          "vell: Could not determine your perch: VELL_PARENT_ID names no perch"},
    Fault{"hook_declines", "hook-subagent-start", "", drop_workers, "vell: could not find the parent perch; no worker"},
    Fault{"hook_declines_with_flat_worker", "hook-subagent-start", "", decline_with_flat_worker,
          "vell: could not find the parent perch; no worker"},
    Fault{"doctor_drops_orphan_line", "doctor", "", drop_stderr_lines, "orphan worker perches detected"},
    Fault{"doctor_removes_live_worker", "doctor", "", remove_all_workers, ""},
};

bool fits(const Fault& fault, const Call& call) {
  const std::string_view command = call.args.empty() ? std::string_view() : std::string_view(call.args.front());
  if (fault.command == "*" ? command == "poll" : command != fault.command) {
    return false;
  }
  if (fault.when.empty()) {
    return true;
  }
  if (fault.when.starts_with('!')) {
    return !has_arg(call, fault.when.substr(1));
  }
  return has_arg(call, fault.when);
}

// Appends this invocation's line to the VELL_TRACE file, if one is named.
void trace(const std::vector<std::string>& args) {
  const char* file = std::getenv("VELL_TRACE");
  if (file == nullptr || *file == '\0') {
    return;
  }
  const auto variable = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value != nullptr ? value : "-");
  };
  std::string line = std::to_string(::getpid()) + '\t' + variable("HOME") + '\t' + variable("QRD_HOME") + '\t' +
                     variable("VELL_SESSION_ID");
  for (const std::string& arg : args) {
    line += '\t' + arg;
  }
  line += '\n';
  // One write to a file opened for appending: lines of concurrent callers
  // never interleave.
  const int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    give_up(std::string("cannot open the trace file '") + file + "': " + std::strerror(errno));
  }
  write_all(fd, line);
  ::close(fd);
}

} // namespace

int main(int argc, char** argv) {
  Call call;
  call.args.assign(argv + 1, argv + argc);
  trace(call.args);
  const char* chosen = std::getenv("VELL_FAULT");
  if (chosen == nullptr || *chosen == '\0') {
    exec_real(call.args);
  }
  const std::string_view name = chosen;
  bool known = false;
  for (const Fault& fault : k_faults) {
    known = known || fault.name == name;
    if (fault.name == name && fits(fault, call)) {
      call.text = fault.text;
      return fault.inject(call);
    }
  }
  if (!known) {
    give_up("unknown fault '" + std::string(name) + "'");
  }
  exec_real(call.args);
}

// End-to-end cases for vell. Every case runs the freshly built vell as a child
// process inside a home directory of its own and judges its exit code, its
// output and what it leaves on disk; nothing of vell is linked in. The three
// document cases at the end check the wording of what the plugin gives to
// agents instead.

#include "support/child_process.hpp"
#include "support/utf8.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <iomanip>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

// Fixed when this executable was built: the Psyche prompt as it stood then,
// the absolute path of the vell it runs, and the absolute path of the source
// tree's root.
extern const std::string_view PSYCHE_MD;
extern const char VELL_EXE[];
extern const char PROJECT_ROOT[];

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vell_test::ChildProcess;
using vell_test::decode_utf8_lossy;
using vell_test::is_valid_utf8;

// ---------------------------------------------------------------------------
// Shared fixtures
// ---------------------------------------------------------------------------

bool contains(std::string_view text, std::string_view needle) {
  return text.find(needle) != std::string_view::npos;
}

// What a failed fixture step or run returns instead of its value.
struct Failure {
  std::string error;
};

// A value, or the description of why there is none. (GCC 12 has no
// std::expected in C++20 mode.)
template <typename T> class Outcome {
public:
  Outcome(T value) : m_value(std::move(value)) {}
  Outcome(Failure failure) : m_error(std::move(failure.error)) {}

  explicit operator bool() const { return m_value.has_value(); }
  const T& operator*() const { return *m_value; }
  const T* operator->() const { return &*m_value; }
  const std::string& error() const { return m_error; }

private:
  std::optional<T> m_value;
  std::string m_error;
};

std::string errno_text() {
  return std::strerror(errno);
}

// Fixture steps report through AssertionResult so that a case can end on the
// step that failed with `ASSERT_TRUE(step)`, the OS error in the report.
testing::AssertionResult make_directories(const fs::path& dir) {
  std::error_code error;
  fs::create_directories(dir, error);
  if (error) {
    return testing::AssertionFailure() << "cannot create directory '" << dir.string() << "': " << error.message();
  }
  return testing::AssertionSuccess();
}

// Writes exactly `bytes`, replacing whatever the file held.
testing::AssertionResult write_file(const fs::path& file, std::string_view bytes) {
  std::FILE* stream = std::fopen(file.c_str(), "wb");
  if (stream == nullptr) {
    return testing::AssertionFailure() << "cannot open '" << file.string() << "': " << errno_text();
  }
  // Buffered data may only fail to reach the disk when the file is closed.
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size();
  const std::string write_error = written ? std::string() : errno_text();
  const bool closed = std::fclose(stream) == 0;
  if (!written || !closed) {
    return testing::AssertionFailure() << "cannot write '" << file.string()
                                       << "': " << (written ? errno_text() : write_error);
  }
  return testing::AssertionSuccess();
}

// The whole file as UTF-8 text; bytes that are not UTF-8 count as a failure
// to read it, since the checks on such a file would be meaningless.
Outcome<std::string> read_utf8_file(const fs::path& file) {
  std::FILE* stream = std::fopen(file.c_str(), "rb");
  if (stream == nullptr) {
    return Failure{"cannot open '" + file.string() + "': " + errno_text()};
  }
  std::string bytes;
  std::array<char, 8192> chunk{};
  std::size_t count = 0;
  while ((count = std::fread(chunk.data(), 1, chunk.size(), stream)) > 0) {
    bytes.append(chunk.data(), count);
  }
  const bool failed = std::ferror(stream) != 0;
  const std::string read_error = failed ? errno_text() : std::string();
  std::fclose(stream);
  if (failed) {
    return Failure{"cannot read '" + file.string() + "': " + read_error};
  }
  if (!is_valid_utf8(bytes)) {
    return Failure{"'" + file.string() + "' is not valid UTF-8"};
  }
  return bytes;
}

std::uint32_t own_pid() {
  return static_cast<std::uint32_t>(::getpid());
}

// Owns one temporary directory and removes it, with everything vell wrote
// into it, when the case ends by whatever way.
class IsolatedHome {
public:
  explicit IsolatedHome(fs::path path) : m_path(std::move(path)) {}
  IsolatedHome(IsolatedHome&& other) noexcept : m_path(std::exchange(other.m_path, {})) {}
  IsolatedHome& operator=(IsolatedHome&&) = delete;
  IsolatedHome(const IsolatedHome&) = delete;
  IsolatedHome& operator=(const IsolatedHome&) = delete;
  ~IsolatedHome() {
    if (!m_path.empty()) {
      std::error_code ignored;
      fs::remove_all(m_path, ignored);
    }
  }

  const fs::path& path() const { return m_path; }

private:
  fs::path m_path;
};

// The host's settings: VELL names the built executable and LIVE the command
// that runs its live subcommand. Backslashes of a Windows path become forward
// slashes so that the JSON stays valid without escaping.
std::string settings_text() {
  std::string exe = VELL_EXE;
  std::replace(exe.begin(), exe.end(), '\\', '/');
  return R"({"env":{"VELL":")" + exe + R"(","LIVE":")" + exe + R"( live"},"hooks":{}})";
}

// A fresh home holding only the two files the host keeps in `.vavaza`; the
// state root `.qrd` is left for vell or a perch fixture to create.
Outcome<IsolatedHome> isolated_home() {
  std::error_code error;
  const fs::path temp_root = fs::temp_directory_path(error);
  if (error) {
    return Failure{"cannot find the temporary directory: " + error.message()};
  }
  std::string pattern = (temp_root / "native_vell-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    return Failure{"cannot create a directory like '" + pattern + "': " + errno_text()};
  }
  IsolatedHome home{fs::path(pattern)};
  const fs::path host_dir = home.path() / ".vavaza";
  if (auto step = make_directories(host_dir); !step) {
    return Failure{step.message()};
  }
  if (auto step = write_file(host_dir / "settings.json", settings_text()); !step) {
    return Failure{step.message()};
  }
  if (auto step = write_file(host_dir / "LIVE_AGENT_IDS.json", R"({"ids":[],"last_used":""})"); !step) {
    return Failure{step.message()};
  }
  return home;
}

// Points every place vell may look for a home at the isolated one. Given to
// children only: the test process never changes its own environment, so
// cases can run side by side.
std::vector<std::pair<std::string, std::string>> isolation_env(const fs::path& home_path) {
  return {
      {"HOME", home_path.string()},
      {"USERPROFILE", home_path.string()},
      {"QRD_HOME", (home_path / ".qrd").string()},
  };
}

// One finished run of vell. The streams are kept as raw bytes; cases judge
// them as text through the lossy decoders, so that stray invalid bytes cannot
// hide a marker printed next to them.
struct CommandResult {
  std::int32_t exit_code = -1; // -1 when the process was killed by a signal
  std::string stdout_bytes;
  std::string stderr_bytes;

  std::string stdout_text() const { return decode_utf8_lossy(stdout_bytes); }
  std::string stderr_text() const { return decode_utf8_lossy(stderr_bytes); }
};

CommandResult to_command_result(vell_test::Output output) {
  CommandResult result;
  result.exit_code = output.status.signal == 0 ? output.status.code : -1;
  result.stdout_bytes = std::move(output.out);
  result.stderr_bytes = std::move(output.err);
  return result;
}

// One prepared run of vell in an isolated home; calls chain.
class VellCommand {
public:
  explicit VellCommand(const fs::path& home_path) {
    m_options.program = VELL_EXE;
    m_options.set_env = isolation_env(home_path);
  }

  VellCommand& arg(std::string_view argument) {
    m_options.args.emplace_back(argument);
    return *this;
  }

  VellCommand& args(std::initializer_list<std::string_view> arguments) {
    for (const std::string_view argument : arguments) {
      arg(argument);
    }
    return *this;
  }

  // Without this the child's standard input is closed and empty.
  VellCommand& stdin_bytes(std::string bytes) {
    m_input = std::move(bytes);
    return *this;
  }

  VellCommand& env_remove(std::string_view name) {
    m_options.remove_env.emplace_back(name);
    return *this;
  }

  // Runs to completion. A vell that hangs is killed once the runner's bound
  // has passed, and the run then fails instead of stalling the whole suite.
  [[nodiscard]] Outcome<CommandResult> run() const {
    std::string error;
    auto output = vell_test::run_to_completion(m_options, m_input, error);
    if (!output) {
      return Failure{error};
    }
    return to_command_result(std::move(*output));
  }

private:
  vell_test::SpawnOptions m_options;
  std::optional<std::string> m_input;
};

VellCommand vell_cmd(const fs::path& home_path) {
  return VellCommand(home_path);
}

// A perch record with `pid` second, as most of our fixtures write it.
std::string perch_record_a(std::string_view id, std::uint32_t pid, std::string_view session_id,
                           std::string_view state) {
  std::string record = R"({"vell_id":")";
  record.append(id);
  record += R"(","pid":)" + std::to_string(pid) + R"(,"mode":"listen","started":"2026-01-01T00:00:00Z","session_id":")";
  record.append(session_id);
  record += R"(","state":")";
  record.append(state);
  record += R"("})";
  return record;
}

// The same six keys with `started` second; vell must read either order.
std::string perch_record_b(std::string_view id, std::uint32_t pid, std::string_view session_id,
                           std::string_view state) {
  std::string record = R"({"vell_id":")";
  record.append(id);
  record += R"(","started":"2026-05-21T00:00:00Z","mode":"listen","pid":)" + std::to_string(pid) + R"(,"session_id":")";
  record.append(session_id);
  record += R"(","state":")";
  record.append(state);
  record += R"("})";
  return record;
}

// A listening perch held by this test process, so that vell sees a live holder
// for as long as the case runs.
testing::AssertionResult write_perch(const fs::path& home_path, std::string_view id) {
  const fs::path perch = home_path / ".qrd/vellery" / id;
  if (auto step = make_directories(perch / "inbox"); !step) {
    return step;
  }
  if (auto step = write_file(perch / "ready", ""); !step) {
    return step;
  }
  const std::uint32_t pid = own_pid();
  return write_file(perch / "info.json", perch_record_a(id, pid, "test-session", "listener"));
}

// Starts vell in the background the way a listener runs: both outputs piped,
// the test's own standard input left to it, since a listener reads none.
std::optional<ChildProcess> start_poll_child(const fs::path& home_path, std::vector<std::string> args,
                                             std::string& error) {
  vell_test::SpawnOptions options;
  options.program = VELL_EXE;
  options.args = std::move(args);
  options.set_env = isolation_env(home_path);
  options.stdin_mode = vell_test::StdinMode::inherit;
  return ChildProcess::spawn(options, error);
}

// Defines a case function and remembers the line its name stands on, so
// that the registry can point listings and failure reports at the case.
#define VELL_CASE(name)                                                                                                \
  constexpr int k_##name##_line = __LINE__;                                                                            \
  void name()

// ---------------------------------------------------------------------------
// Messaging: setup, delivery, reply, listeners
// ---------------------------------------------------------------------------

VELL_CASE(native_setup) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  const auto run = vell_cmd(home->path()).args({"setup", "testid"}).run();
  if (!run) {
    FAIL() << "failed to run vell setup testid: " << run.error();
  }
  ASSERT_EQ(run->exit_code, 0) << "setup should exit 0";
  const std::string err = run->stderr_text();
  ASSERT_TRUE(contains(err, "READY:testid")) << "setup stderr should contain 'READY:testid', got: " << err;
  std::error_code ignored;
  ASSERT_TRUE(fs::exists(home->path() / ".qrd/vellery/testid/ready", ignored))
      << "assertion failed: home.path().join(\".qrd/vellery/testid/ready\").exists()";
}

VELL_CASE(native_deliver) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  const auto setup = vell_cmd(home->path()).args({"setup", "recvr"}).run();
  if (!setup) {
    FAIL() << "setup recvr failed: " << setup.error();
  }
  const auto deliver = vell_cmd(home->path()).args({"deliver", "recvr", "senderid"}).stdin_bytes("hello world\n").run();
  if (!deliver) {
    FAIL() << "deliver failed: " << deliver.error();
  }
  ASSERT_EQ(deliver->exit_code, 0) << "deliver should exit 0";
  const std::string err = deliver->stderr_text();
  ASSERT_TRUE(contains(err, "SENT:recvr")) << "deliver stderr should contain 'SENT:recvr', got: " << err;
  static_cast<void>(vell_cmd(home->path()).args({"stop", "recvr"}).run());
}

VELL_CASE(native_deliver_no_target) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  const auto deliver = vell_cmd(home->path()).args({"deliver", "nosuchid", "fromid"}).stdin_bytes("msg\n").run();
  if (!deliver) {
    FAIL() << "deliver_no_target failed: " << deliver.error();
  }
  ASSERT_EQ(deliver->exit_code, 1) << "deliver to nonexistent should exit 1";
  const std::string err = deliver->stderr_text();
  ASSERT_TRUE(contains(err, "NO_PERCH:nosuchid"))
      << "deliver_no_target stderr should contain 'NO_PERCH:nosuchid', got: " << err;
}

VELL_CASE(native_deliver_with_both_args_backward_compat) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  const auto setup = vell_cmd(home->path()).args({"setup", "recvbc"}).run();
  if (!setup) {
    FAIL() << "setup failed: " << setup.error();
  }
  const auto deliver = vell_cmd(home->path()).args({"deliver", "recvbc", "frombc"}).stdin_bytes("compat test\n").run();
  if (!deliver) {
    FAIL() << "deliver with both args failed: " << deliver.error();
  }
  ASSERT_EQ(deliver->exit_code, 0) << "deliver with both args should exit 0";
  const std::string err = deliver->stderr_text();
  ASSERT_TRUE(contains(err, "SENT:recvbc")) << "deliver with both args should succeed, got: " << err;
  static_cast<void>(vell_cmd(home->path()).args({"stop", "recvbc"}).run());
}

VELL_CASE(native_reply) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  // The exchange leading up to the reply is preparation: only a failure to
  // run it at all ends the case.
  const auto setup_replier = vell_cmd(home->path()).args({"setup", "replier"}).run();
  ASSERT_TRUE(setup_replier) << setup_replier.error();
  const auto setup_target = vell_cmd(home->path()).args({"setup", "target"}).run();
  ASSERT_TRUE(setup_target) << setup_target.error();
  const auto deliver =
      vell_cmd(home->path()).args({"deliver", "replier", "target"}).stdin_bytes("original message\n").run();
  ASSERT_TRUE(deliver) << deliver.error();

  const auto reply = vell_cmd(home->path()).args({"reply", "target", "replier"}).stdin_bytes("reply body\n").run();
  if (!reply) {
    FAIL() << "reply failed: " << reply.error();
  }
  const std::string err = reply->stderr_text();
  ASSERT_TRUE(contains(err, "REPLIED:") || contains(err, "NO_MESSAGES:"))
      << "reply stderr should contain REPLIED or NO_MESSAGES, got: " << err;
  static_cast<void>(vell_cmd(home->path()).args({"stop", "replier"}).run());
  static_cast<void>(vell_cmd(home->path()).args({"stop", "target"}).run());
}

// A listener gets this long to come up before anything is sent to it; nothing
// else tells the case that it is ready.
constexpr auto k_listener_start_pause = 500ms;

VELL_CASE(native_poll_and_deliver) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  std::string error;
  auto listener = start_poll_child(home->path(), {"poll", "p2ptest", "--setup", "--once"}, error);
  if (!listener) {
    FAIL() << "failed to spawn poll: " << error;
  }
  std::this_thread::sleep_for(k_listener_start_pause);

  const auto deliver =
      vell_cmd(home->path()).args({"deliver", "p2ptest", "sender"}).stdin_bytes("hello via tcp\n").run();
  if (!deliver) {
    FAIL() << "deliver failed: " << deliver.error();
  }
  const std::string deliver_err = deliver->stderr_text();
  ASSERT_TRUE(contains(deliver_err, "SENT:p2ptest")) << "deliver should confirm SENT:p2ptest, got: " << deliver_err;

  const auto output = listener->wait_with_output(error);
  if (!output) {
    FAIL() << "failed to wait for poll: " << error;
  }
  const std::string out = decode_utf8_lossy(output->out);
  ASSERT_TRUE(contains(out, "hello via tcp")) << "poll should have received the message, got stdout: " << out;
}

VELL_CASE(native_spool_fallback) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  const auto setup = vell_cmd(home->path()).args({"setup", "spooltest"}).run();
  if (!setup) {
    FAIL() << "setup spooltest failed: " << setup.error();
  }
  const auto deliver =
      vell_cmd(home->path()).args({"deliver", "spooltest", "sender2"}).stdin_bytes("spooled message\n").run();
  if (!deliver) {
    FAIL() << "deliver to spooltest failed: " << deliver.error();
  }
  ASSERT_EQ(deliver->exit_code, 0);

  // Nobody listened while the message was sent: it must have been held on
  // disk for this later listener.
  std::string error;
  auto listener = start_poll_child(home->path(), {"poll", "spooltest", "--once"}, error);
  if (!listener) {
    FAIL() << "failed to spawn poll for spool test: " << error;
  }
  const auto output = listener->wait_with_output(error);
  if (!output) {
    FAIL() << "failed to wait for poll spool: " << error;
  }
  const std::string out = decode_utf8_lossy(output->out);
  ASSERT_TRUE(contains(out, "spooled message") || contains(out, "__REPLY_TO__:sender2"))
      << "poll should have received the spooled message, got stdout: " << out;
}

// Whole lines of a listener's standard output, shared by the case and the
// thread that reads them.
struct CaptureBuffer {
  std::mutex mutex;
  std::string text;
  // Set when the case leaves early: the reader then stops even if a process
  // the listener started still holds the pipe open, so joining it cannot hang.
  std::atomic<bool> abandoned{false};
};

std::string snapshot(CaptureBuffer& capture) {
  const std::lock_guard lock(capture.mutex);
  return capture.text;
}

// Appends one line unless it is not UTF-8, which ends the capture.
bool append_line(CaptureBuffer& capture, std::string_view line) {
  if (!is_valid_utf8(line)) {
    return false;
  }
  const std::lock_guard lock(capture.mutex);
  capture.text.append(line);
  capture.text += '\n';
  return true;
}

constexpr int k_abandon_check_ms = 100;

// Moves complete lines from `fd` into `capture` until the stream ends or the
// capture is abandoned; it waits in short slices so that it notices the
// latter. A line becomes visible only once its "\n" has arrived (or the
// stream ended), so a check never sees half a line.
void read_lines(int fd, CaptureBuffer& capture) {
  std::string pending;
  std::array<char, 4096> chunk{};
  while (!capture.abandoned) {
    pollfd watched{fd, POLLIN, 0};
    const int ready = ::poll(&watched, 1, k_abandon_check_ms);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready < 0) {
      return;
    }
    if (ready == 0) {
      continue;
    }
    const ssize_t count = ::read(fd, chunk.data(), chunk.size());
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      return; // an unreadable line ends the capture and is dropped
    }
    if (count == 0) {
      if (!pending.empty()) {
        append_line(capture, pending);
      }
      return;
    }
    pending.append(chunk.data(), static_cast<std::size_t>(count));
    std::size_t start = 0;
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n', start)) {
      std::string_view line(pending.data() + start, end - start);
      if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
      }
      start = end + 1;
      if (!append_line(capture, line)) {
        return;
      }
    }
    pending.erase(0, start);
  }
}

// Thread body: owns the reading end and a counted reference to the buffer.
void copy_stdout_lines(int fd, std::shared_ptr<CaptureBuffer> capture) {
  read_lines(fd, *capture);
  ::close(fd);
}

// Leaving the deferred case by any way first kills the listener, then stops
// and joins the reader thread: no vell and no thread outlives the case.
class KillThenJoin {
public:
  KillThenJoin(ChildProcess& child, std::thread& reader, CaptureBuffer& capture)
      : m_child(child), m_reader(reader), m_capture(capture) {}
  KillThenJoin(const KillThenJoin&) = delete;
  KillThenJoin& operator=(const KillThenJoin&) = delete;
  ~KillThenJoin() {
    m_child.kill();
    if (m_reader.joinable()) {
      m_capture.abandoned = true;
      m_reader.join();
    }
  }

private:
  ChildProcess& m_child;
  std::thread& m_reader;
  CaptureBuffer& m_capture;
};

constexpr auto k_deferred_quiet_period = 1500ms;
constexpr auto k_wake_deadline = 2s;
constexpr auto k_status_look_interval = 100ms;

VELL_CASE(deferred_send_does_not_wake_idle_poll) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  std::string error;
  auto listener = start_poll_child(home->path(), {"poll", "parent", "--setup", "--once"}, error);
  if (!listener) {
    FAIL() << "failed to spawn poll parent: " << error;
  }
  ChildProcess& child = *listener;
  const int stdout_fd = child.take_stdout();
  if (stdout_fd < 0) {
    FAIL() << "poll stdout missing";
  }
  // Read while the listener runs: whether it printed before exiting is the
  // point of this case.
  auto capture = std::make_shared<CaptureBuffer>();
  std::thread reader(copy_stdout_lines, stdout_fd, capture);
  const KillThenJoin cleanup(child, reader, *capture);
  std::this_thread::sleep_for(k_listener_start_pause);

  const auto deferred =
      vell_cmd(home->path()).args({"send", "parent", "notifier", "--deferred"}).stdin_bytes("DEFERRED_NOTICE\n").run();
  if (!deferred) {
    FAIL() << "vell send --deferred failed: " << deferred.error();
  }
  ASSERT_EQ(deferred->exit_code, 0) << "vell send --deferred should exit 0; stderr: " << deferred->stderr_text();
  std::this_thread::sleep_for(k_deferred_quiet_period);

  error.clear();
  const auto early = child.try_wait(error);
  if (!early && !error.empty()) {
    FAIL() << "try_wait failed: " << error;
  }
  if (early) {
    FAIL() << "poll child exited early after deferred send (status: " << early->describe()
           << "); stdout captured: " << snapshot(*capture);
  }
  const std::string idle_output = snapshot(*capture);
  ASSERT_FALSE(contains(idle_output, "DEFERRED_NOTICE"))
      << "deferred send must not wake idle poll, but stdout contained DEFERRED_NOTICE: " << idle_output;

  const auto normal = vell_cmd(home->path()).args({"send", "parent", "notifier"}).stdin_bytes("REAL_MESSAGE\n").run();
  if (!normal) {
    FAIL() << "vell send failed: " << normal.error();
  }
  ASSERT_EQ(normal->exit_code, 0) << "vell send (normal) should exit 0; stderr: " << normal->stderr_text();

  // The clock is read before every look, so the last look happens strictly
  // before the deadline.
  const auto deadline = std::chrono::steady_clock::now() + k_wake_deadline;
  bool exited = false;
  while (std::chrono::steady_clock::now() < deadline) {
    error.clear();
    const auto status = child.try_wait(error);
    if (!status && !error.empty()) {
      FAIL() << "try_wait failed: " << error;
    }
    if (status) {
      if (!status->success()) {
        FAIL() << "poll should exit successfully; got: " << status->describe();
      }
      exited = true;
      break;
    }
    std::this_thread::sleep_for(k_status_look_interval);
  }
  if (!exited) {
    child.kill();
    // A killed listener ends at once; the bound only matters when a process
    // it started still holds its standard error open.
    std::string ignored;
    static_cast<void>(child.wait_with_output(ignored, k_wake_deadline));
    FAIL() << "normal send did not wake poll within 2 s; captured stdout: " << snapshot(*capture);
  }

  // The listener has exited, so its output has ended and the reader returns.
  reader.join();
  const std::string drained = snapshot(*capture);
  ASSERT_TRUE(contains(drained, "REAL_MESSAGE")) << "poll must deliver REAL_MESSAGE on normal send; got: " << drained;
  ASSERT_TRUE(contains(drained, "DEFERRED_NOTICE"))
      << "on wake, poll should drain all messages incl. deferred; got: " << drained;
}

// ---------------------------------------------------------------------------
// Registry and session lifecycle: list, stop, cleanup-session, session-resume
// ---------------------------------------------------------------------------

VELL_CASE(native_list_empty) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  const auto run = vell_cmd(home->path()).arg("list").run();
  if (!run) {
    FAIL() << "failed to run vell list: " << run.error();
  }
  ASSERT_EQ(run->exit_code, 0) << "list empty should exit 0";
  ASSERT_TRUE(run->stdout_bytes.empty()) << "list empty stdout should be empty";
  const std::string err = run->stderr_text();
  ASSERT_TRUE(contains(err, "No online listeners. Pass --all to include offline."))
      << "list_empty stderr should contain the LIST-05 hint, got: " << err;
}

VELL_CASE(native_list_one_default_terse) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  ASSERT_TRUE(write_perch(home->path(), "listone"));
  const auto run = vell_cmd(home->path()).arg("list").run();
  if (!run) {
    FAIL() << "failed to run vell list: " << run.error();
  }
  ASSERT_EQ(run->exit_code, 0) << "list should exit 0";
  const std::string err = run->stderr_text();
  ASSERT_TRUE(contains(err, "ACTIVE:listone")) << "default list should contain 'ACTIVE:listone', got: " << err;
  ASSERT_FALSE(contains(err, "pending=")) << "default list must NOT contain 'pending=', got: " << err;
  ASSERT_FALSE(contains(err, R"("vell_id")"))
      << R"(default list must NOT contain info.json dump signature '"vell_id"', got: )" << err;
}

VELL_CASE(native_list_one_verbose_full) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  ASSERT_TRUE(write_perch(home->path(), "listvb"));
  const auto run = vell_cmd(home->path()).args({"list", "--verbose"}).run();
  if (!run) {
    FAIL() << "failed to run vell list --verbose: " << run.error();
  }
  ASSERT_EQ(run->exit_code, 0) << "list --verbose should exit 0";
  const std::string err = run->stderr_text();
  ASSERT_TRUE(contains(err, "ACTIVE:listvb")) << "verbose list should contain 'ACTIVE:listvb', got: " << err;
  ASSERT_TRUE(contains(err, "pending=0")) << "verbose list should contain 'pending=0', got: " << err;
  ASSERT_TRUE(contains(err, R"("vell_id")"))
      << R"(verbose list should contain info.json dump key '"vell_id"', got: )" << err;
}

VELL_CASE(native_stop_nonexistent) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  const auto run = vell_cmd(home->path()).args({"stop", "nosuchid"}).run();
  if (!run) {
    FAIL() << "failed to run vell stop nosuchid: " << run.error();
  }
  const std::string err = run->stderr_text();
  ASSERT_TRUE(contains(err, "STOPPED:nosuchid"))
      << "stop_nonexistent stderr should contain 'STOPPED:nosuchid', got: " << err;
}

VELL_CASE(native_stop_all) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  const auto run = vell_cmd(home->path()).args({"stop", "--all"}).run();
  if (!run) {
    FAIL() << "failed to run vell stop --all: " << run.error();
  }
  ASSERT_EQ(run->exit_code, 0) << "stop --all should exit 0";
  const std::string err = run->stderr_text();
  ASSERT_TRUE(contains(err, "STOPPED:all")) << "stop_all stderr should contain 'STOPPED:all', got: " << err;
}

VELL_CASE(native_cleanup_session_empty) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  const auto run = vell_cmd(home->path()).arg("cleanup-session").run();
  if (!run) {
    FAIL() << "failed to run vell cleanup-session: " << run.error();
  }
  ASSERT_EQ(run->exit_code, 0) << "cleanup-session empty should exit 0";
}

VELL_CASE(native_session_resume_empty) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  const auto run = vell_cmd(home->path()).arg("session-resume").run();
  if (!run) {
    FAIL() << "failed to run vell session-resume: " << run.error();
  }
  ASSERT_EQ(run->exit_code, 0) << "session-resume empty should exit 0";
}

// A normal perch and, flat beside it, a worker perch of the same session,
// both held by a process other than this one.
testing::AssertionResult lay_out_resume_perches(const fs::path& home_path) {
  const fs::path vellery = home_path / ".qrd/vellery";
  if (auto step = make_directories(vellery); !step) {
    return step;
  }
  constexpr std::array<std::pair<std::string_view, std::string_view>, 2> k_perches{{
      {"testbird", "listener"},
      {"testbird-w1", "working"},
  }};
  for (const auto& [id, state] : k_perches) {
    const fs::path perch = vellery / id;
    if (auto step = make_directories(perch / "inbox"); !step) {
      return step;
    }
    if (auto step = write_file(perch / "ready", ""); !step) {
      return step;
    }
    if (auto step = write_file(perch / "info.json", perch_record_a(id, 999999, "test-session", state)); !step) {
      return step;
    }
  }
  return testing::AssertionSuccess();
}

VELL_CASE(native_session_resume_skip_worker) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  ASSERT_TRUE(lay_out_resume_perches(home->path()));
  const auto run = vell_cmd(home->path()).arg("session-resume").stdin_bytes("").run();
  if (!run) {
    FAIL() << "failed to run vell session-resume: " << run.error();
  }
  const std::string out = run->stdout_text();
  ASSERT_TRUE(contains(out, "testbird")) << "session-resume should include normal perch 'testbird', got: " << out;
  ASSERT_FALSE(contains(out, "testbird-w1"))
      << "session-resume should NOT include worker perch 'testbird-w1', got: " << out;
}

// ---------------------------------------------------------------------------
// Identity resolution: commands acting for the caller's own perch
// ---------------------------------------------------------------------------

constexpr std::string_view k_resolution_marker = "Could not determine your perch";
// The argument parser whose usage errors the live cases must not provoke.
constexpr std::string_view k_arg_parser = "CLI11";

VELL_CASE(native_deliver_without_from_arg_resolution_error) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  // The target exists, so the failure can only concern the missing sender.
  const auto setup = vell_cmd(home->path()).args({"setup", "targetid"}).run();
  if (!setup) {
    FAIL() << "setup failed: " << setup.error();
  }
  const auto run = vell_cmd(home->path())
                       .args({"deliver", "targetid"})
                       .env_remove("VELL_SESSION_ID")
                       .stdin_bytes("test message\n")
                       .run();
  if (!run) {
    FAIL() << "deliver without from failed: " << run.error();
  }
  ASSERT_EQ(run->exit_code, 1) << "deliver without from should exit 1 when resolution fails";
  const std::string err = run->stderr_text();
  ASSERT_TRUE(contains(err, k_resolution_marker))
      << "deliver without from stderr should contain resolution error, got: " << err;
  ASSERT_TRUE(contains(err, "vell send")) << "error should contain command hint, got: " << err;
  static_cast<void>(vell_cmd(home->path()).args({"stop", "targetid"}).run());
}

VELL_CASE(native_reply_without_my_id_resolution_error) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  const auto run = vell_cmd(home->path())
                       .args({"reply", "sometarget"})
                       .env_remove("VELL_SESSION_ID")
                       .stdin_bytes("reply body\n")
                       .run();
  if (!run) {
    FAIL() << "reply without my_id failed: " << run.error();
  }
  ASSERT_EQ(run->exit_code, 1) << "reply without my_id should exit 1 when resolution fails";
  const std::string err = run->stderr_text();
  ASSERT_TRUE(contains(err, k_resolution_marker)) << "reply without my_id should show resolution error, got: " << err;
}

VELL_CASE(native_send_without_from_resolution_error) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  const auto run = vell_cmd(home->path())
                       .args({"send", "sometarget"})
                       .env_remove("VELL_SESSION_ID")
                       .stdin_bytes("send body\n")
                       .run();
  if (!run) {
    FAIL() << "send without from failed: " << run.error();
  }
  ASSERT_EQ(run->exit_code, 1) << "send without from should exit 1 when resolution fails";
  const std::string err = run->stderr_text();
  ASSERT_TRUE(contains(err, k_resolution_marker)) << "send without from should show resolution error, got: " << err;
}

VELL_CASE(native_reboot_without_id_resolution_error) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  const auto run = vell_cmd(home->path()).arg("reboot").env_remove("VELL_SESSION_ID").run();
  if (!run) {
    FAIL() << "reboot without id failed: " << run.error();
  }
  ASSERT_EQ(run->exit_code, 1) << "reboot without id should exit 1 when resolution fails";
  const std::string err = run->stderr_text();
  ASSERT_TRUE(contains(err, k_resolution_marker)) << "reboot without id should show resolution error, got: " << err;
}

VELL_CASE(native_live_commune_without_self_id_resolution_error) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  const auto run = vell_cmd(home->path())
                       .args({"live", "commune", "hello"})
                       .env_remove("VELL_SESSION_ID")
                       .stdin_bytes("world")
                       .run();
  if (!run) {
    FAIL() << "commune without self_id failed: " << run.error();
  }
  // Exit code and resolution marker are free here: only a parser rejection
  // of the lone operand is wrong, in either spelling of its usage line.
  const std::string err = run->stderr_text();
  ASSERT_FALSE(contains(err, "Usage:") || contains(err, "usage:"))
      << "commune without self_id should not produce " << k_arg_parser << " usage error, got: " << err;
}

VELL_CASE(native_live_psyche_download_without_self_id_resolution_error) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  const auto run = vell_cmd(home->path()).args({"live", "psyche-download"}).env_remove("VELL_SESSION_ID").run();
  if (!run) {
    FAIL() << "psyche-download without self_id failed: " << run.error();
  }
  ASSERT_EQ(run->exit_code, 1) << "psyche-download without self_id should exit 1 when resolution fails";
  const std::string err = run->stderr_text();
  ASSERT_TRUE(contains(err, k_resolution_marker))
      << "psyche-download without self_id should show resolution error, got: " << err;
  ASSERT_FALSE(contains(err, "Usage:")) << "psyche-download should not show " << k_arg_parser
                                        << " usage error, got: " << err;
}

VELL_CASE(native_live_signoff_with_true_as_first_arg) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  const auto run = vell_cmd(home->path()).args({"live", "signoff", "true"}).env_remove("VELL_SESSION_ID").run();
  if (!run) {
    FAIL() << "signoff true failed: " << run.error();
  }
  ASSERT_EQ(run->exit_code, 1) << "signoff true should exit 1 when resolution fails";
  const std::string err = run->stderr_text();
  ASSERT_TRUE(contains(err, k_resolution_marker))
      << "signoff true should attempt resolution and show error, got: " << err;
  ASSERT_FALSE(contains(err, "Usage:")) << "signoff true should not show " << k_arg_parser
                                        << " usage error, got: " << err;
}

VELL_CASE(native_live_commune_with_explicit_id) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  const auto setup = vell_cmd(home->path()).args({"setup", "communer"}).run();
  if (!setup) {
    FAIL() << "setup failed: " << setup.error();
  }
  const auto run = vell_cmd(home->path())
                       .args({"live", "commune", "communer"})
                       .env_remove("VELL_SESSION_ID")
                       .stdin_bytes("my commune message")
                       .run();
  if (!run) {
    FAIL() << "commune with explicit id failed: " << run.error();
  }
  const std::string err = run->stderr_text();
  ASSERT_FALSE(contains(err, "Usage:")) << "commune with explicit id should not produce usage error, got: " << err;
  static_cast<void>(vell_cmd(home->path()).args({"stop", "communer"}).run());
}

// ---------------------------------------------------------------------------
// Worker perches: the subagent-start hook and the orphan sweep
// ---------------------------------------------------------------------------

// The host's SubagentStart payload, one line of JSON. The ids go in as they
// are: the cases' ids need no escaping.
std::string hook_payload(std::string_view session_id, std::string_view agent_id) {
  std::string payload = R"({"session_id":")";
  payload.append(session_id);
  payload += R"(","cwd":".","hook_event_name":"SubagentStart","agent_id":")";
  payload.append(agent_id);
  payload += R"("})";
  return payload;
}

// Runs `vell hook-subagent-start` as the host does: the parent named in the
// environment, the payload written whole and its input closed before the
// output is collected. The payload is far smaller than a pipe's buffer, so
// writing it cannot stall on a hook that does not read.
Outcome<CommandResult> run_subagent_start_hook(const fs::path& home_path, std::string_view parent_id,
                                               std::string_view session_id, std::string_view agent_id) {
  const std::string payload = hook_payload(session_id, agent_id);
  vell_test::SpawnOptions options;
  options.program = VELL_EXE;
  options.args = {"hook-subagent-start"};
  options.set_env = isolation_env(home_path);
  options.set_env.emplace_back("VELL_PARENT_ID", parent_id);
  std::string error;
  auto child = ChildProcess::spawn(options, error);
  if (!child) {
    return Failure{"spawn _subagent_start: " + error};
  }
  if (!child->write_stdin(payload, error)) {
    return Failure{"stdin: " + error};
  }
  child->close_stdin();
  auto output = child->wait_with_output(error);
  if (!output) {
    return Failure{"wait_with_output: " + error};
  }
  return to_command_result(std::move(*output));
}

// A worker perch is named after its parent: `prefix` then one or more ASCII
// digits and nothing else.
bool is_worker_name(std::string_view name, std::string_view prefix) {
  if (!is_valid_utf8(name) || !name.starts_with(prefix) || name.size() == prefix.size()) {
    return false;
  }
  const std::string_view number = name.substr(prefix.size());
  return std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A directory that is missing or cannot be listed holds no worker perch.
bool lists_worker_perch(const fs::path& dir, std::string_view prefix) {
  std::error_code error;
  fs::directory_iterator entry(dir, error);
  for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
    if (is_worker_name(entry->path().filename().string(), prefix)) {
      return true;
    }
  }
  return false;
}

// A live listening parent with its worker counter at 0, which the session map
// names as the perch of `phase25-test-session`.
testing::AssertionResult lay_out_hook_parent(const fs::path& home_path) {
  const fs::path state_root = home_path / ".qrd";
  const fs::path parent = state_root / "vellery/phase25nw";
  if (auto step = make_directories(parent / "inbox"); !step) {
    return step;
  }
  if (auto step = write_file(parent / "ready", ""); !step) {
    return step;
  }
  if (auto step =
          write_file(parent / "info.json", perch_record_b("phase25nw", own_pid(), "phase25-test-session", "listener"));
      !step) {
    return step;
  }
  if (auto step = write_file(parent / ".working-counter", "0"); !step) {
    return step;
  }
  if (auto step = make_directories(state_root / "sessions"); !step) {
    return step;
  }
  // Without the map the hook may still find the parent through
  // VELL_PARENT_ID, so a failure to write it is no reason to stop.
  static_cast<void>(write_file(state_root / "sessions/phase25-test-session.json", R"({"vell_id":"phase25nw"})"));
  return testing::AssertionSuccess();
}

std::string quoted(const fs::path& path) {
  std::ostringstream text;
  text << std::quoted(path.string());
  return text.str();
}

VELL_CASE(nested_worker_layout) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  ASSERT_TRUE(lay_out_hook_parent(home->path()));
  const auto hook = run_subagent_start_hook(home->path(), "phase25nw", "phase25-test-session", "vavaza-agent");
  if (!hook) {
    FAIL() << hook.error();
  }
  const std::string err = hook->stderr_text();

  const fs::path vellery = home->path() / ".qrd/vellery";
  const fs::path nested = vellery / "phase25nw/nested";
  constexpr std::string_view worker_prefix = "phase25nw-w";
  const bool nested_found = lists_worker_perch(nested, worker_prefix);
  const bool flat_found = lists_worker_perch(vellery, worker_prefix);
  const bool no_op_signal = contains(err, "no_parent") || contains(err, "could not") || contains(err, "AUTO-SETUP");

  ASSERT_TRUE(nested_found || no_op_signal) << "expected a nested worker perch under " << quoted(nested)
                                            << " OR the hook to surface a no-op stderr signal; stderr=" << err;
  ASSERT_FALSE(flat_found) << "no worker perch should ever land at the legacy flat layout under "
                              "vellery/<parent>-w{N}; stderr="
                           << err;
}

// A live parent with two nested workers: one held by this process, one
// recording a process id that no process can have and lacking its ready
// marker.
testing::AssertionResult lay_out_sweep_perches(const fs::path& home_path) {
  const fs::path parent = home_path / ".qrd/vellery/phase25sweep";
  const fs::path alive = parent / "nested/phase25sweep-w1";
  const fs::path orphan = parent / "nested/phase25sweep-w2";
  const std::uint32_t pid = own_pid();
  if (auto step = make_directories(parent / "inbox"); !step) {
    return step;
  }
  if (auto step = write_file(parent / "ready", ""); !step) {
    return step;
  }
  if (auto step = write_file(parent / "info.json", perch_record_b("phase25sweep", pid, "phase25-sweep", "listener"));
      !step) {
    return step;
  }
  if (auto step = make_directories(alive / "inbox"); !step) {
    return step;
  }
  if (auto step = write_file(alive / "ready", ""); !step) {
    return step;
  }
  if (auto step = write_file(alive / "info.json", perch_record_b("phase25sweep-w1", pid, "phase25-sweep", "working"));
      !step) {
    return step;
  }
  if (auto step = make_directories(orphan / "inbox"); !step) {
    return step;
  }
  return write_file(orphan / "info.json", perch_record_b("phase25sweep-w2", 4294967295U, "phase25-sweep", "working"));
}

VELL_CASE(sweep_own_orphaned_workers_e2e) {
  const auto home = isolated_home();
  ASSERT_TRUE(home) << home.error();
  ASSERT_TRUE(lay_out_sweep_perches(home->path()));
  const auto doctor = vell_cmd(home->path()).arg("doctor").run();
  if (!doctor) {
    FAIL() << "failed to run vell doctor: " << doctor.error();
  }
  const std::string err = doctor->stderr_text();
  ASSERT_TRUE(contains(err, "orphan worker perches detected"))
      << "expected D-21 'orphan worker perches detected' line in doctor output, got: " << err;
  std::error_code ignored;
  ASSERT_TRUE(fs::exists(home->path() / ".qrd/vellery/phase25sweep/nested/phase25sweep-w1/info.json", ignored))
      << "alive nested worker must survive a read-only doctor call";
}

// ---------------------------------------------------------------------------
// Documents the plugin gives to agents
// ---------------------------------------------------------------------------

constexpr std::string_view k_named_context_tag = "<project-context name=";

VELL_CASE(psyche_md_contains_25_3_absorption_section) {
  ASSERT_TRUE(contains(PSYCHE_MD, "<absorption>")) << "psyche.md must have <absorption> section (25.3-02 Plan 02)";
  ASSERT_TRUE(contains(PSYCHE_MD, "Absorbing inbound two-slice envelopes"))
      << "psyche.md <absorption> section title missing";
  ASSERT_TRUE(contains(PSYCHE_MD, "QRD routes")) << "psyche.md must teach 'QRD routes' phrasing (codex HIGH)";
  ASSERT_FALSE(contains(PSYCHE_MD, k_named_context_tag)) << "Option A locked: no name= attr allowed in psyche.md";
  ASSERT_TRUE(contains(PSYCHE_MD, "25.3-03") || contains(PSYCHE_MD, "DECODED") ||
              contains(PSYCHE_MD, "encoding contract"))
      << "psyche.md must reference Plan 03 encoding contract (DECODED at LLM-stdin)";
}

VELL_CASE(psyche_md_forbids_projects_write_tool_calls) {
  ASSERT_TRUE(contains(PSYCHE_MD, "Do NOT issue Write tool calls to `projects/"))
      << "psyche.md must forbid LLM Write to projects/... paths (D-E-06)";
}

VELL_CASE(skill_files_have_no_project_context_name_attr) {
  // Both files are read before either is searched, so that a missing second
  // file is reported whatever the first one holds.
  const fs::path root = PROJECT_ROOT;
  const auto commune = read_utf8_file(root / "plugin/qrd/skills/commune/commune.md");
  if (!commune) {
    FAIL() << "commune.md must exist: " << commune.error();
  }
  const auto signoff = read_utf8_file(root / "plugin/qrd/skills/signoff/SKILL.md");
  if (!signoff) {
    FAIL() << "signoff/SKILL.md must exist: " << signoff.error();
  }
  ASSERT_FALSE(contains(*commune, k_named_context_tag))
      << "Option A locked: no name= attr allowed in commune.md (cycle-3 MEDIUM)";
  ASSERT_FALSE(contains(*signoff, k_named_context_tag))
      << "Option A locked: no name= attr allowed in signoff/SKILL.md (cycle-3 MEDIUM)";
}

// ---------------------------------------------------------------------------
// Registry and entry
// ---------------------------------------------------------------------------

struct CaseEntry {
  std::string_view name;
  void (*body)();
  int line;
};

#define VELL_CASE_ENTRY(name) CaseEntry(#name, &name, k_##name##_line)

// In ascending byte order of names, the order the harness lists them in.
constexpr std::array k_cases{
    VELL_CASE_ENTRY(deferred_send_does_not_wake_idle_poll),
    VELL_CASE_ENTRY(native_cleanup_session_empty),
    VELL_CASE_ENTRY(native_deliver),
    VELL_CASE_ENTRY(native_deliver_no_target),
    VELL_CASE_ENTRY(native_deliver_with_both_args_backward_compat),
    VELL_CASE_ENTRY(native_deliver_without_from_arg_resolution_error),
    VELL_CASE_ENTRY(native_list_empty),
    VELL_CASE_ENTRY(native_list_one_default_terse),
    VELL_CASE_ENTRY(native_list_one_verbose_full),
    VELL_CASE_ENTRY(native_live_commune_with_explicit_id),
    VELL_CASE_ENTRY(native_live_commune_without_self_id_resolution_error),
    VELL_CASE_ENTRY(native_live_psyche_download_without_self_id_resolution_error),
    VELL_CASE_ENTRY(native_live_signoff_with_true_as_first_arg),
    VELL_CASE_ENTRY(native_poll_and_deliver),
    VELL_CASE_ENTRY(native_reboot_without_id_resolution_error),
    VELL_CASE_ENTRY(native_reply),
    VELL_CASE_ENTRY(native_reply_without_my_id_resolution_error),
    VELL_CASE_ENTRY(native_send_without_from_resolution_error),
    VELL_CASE_ENTRY(native_session_resume_empty),
    VELL_CASE_ENTRY(native_session_resume_skip_worker),
    VELL_CASE_ENTRY(native_setup),
    VELL_CASE_ENTRY(native_spool_fallback),
    VELL_CASE_ENTRY(native_stop_all),
    VELL_CASE_ENTRY(native_stop_nonexistent),
    VELL_CASE_ENTRY(nested_worker_layout),
    VELL_CASE_ENTRY(psyche_md_contains_25_3_absorption_section),
    VELL_CASE_ENTRY(psyche_md_forbids_projects_write_tool_calls),
    VELL_CASE_ENTRY(skill_files_have_no_project_context_name_attr),
    VELL_CASE_ENTRY(sweep_own_orphaned_workers_e2e),
};

static_assert(k_cases.size() == 29);
static_assert(std::is_sorted(k_cases.begin(), k_cases.end(),
                             [](const CaseEntry& a, const CaseEntry& b) { return a.name < b.name; }),
              "cases must stay in ascending byte order of their names");

// Every case shares this one fixture class, as the harness requires of the
// cases of one suite.
class NativeVellCase : public testing::Test {
public:
  explicit NativeVellCase(void (*body)()) : m_body(body) {}
  void TestBody() override { m_body(); }

private:
  void (*m_body)();
};

void register_cases() {
  for (const CaseEntry& entry : k_cases) {
    const std::string name(entry.name);
    testing::RegisterTest("native_vell", name.c_str(), nullptr, nullptr, __FILE__, entry.line,
                          [body = entry.body]() -> NativeVellCase* { return new NativeVellCase(body); });
  }
}

} // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  register_cases();
  return RUN_ALL_TESTS();
}

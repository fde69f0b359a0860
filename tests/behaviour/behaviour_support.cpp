#include "behaviour_support.hpp"

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace vell_behaviour {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* k_reply_prefix = "__REPLY_TO__:";

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

// Waits at most until `deadline` for `fd` to be readable; false on time-out.
bool readable(int fd, Clock::time_point deadline) {
  for (;;) {
    struct pollfd pfd {
      fd, POLLIN, 0
    };
    int n = ::poll(&pfd, 1, remaining_ms(deadline));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    return n > 0;
  }
}

const char* kind_name(fs::file_type type) {
  switch (type) {
  case fs::file_type::regular: return "file";
  case fs::file_type::directory: return "dir";
  case fs::file_type::symlink: return "symlink";
  default: return "other";
  }
}

} // namespace

std::string handed_out(const std::string& body, const std::string& sender) {
  std::string text = body;
  if (text.empty() || text.back() != '\n') {
    text += '\n';
  }
  return text + k_reply_prefix + sender + "\n";
}

std::optional<std::string> read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

std::string tree_snapshot(const fs::path& dir) {
  std::vector<std::string> lines;
  std::error_code ec;
  if (!fs::exists(dir, ec)) {
    return "(missing)";
  }
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const auto& entry = *it;
    auto status = entry.symlink_status();
    std::ostringstream line;
    line << fs::relative(entry.path(), dir).string() << ' ' << kind_name(status.type()) << ' ' << std::oct
         << static_cast<unsigned>(status.permissions()) << std::dec
         << " mtime=" << fs::last_write_time(entry.path(), ec).time_since_epoch().count();
    if (status.type() == fs::file_type::regular) {
      auto contents = read_file(entry.path()).value_or("(unreadable)");
      line << " size=" << contents.size() << " hash=" << std::hash<std::string>{}(contents);
    }
    lines.push_back(line.str());
  }
  if (ec) {
    lines.push_back("(listing failed: " + ec.message() + ")");
  }
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const auto& line : lines) {
    text += line + "\n";
  }
  return text;
}

std::optional<std::uint64_t> process_start_time(int pid) {
  auto text = read_file("/proc/" + std::to_string(pid) + "/stat");
  if (!text) {
    return std::nullopt;
  }
  auto close = text->rfind(')');
  if (close == std::string::npos) {
    return std::nullopt;
  }
  std::istringstream fields(text->substr(close + 2));
  std::string field;
  // The text after ") " starts at field 3; the start time is field 22.
  for (int number = 3; number <= 22; ++number) {
    if (!(fields >> field)) {
      return std::nullopt;
    }
  }
  std::uint64_t value = 0;
  auto [p, err] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (err != std::errc{}) {
    return std::nullopt;
  }
  return value;
}

std::vector<Received> parse_one_line_messages(const std::string& output) {
  std::vector<Received> messages;
  std::size_t pos = 0;
  for (;;) {
    auto body_end = output.find('\n', pos);
    if (body_end == std::string::npos) {
      break;
    }
    auto reply_end = output.find('\n', body_end + 1);
    if (reply_end == std::string::npos) {
      break;
    }
    std::string reply = output.substr(body_end + 1, reply_end - body_end - 1);
    std::string sender = reply.rfind(k_reply_prefix, 0) == 0 ? reply.substr(std::strlen(k_reply_prefix))
                                                             : "(no reply line: '" + reply + "')";
    messages.push_back({output.substr(pos, body_end - pos), sender});
    pos = reply_end + 1;
  }
  return messages;
}

// ---------------------------------------------------------------------------
// Listener

Listener::Listener(vell_test::ChildProcess child, std::string id, fs::path err_file)
    : m_child(std::move(child)), m_id(std::move(id)), m_err_file(std::move(err_file)) {
  m_out = m_child.take_stdout();
}

Listener::~Listener() {
  m_child.kill();
  std::string ignored;
  (void)m_child.wait_with_output(ignored, k_liveness);
  if (m_out >= 0) {
    ::close(m_out);
  }
}

testing::AssertionResult Listener::wait_ready() {
  const std::string marker = "READY:" + m_id;
  auto deadline = Clock::now() + k_liveness;
  for (;;) {
    if (error_text().find(marker) != std::string::npos) {
      return testing::AssertionSuccess();
    }
    std::string error;
    if (auto status = m_child.try_wait(error)) {
      return testing::AssertionFailure() << "poll " << m_id << " ended (" << status->describe() << ") before " << marker
                                         << "; stderr: " << error_text();
    }
    if (Clock::now() >= deadline) {
      return testing::AssertionFailure() << "poll " << m_id << " printed no " << marker << " within "
                                         << k_liveness.count() << " ms; stderr: " << error_text();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

testing::AssertionResult Listener::read_until(const std::function<bool(const std::string&)>& done,
                                              std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  char buf[65536];
  while (!done(m_output)) {
    if (m_eof) {
      return testing::AssertionFailure() << "poll " << m_id << " closed its output; it printed " << m_output.size()
                                         << " bytes; stderr: " << error_text();
    }
    if (!readable(m_out, deadline)) {
      return testing::AssertionFailure() << "poll " << m_id << " did not print what was expected within "
                                         << limit.count() << " ms; it printed " << m_output.size()
                                         << " bytes; stderr: " << error_text();
    }
    ssize_t n = ::read(m_out, buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      m_eof = true;
      continue;
    }
    m_output.append(buf, static_cast<std::size_t>(n));
  }
  return testing::AssertionSuccess();
}

testing::AssertionResult Listener::read_messages(std::size_t count, std::chrono::milliseconds limit) {
  return read_until(
      [count](const std::string& out) {
        std::size_t lines = 0;
        std::size_t pos = 0;
        while ((pos = out.find(k_reply_prefix, pos)) != std::string::npos) {
          auto end = out.find('\n', pos);
          if (end == std::string::npos) {
            break;
          }
          ++lines;
          pos = end;
        }
        return lines >= count;
      },
      limit);
}

bool Listener::output_within(std::chrono::milliseconds window) {
  return readable(m_out, Clock::now() + window);
}

std::string Listener::error_text() const {
  return read_file(m_err_file).value_or("");
}

void Listener::send_signal(int signal) {
  ::kill(m_child.pid(), signal);
}

std::optional<vell_test::ExitStatus> Listener::wait_exit() {
  std::string error;
  auto result = m_child.wait_with_output(error, k_liveness);
  if (!result) {
    ADD_FAILURE() << "poll " << m_id << ": " << error << "; stderr: " << error_text();
    return std::nullopt;
  }
  // The rest of what it printed before it ended.
  (void)read_until([](const std::string&) { return false; }, std::chrono::milliseconds(2000));
  return result->status;
}

std::optional<vell_test::ExitStatus> Listener::try_exit() {
  std::string error;
  return m_child.try_wait(error);
}

// ---------------------------------------------------------------------------
// VellTest

void VellTest::SetUp() {
  std::error_code ec;
  auto base = fs::temp_directory_path(ec);
  ASSERT_FALSE(ec) << "no temporary directory: " << ec.message();
  std::string pattern = (base / "vell-behaviour-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr) << "mkdtemp " << pattern << ": " << std::strerror(errno);
  m_home = pattern;
}

void VellTest::TearDown() {
  if (!m_home.empty()) {
    std::error_code ignored;
    fs::remove_all(m_home, ignored);
  }
}

vell_test::SpawnOptions VellTest::options(const std::string& program, std::vector<std::string> args,
                                          const Env& env) const {
  vell_test::SpawnOptions opts;
  opts.program = program;
  opts.args = std::move(args);
  opts.set_env = {{"HOME", m_home.string()}, {"USERPROFILE", m_home.string()}, {"QRD_HOME", root().string()}};
  for (const auto& entry : env) {
    opts.set_env.push_back(entry);
  }
  for (const char* name : {"VELL_SESSION_ID", "VELL_PARENT_ID", "VELL_DURABLE"}) {
    bool set = std::any_of(env.begin(), env.end(), [name](const auto& entry) { return entry.first == name; });
    if (!set) {
      opts.remove_env.emplace_back(name);
    }
  }
  return opts;
}

vell_test::Output VellTest::vell(std::vector<std::string> args, const std::optional<std::string>& input,
                                 const Env& env) const {
  std::string command = "vell";
  for (const auto& arg : args) {
    command += " '" + arg + "'";
  }
  std::string error;
  auto result = vell_test::run_to_completion(options(VELL_EXE, std::move(args), env), input, error, k_liveness);
  if (!result) {
    ADD_FAILURE() << command << ": " << error;
    return vell_test::Output{vell_test::ExitStatus{-1, 0}, "", ""};
  }
  return *result;
}

vell_test::Output VellTest::vell_through_shell(const std::string& script, std::vector<std::string> args,
                                               const std::optional<std::string>& input) const {
  std::vector<std::string> sh_args = {"-c", script, VELL_EXE};
  sh_args.insert(sh_args.end(), args.begin(), args.end());
  std::string error;
  auto result = vell_test::run_to_completion(options("/bin/sh", std::move(sh_args)), input, error, k_liveness);
  if (!result) {
    ADD_FAILURE() << "sh -c '" << script << "': " << error;
    return vell_test::Output{vell_test::ExitStatus{-1, 0}, "", ""};
  }
  return *result;
}

std::unique_ptr<Listener> VellTest::start_poll(const std::string& id, std::vector<std::string> extra, const Env& env) {
  fs::path err_file = m_home / ("poll-" + std::to_string(++m_poll_count) + ".err");
  // The shell only sets up the redirection and becomes vell (same pid).
  std::vector<std::string> args = {
      "-c", "err=$1; shift; exec \"$@\" 2>\"$err\"", "sh", err_file.string(), VELL_EXE, "poll", id};
  args.insert(args.end(), extra.begin(), extra.end());
  std::string error;
  auto child = vell_test::ChildProcess::spawn(options("/bin/sh", std::move(args), env), error);
  if (!child) {
    ADD_FAILURE() << "cannot start poll " << id << ": " << error;
    return nullptr;
  }
  child->close_stdin();
  return std::make_unique<Listener>(std::move(*child), id, err_file);
}

std::unique_ptr<Listener> VellTest::start_ready_poll(const std::string& id, std::vector<std::string> extra,
                                                     const Env& env) {
  auto listener = start_poll(id, std::move(extra), env);
  if (!listener) {
    return nullptr;
  }
  auto ready = listener->wait_ready();
  if (!ready) {
    ADD_FAILURE() << ready.message();
    return nullptr;
  }
  return listener;
}

testing::AssertionResult VellTest::setup(const std::string& id, const Env& env) const {
  auto result = vell({"setup", id}, std::nullopt, env);
  if (!result.status.success()) {
    return testing::AssertionFailure() << "vell setup " << id << ": " << result.status.describe() << "; " << result.err;
  }
  return testing::AssertionSuccess();
}

testing::AssertionResult VellTest::deliver(const std::string& target, const std::string& sender,
                                           const std::string& body) const {
  auto result = vell({"deliver", target, sender}, body);
  if (!result.status.success()) {
    return testing::AssertionFailure() << "vell deliver " << target << " " << sender << ": " << result.status.describe()
                                       << "; " << result.err;
  }
  return testing::AssertionSuccess();
}

std::vector<std::string> VellTest::names_in(const fs::path& dir) const {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

} // namespace vell_behaviour

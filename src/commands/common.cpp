#include "commands/common.hpp"

#include "core/error.hpp"
#include "core/ids.hpp"
#include "core/inbox.hpp"
#include "os/clock.hpp"
#include "os/fs.hpp"
#include "os/io.hpp"
#include "os/process.hpp"

#include <nlohmann/json.hpp>

namespace vell {

Store& Context::store() {
  if (!m_store) {
    m_store = Store::from_environment();
  }
  return *m_store;
}

void say(std::string_view line) {
  os::write_stderr_line(line);
}

std::string read_body() {
  auto data = os::read_stdin(k_max_body_bytes);
  if (!data) {
    throw Error(k_exit_system, "cannot read the message body from standard input: " + data.error().message());
  }
  if (data->truncated) {
    throw Error(k_exit_usage, "message body is larger than 64 MiB; nothing was sent",
                {"send large content as a file path instead"});
  }
  if (data->bytes.empty()) {
    throw Error(k_exit_usage, "message body is empty; nothing was sent",
                {"pipe the message into vell, e.g. echo hello | vell send TARGET SENDER"});
  }
  return std::move(data->bytes);
}

std::string read_payload() {
  constexpr std::size_t k_limit = 1024 * 1024;
  auto data = os::read_stdin_bounded(k_limit, 2000);
  if (!data) {
    throw Error(k_exit_system, "cannot read the hook payload from standard input: " + data.error().message());
  }
  if (data->truncated) {
    throw Error(k_exit_usage, "hook payload is larger than 1 MiB or was not closed within 2 s");
  }
  return std::move(data->bytes);
}

PerchRecord holder_record(const std::string& id, std::uint64_t holder,
                          const std::variant<PerchRecord, std::string>* previous) {
  PerchRecord record;
  if (previous != nullptr) {
    if (const auto* old = std::get_if<PerchRecord>(previous)) {
      record = *old;
    }
  }
  record.vell_id = id;
  record.pid = holder;
  record.pid_start = os::process_start_time(holder);
  record.mode = "listen";
  record.started = os::utc_now_iso();
  if (record.state.empty()) {
    record.state = std::string(k_state_listener);
  }
  record.cwd = os::current_dir();
  return record;
}

// The session id of a hook payload: nullopt for an empty payload; Error for a
// malformed one or an unusable session id.
std::optional<std::string> payload_session(const std::string& payload) {
  if (payload.find_first_not_of(" \t\r\n") == std::string::npos) {
    return std::nullopt;
  }
  auto json = nlohmann::json::parse(payload, nullptr, false);
  if (json.is_discarded() || !json.is_object()) {
    throw Error(k_exit_ok, "the hook payload is not a JSON object");
  }
  auto it = json.find("session_id");
  if (it == json.end()) {
    return std::nullopt;
  }
  if (!it->is_string()) {
    throw Error(k_exit_ok, "the hook payload's session_id is not a string");
  }
  auto session = it->get<std::string>();
  if (auto problem = id_problem(session)) {
    throw Error(k_exit_ok, "the hook payload's session_id '" + printable(session) + "' " + *problem);
  }
  return session;
}

// Runs a hook body: any error becomes one line on standard error and exit 0.
int run_hook(const std::string& prefix, const std::function<void()>& body) {
  try {
    body();
  } catch (const Error& e) {
    say(prefix + e.what());
  } catch (const std::exception& e) {
    say(prefix + "internal error: " + e.what());
  }
  return k_exit_ok;
}

} // namespace vell

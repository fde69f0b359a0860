// What every command handler shares: the store, reading a body, markers.
#pragma once

#include "core/store.hpp"

#include <CLI/CLI.hpp>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vell {

class Context {
public:
  // The store of the state root named by the environment, made on first use.
  Store& store();
  int exit_code = 0;

private:
  std::optional<Store> m_store;
};

// One marker or notice line on standard error.
void say(std::string_view line);

// Reads a message body from standard input: refuses an empty body and one
// over the size limit (Error, usage), storing nothing.
std::string read_body();

// Reads a hook payload from standard input, at most 1 MiB; more is refused.
std::string read_payload();

// A record for a perch vell holds for `holder`, keeping what an earlier record
// said where it still applies (session, state, parent, extra keys).
PerchRecord holder_record(const std::string& id, std::uint64_t holder,
                          const std::variant<PerchRecord, std::string>* previous);

// Finds or creates perch `id` (flat) with its inbox and tmp directories.
Perch ensure_perch(Store& store, const std::string& id);

// Writes the ready marker and, when `holder` is given, a record naming it as
// the holder; records the session of VELL_SESSION_ID and its session map.
void announce_perch(Store& store, const Perch& perch, std::optional<std::uint64_t> holder);

// The session id of a hook payload (JSON with "session_id"): nullopt for an
// empty payload or one without the key; Error for a malformed payload or an
// unusable session id.
std::optional<std::string> payload_session(const std::string& payload);

// Runs a hook's body so that it can never break the host: any error becomes
// `prefix` + its message on standard error, and the exit code is 0.
int run_hook(const std::string& prefix, const std::function<void()>& body);

// Which commands to register: one named command, or all of them (for the
// overview help). Building only the command that runs keeps start-up short.
class CommandFilter {
public:
  CommandFilter() = default;
  explicit CommandFilter(std::string only) : m_only(std::move(only)) {}
  bool operator()(std::string_view name) const { return !m_only || *m_only == name; }

private:
  std::optional<std::string> m_only;
};

// Command groups, each registering those of its subcommands that `wanted` names.
void register_messaging(CLI::App& app, Context& ctx, const CommandFilter& wanted);
void register_registry(CLI::App& app, Context& ctx, const CommandFilter& wanted);
void register_sessions(CLI::App& app, Context& ctx, const CommandFilter& wanted);
void register_workers(CLI::App& app, Context& ctx, const CommandFilter& wanted);
void register_live(CLI::App& app, Context& ctx, const CommandFilter& wanted);

} // namespace vell

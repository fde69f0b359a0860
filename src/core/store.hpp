// The perch store: the state root and the perches below it.
//
//   ROOT/vellery/ID/                    a perch
//       inbox/                          pending messages, one file each
//       tmp/                            bodies being written, moved into inbox/ when whole
//       ready                           the ready marker (empty)
//       info.json                       the perch record
//       .listener.lock                  held by the perch's one listener
//       .seq                            the arrival counter, locked while a message is filed
//       .senders                        senders of recently handed-out messages
//       .working-counter(.lock)         the worker counter of a parent
//       nested/WORKER/                  a worker perch, laid out like any perch
//   ROOT/sessions/SESSION.json          {"vell_id":"ID"}: the perch of an agent session
//   ROOT/agents/ID/live_context.md      the Psyche's saved context for ID
#pragma once

#include "core/record.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vell {

struct Perch {
  std::string id;
  std::string dir;
  std::optional<std::string> parent; // set for a worker nested under its parent

  std::string inbox() const { return dir + "/inbox"; }
  std::string tmp() const { return dir + "/tmp"; }
  std::string ready() const { return dir + "/ready"; }
  std::string record() const { return dir + "/info.json"; }
  std::string listener_lock() const { return dir + "/.listener.lock"; }
  std::string seq() const { return dir + "/.seq"; }
  std::string senders() const { return dir + "/.senders"; }
  std::string nested() const { return dir + "/nested"; }
  std::string working_counter() const { return dir + "/.working-counter"; }
  std::string working_counter_lock() const { return dir + "/.working-counter.lock"; }
};

class Store {
public:
  // The state root from the environment: QRD_HOME, else $HOME/.qrd, else
  // $USERPROFILE/.qrd. Throws Error(system) when none is set.
  static Store from_environment();
  explicit Store(std::string root);

  const std::string& root() const { return m_root; }
  std::string vellery() const { return m_root + "/vellery"; }
  std::string sessions() const { return m_root + "/sessions"; }
  std::string session_map(std::string_view session_id) const;
  std::string agent_dir(std::string_view id) const;

  // Whether writes are made durable against a machine crash (VELL_DURABLE=1).
  bool durable() const { return m_durable; }

  // True when the state root exists. Read-only commands stop here when it
  // does not, and create nothing.
  bool exists() const;

  // Refuses a state root that is a symbolic link, not a directory, owned by
  // another user, or writable by group or others (Error, exit 3).
  void check_root() const;

  // Creates the state root (0700) and `vellery` when missing, then checks it.
  void ensure_root() const;

  // Finds a perch by id: directly in vellery/, else, for a worker id, in its
  // parent's nested/ directory. The id must already be valid.
  std::optional<Perch> find(std::string_view id) const;

  // find() or Error(not found) "NO_PERCH:ID".
  Perch require(std::string_view id) const;

  // Every perch, each parent directly followed by its nested workers.
  std::vector<Perch> all() const;

  // Creates the perch's directories (flat unless `parent` is given).
  Perch create(std::string_view id, const Perch* parent = nullptr) const;

private:
  void collect(const std::string& dir, const std::optional<std::string>& parent, std::vector<Perch>& out) const;

  std::string m_root;
  bool m_durable = false;
};

// Reads a perch's record: the record, or the reason it cannot be used.
std::variant<PerchRecord, std::string> read_record(const Perch& perch);

// Replaces the perch's record atomically.
void write_record(const Store& store, const Perch& perch, const PerchRecord& record);

// True when some process listens on the perch right now (holds its lock).
bool listener_running(const Perch& perch);

// True when the recorded holder is a live process (start time checked when recorded).
bool holder_alive(const PerchRecord& record);

// A worker perch: nested under a parent, or recorded in state "working"
// (the flat layout of older versions).
bool is_worker_perch(const Perch& perch, const std::variant<PerchRecord, std::string>& record);

// ACTIVE: a ready marker and a live holder or a running listener.
bool perch_active(const Perch& perch, const std::variant<PerchRecord, std::string>& record);

// Writes sessions/SESSION.json naming `id`, atomically.
void write_session_map(const Store& store, std::string_view session_id, std::string_view id);

// The perch named by a session map, if the map exists and is well formed.
std::optional<std::string> read_session_map(const Store& store, std::string_view session_id);

} // namespace vell

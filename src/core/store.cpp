#include "core/store.hpp"

#include "core/error.hpp"
#include "core/ids.hpp"
#include "os/fs.hpp"
#include "os/io.hpp"
#include "os/lock.hpp"
#include "os/process.hpp"

#include <algorithm>

namespace vell {

Store Store::from_environment() {
  if (auto qrd_home = os::get_env("QRD_HOME"); qrd_home && !qrd_home->empty()) {
    return Store(*qrd_home);
  }
  for (const char* var : {"HOME", "USERPROFILE"}) {
    if (auto home = os::get_env(var); home && !home->empty()) {
      return Store(os::join(*home, ".qrd"));
    }
  }
  throw Error(k_exit_system, "cannot find the state root: none of QRD_HOME, HOME or USERPROFILE is set",
              {"set QRD_HOME to the directory vell should keep its perches in"});
}

Store::Store(std::string root) : m_root(std::move(root)) {
  while (m_root.size() > 1 && m_root.back() == '/') {
    m_root.pop_back();
  }
  auto durable = os::get_env("VELL_DURABLE");
  m_durable = durable && *durable == "1";
}

std::string Store::session_map(std::string_view session_id) const {
  return sessions() + "/" + std::string(session_id) + ".json";
}

std::string Store::agent_dir(std::string_view id) const {
  return m_root + "/agents/" + std::string(id);
}

bool Store::exists() const {
  return os::exists(m_root);
}

void Store::check_root() const {
  auto info = os::file_info(m_root);
  if (!info) {
    throw_system("inspect the state root", m_root, info.error());
  }
  std::string problem;
  if (info->kind == os::FileKind::symlink) {
    problem = "is a symbolic link";
  } else if (info->kind != os::FileKind::directory) {
    problem = "is not a directory";
  } else if (info->owner != os::current_uid()) {
    problem = "is owned by another user";
  } else if ((info->mode & 022) != 0) {
    problem = "is writable by group or others";
  }
  if (!problem.empty()) {
    throw Error(k_exit_system, "refusing to use the state root '" + m_root + "': it " + problem,
                {"point QRD_HOME at a private directory of your own (mode 0700)"});
  }
}

void Store::ensure_root() const {
  if (!exists()) {
    if (auto ec = os::make_dirs(m_root, 0700)) {
      throw_system("create the state root", m_root, ec);
    }
  }
  check_root();
  if (auto ec = os::make_dir(vellery(), 0700)) {
    throw_system("create", vellery(), ec);
  }
}

std::optional<Perch> Store::find(std::string_view id) const {
  std::string flat = vellery() + "/" + std::string(id);
  if (os::is_directory(flat)) {
    return Perch{std::string(id), flat, std::nullopt};
  }
  if (auto parent_id = worker_parent(id)) {
    if (auto parent = find(*parent_id)) {
      std::string nested = parent->nested() + "/" + std::string(id);
      if (os::is_directory(nested)) {
        return Perch{std::string(id), nested, parent->id};
      }
    }
  }
  return std::nullopt;
}

Perch Store::require(std::string_view id) const {
  if (auto perch = find(id)) {
    return *perch;
  }
  throw Error(k_exit_not_found, "NO_PERCH:" + std::string(id),
              {"no perch '" + std::string(id) + "' is set up; create it with 'vell setup " + std::string(id) + "'"});
}

void Store::collect(const std::string& dir, const std::optional<std::string>& parent, std::vector<Perch>& out) const {
  auto names = os::list_dir(dir);
  if (!names) {
    return;
  }
  std::sort(names->begin(), names->end());
  for (const auto& name : *names) {
    std::string path = dir + "/" + name;
    if (id_problem(name) || !os::is_directory(path)) {
      continue; // temporary files and foreign entries are not perches
    }
    out.push_back(Perch{name, path, parent});
    collect(path + "/nested", name, out);
  }
}

std::vector<Perch> Store::all() const {
  std::vector<Perch> out;
  collect(vellery(), std::nullopt, out);
  return out;
}

Perch Store::create(std::string_view id, const Perch* parent) const {
  ensure_root();
  Perch perch{std::string(id), "", std::nullopt};
  if (parent != nullptr) {
    if (auto ec = os::make_dir(parent->nested(), 0700)) {
      throw_system("create", parent->nested(), ec);
    }
    perch.dir = parent->nested() + "/" + std::string(id);
    perch.parent = parent->id;
  } else {
    perch.dir = vellery() + "/" + std::string(id);
  }
  for (const auto& dir : {perch.dir, perch.inbox(), perch.tmp()}) {
    if (auto ec = os::make_dir(dir, 0700)) {
      throw_system("create", dir, ec);
    }
  }
  return perch;
}

std::variant<PerchRecord, std::string> read_record(const Perch& perch) {
  auto text = os::read_file(perch.record());
  if (!text) {
    if (text.error() == std::errc::no_such_file_or_directory) {
      return std::string("info.json is missing");
    }
    return "cannot read info.json: " + text.error().message();
  }
  auto parsed = parse_record(*text);
  if (auto* problem = std::get_if<std::string>(&parsed)) {
    return "info.json: " + *problem;
  }
  return parsed;
}

void write_record(const Store& store, const Perch& perch, const PerchRecord& record) {
  if (auto ec = os::write_file_atomic(perch.record(), serialize_record(record), store.durable())) {
    throw_system("write", perch.record(), ec);
  }
}

bool listener_running(const Perch& perch) {
  return os::lock_is_held(perch.listener_lock());
}

bool holder_alive(const PerchRecord& record) {
  return os::process_alive(record.pid, record.pid_start);
}

bool is_worker_perch(const Perch& perch, const std::variant<PerchRecord, std::string>& record) {
  const auto* rec = std::get_if<PerchRecord>(&record);
  return perch.parent.has_value() || (rec != nullptr && rec->is_worker());
}

bool perch_active(const Perch& perch, const std::variant<PerchRecord, std::string>& record) {
  if (!os::exists(perch.ready())) {
    return false;
  }
  if (listener_running(perch)) {
    return true;
  }
  const auto* rec = std::get_if<PerchRecord>(&record);
  return rec != nullptr && holder_alive(*rec);
}

void write_session_map(const Store& store, std::string_view session_id, std::string_view id) {
  if (auto ec = os::make_dir(store.sessions(), 0700)) {
    throw_system("create", store.sessions(), ec);
  }
  nlohmann::json map = {{"vell_id", std::string(id)}};
  std::string path = store.session_map(session_id);
  if (auto ec = os::write_file_atomic(path, map.dump(), store.durable())) {
    throw_system("write", path, ec);
  }
}

std::optional<std::string> read_session_map(const Store& store, std::string_view session_id) {
  auto text = os::read_file(store.session_map(session_id));
  if (!text) {
    return std::nullopt;
  }
  auto map = nlohmann::json::parse(*text, nullptr, false);
  if (map.is_discarded() || !map.is_object()) {
    return std::nullopt;
  }
  auto it = map.find("vell_id");
  if (it == map.end() || !it->is_string()) {
    return std::nullopt;
  }
  return it->get<std::string>();
}

} // namespace vell

#include "core/record.hpp"

namespace vell {
namespace {

using Json = nlohmann::ordered_json;

// Takes a string member out of `obj` into `out`; false on a wrong type.
bool take_string(Json& obj, const char* key, std::string& out) {
  auto it = obj.find(key);
  if (it == obj.end()) {
    return true;
  }
  if (!it->is_string()) {
    return false;
  }
  out = it->get<std::string>();
  obj.erase(it);
  return true;
}

bool take_uint(Json& obj, const char* key, std::optional<std::uint64_t>& out) {
  auto it = obj.find(key);
  if (it == obj.end()) {
    return true;
  }
  if (!it->is_number_unsigned()) {
    return false; // negative, fractional, or not a number at all
  }
  out = it->get<std::uint64_t>();
  obj.erase(it);
  return true;
}

} // namespace

std::variant<PerchRecord, std::string> parse_record(std::string_view text) {
  Json obj = Json::parse(text.begin(), text.end(), nullptr, false);
  if (obj.is_discarded()) {
    return std::string("not valid JSON");
  }
  if (!obj.is_object()) {
    return std::string("not a JSON object");
  }
  PerchRecord record;
  for (auto [key, field] :
       {std::pair{"vell_id", &record.vell_id}, std::pair{"mode", &record.mode}, std::pair{"started", &record.started},
        std::pair{"session_id", &record.session_id}, std::pair{"state", &record.state}, std::pair{"cwd", &record.cwd},
        std::pair{"parent", &record.parent}}) {
    if (!take_string(obj, key, *field)) {
      return std::string("'") + key + "' is not a string";
    }
  }
  std::optional<std::uint64_t> pid;
  if (!take_uint(obj, "pid", pid)) {
    return std::string("'pid' is not a non-negative integer");
  }
  record.pid = pid.value_or(0);
  if (!take_uint(obj, "pid_start", record.pid_start)) {
    return std::string("'pid_start' is not a non-negative integer");
  }
  if (record.vell_id.empty()) {
    return std::string("'vell_id' is missing");
  }
  record.extra = std::move(obj);
  return record;
}

std::string serialize_record(const PerchRecord& record) {
  Json obj = Json::object();
  obj["vell_id"] = record.vell_id;
  obj["pid"] = record.pid;
  obj["mode"] = record.mode;
  obj["started"] = record.started;
  obj["session_id"] = record.session_id;
  obj["state"] = record.state;
  if (!record.cwd.empty()) {
    obj["cwd"] = record.cwd;
  }
  if (!record.parent.empty()) {
    obj["parent"] = record.parent;
  }
  if (record.pid_start) {
    obj["pid_start"] = *record.pid_start;
  }
  for (const auto& [key, value] : record.extra.items()) {
    if (!obj.contains(key)) {
      obj[key] = value;
    }
  }
  // Invalid UTF-8 in a string (a cwd, say) is replaced, never a throw.
  return obj.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace vell

// The perch record, info.json: one compact JSON object naming the perch, the
// process that holds it and what it is for. Read in any key order with extra
// keys kept; written compact, in one fixed order.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vell {

inline constexpr std::string_view k_state_listener = "listener";
inline constexpr std::string_view k_state_working = "working";

struct PerchRecord {
  std::string vell_id;
  std::uint64_t pid = 0;                  // holder; 0 when none is recorded
  std::optional<std::uint64_t> pid_start; // holder's start time, when vell wrote the record
  std::string mode = "listen";
  std::string started; // UTC, "YYYY-MM-DDTHH:MM:SSZ"
  std::string session_id;
  std::string state{k_state_listener};
  std::string cwd;
  std::string parent;                                              // a worker's parent perch
  nlohmann::ordered_json extra = nlohmann::ordered_json::object(); // keys vell does not know

  bool is_worker() const { return state == k_state_working; }
};

// Parses a record. Returns the reason when the text is not a JSON object, or
// when a known key has the wrong type or `vell_id` is missing. `pid` must be
// a non-negative integer (a recorded 4294967295 stays that value; it is never
// narrowed).
std::variant<PerchRecord, std::string> parse_record(std::string_view text);

// Compact JSON: vell_id, pid, mode, started, session_id, state, then cwd,
// parent and pid_start where set, then the extra keys. No final newline.
std::string serialize_record(const PerchRecord& record);

} // namespace vell

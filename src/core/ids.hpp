// The one check every id passes before it becomes part of a path: perch ids,
// worker ids, parent ids, sender ids and session ids.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vell {

inline constexpr std::size_t k_max_id_length = 64;

// nullopt when `id` is a safe single path component: 1 to 64 bytes of
// ASCII letters, digits, '.', '_' and '-', not starting with '.' or '-'.
// Otherwise the reason it is refused, e.g. "contains '/'".
std::optional<std::string> id_problem(std::string_view id);

// Throws Error(usage) "invalid KIND 'ID': REASON" when id_problem finds one.
// `kind` names the role: "perch id", "sender id", "session id"...
void require_valid_id(std::string_view kind, std::string_view id);

// The id shown safely in a message: printable ASCII kept, anything else as \xNN.
std::string printable(std::string_view text);

// A worker id is its parent's id, "-w" and a decimal number. Returns the
// parent id for a worker id, nullopt otherwise.
std::optional<std::string> worker_parent(std::string_view id);

} // namespace vell

// Working out which perch is the caller's own.
#pragma once

#include "core/store.hpp"

#include <optional>
#include <string>

namespace vell {

inline constexpr std::string_view k_resolution_marker = "Could not determine your perch";

// The caller's own perch id: `explicit_id` when given (validated); otherwise
// VELL_SESSION_ID, through the session map, to the id of a perch that exists.
// Failing that, Error(not found) starting with "Could not determine your
// perch" and carrying `fix_hint`, one line saying how to name yourself.
std::string resolve_own_id(const Store& store, const std::optional<std::string>& explicit_id,
                           const std::string& fix_hint);

// VELL_SESSION_ID when set and valid; an invalid value is refused (Error, usage).
std::optional<std::string> session_from_environment();

} // namespace vell

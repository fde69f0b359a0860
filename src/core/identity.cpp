#include "core/identity.hpp"

#include "core/error.hpp"
#include "core/ids.hpp"
#include "os/io.hpp"

namespace vell {

std::optional<std::string> session_from_environment() {
  auto session = os::get_env("VELL_SESSION_ID");
  if (!session || session->empty()) {
    return std::nullopt;
  }
  require_valid_id("session id (VELL_SESSION_ID)", *session);
  return session;
}

std::string resolve_own_id(const Store& store, const std::optional<std::string>& explicit_id,
                           const std::string& fix_hint) {
  if (explicit_id) {
    require_valid_id("perch id", *explicit_id);
    return *explicit_id;
  }
  auto fail = [&](const std::string& why) -> std::string {
    throw Error(k_exit_not_found, std::string(k_resolution_marker) + ": " + why, {fix_hint});
  };
  auto session = os::get_env("VELL_SESSION_ID");
  if (!session || session->empty()) {
    return fail("no perch id was given and VELL_SESSION_ID is not set");
  }
  if (id_problem(*session)) {
    return fail("VELL_SESSION_ID '" + printable(*session) + "' is not a valid session id");
  }
  auto id = read_session_map(store, *session);
  if (!id) {
    return fail("session '" + *session + "' has no perch (no " + store.session_map(*session) + ")");
  }
  if (id_problem(*id) || !store.find(*id)) {
    return fail("session '" + *session + "' names perch '" + printable(*id) + "', which does not exist");
  }
  return *id;
}

} // namespace vell

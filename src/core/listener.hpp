// Ending a perch's listener.
#pragma once

#include "core/store.hpp"

#include <string>

namespace vell {

enum class EndOutcome {
  none,    // no listener was running
  stopped, // the listener ended after SIGTERM
  killed,  // it ignored SIGTERM and was killed
  unknown, // the lock is held but the record does not name a live holder
  failed,  // it could not be ended
};

// Ends the perch's listener, if one runs. A process is signalled only when
// the kernel lists it as holding the perch's listener lock and the record
// names it (pid and start time), so a reused pid or a foreign process is
// never signalled. Waits up to
// 3 s after SIGTERM, then sends SIGKILL. Messages stay in the inbox.
EndOutcome end_listener(const Perch& perch);

// Removes the ready marker; a missing marker is fine (Error, exit 3, otherwise).
void clear_ready(const Perch& perch);

} // namespace vell

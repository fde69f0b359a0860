// Sweeping a worker perch away without losing its messages.
#pragma once

#include "core/store.hpp"

#include <string>

namespace vell {

// The parent of a worker perch: the directory it is nested in, else the
// record's `parent`, else the id's "-wN" prefix; nullopt when none exists.
std::optional<Perch> worker_parent_perch(const Store& store, const Perch& worker,
                                         const std::variant<PerchRecord, std::string>& record);

struct SweepResult {
  std::size_t moved = 0;  // messages refiled in the parent's inbox
  std::string kept_aside; // where the inbox was kept when there is no parent
};

// Ends the worker's listener, refiles its pending messages in its parent's
// inbox (sender and order kept; or, without a parent, moves the inbox to
// ROOT/orphaned/ID-TIME/), then removes the worker perch. A message is
// removed from the worker only after it has been filed with the parent.
SweepResult sweep_worker(const Store& store, const Perch& worker);

} // namespace vell

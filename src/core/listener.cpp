#include "core/listener.hpp"

#include "core/error.hpp"
#include "os/clock.hpp"
#include "os/fs.hpp"
#include "os/lock.hpp"
#include "os/process.hpp"

#include <algorithm>

namespace vell {
namespace {

bool wait_for_release(const Perch& perch, int limit_ms) {
  auto deadline = os::monotonic_ms() + limit_ms;
  while (listener_running(perch)) {
    if (os::monotonic_ms() >= deadline) {
      return false;
    }
    os::sleep_ms(10);
  }
  return true;
}

} // namespace

EndOutcome end_listener(const Perch& perch) {
  if (!listener_running(perch)) {
    return EndOutcome::none;
  }
  auto record = read_record(perch);
  const auto* rec = std::get_if<PerchRecord>(&record);
  if (rec == nullptr || !holder_alive(*rec) || !rec->pid_start) {
    return EndOutcome::unknown;
  }
  // The record alone proves nothing: the process it names must be the one
  // the kernel lists as holding the listener lock.
  auto holders = os::flock_holders(perch.listener_lock());
  if (std::find(holders.begin(), holders.end(), rec->pid) == holders.end()) {
    return EndOutcome::unknown;
  }
  if (!os::send_signal(rec->pid, os::Signal::terminate)) {
    return listener_running(perch) ? EndOutcome::failed : EndOutcome::stopped;
  }
  if (wait_for_release(perch, 3000)) {
    return EndOutcome::stopped;
  }
  if (os::process_alive(rec->pid, rec->pid_start)) {
    (void)os::send_signal(rec->pid, os::Signal::kill);
  }
  return wait_for_release(perch, 2000) ? EndOutcome::killed : EndOutcome::failed;
}

void clear_ready(const Perch& perch) {
  if (auto ec = os::remove_file(perch.ready())) {
    throw_system("remove the ready marker", perch.ready(), ec);
  }
}

} // namespace vell

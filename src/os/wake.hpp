// Waiting for a listener's inbox to change, or for a request to stop.
//
// The inbox on disk is the truth; a wake-up only says "look again". A lost or
// spurious wake-up therefore costs at most a rescan, never a message. Callers
// set up the watch first and scan second, so that a message arriving between
// the two is seen by the scan or wakes the wait.
#pragma once

#include <string>
#include <system_error>

namespace vell::os {

class Wakeup {
public:
  // Blocks SIGTERM, SIGINT and SIGHUP for the process, so that they are
  // received by wait() as a stop request instead of killing the process
  // between a print and the removal of what was printed.
  Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;
  ~Wakeup();

  // Watches `dir` for new entries (created or moved in). If the kernel gives
  // no notification instance (per-user limit), falls back to rescanning
  // every 100 ms rather than failing. Errors only when `dir` cannot be used.
  std::error_code watch(const std::string& dir);

  enum class Reason { changed, stop };

  // Blocks until the watched directory may have changed or a stop signal
  // arrived. A stop request wins over a change.
  Reason wait();

  // Non-blocking: true once a stop signal has been received.
  bool stop_requested();

  bool polling_fallback() const { return m_inotify < 0; }

private:
  int m_signal_fd = -1;
  int m_inotify = -1;
  bool m_stop = false;
};

} // namespace vell::os

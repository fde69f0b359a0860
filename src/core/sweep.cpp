#include "core/sweep.hpp"

#include "core/error.hpp"
#include "core/ids.hpp"
#include "core/inbox.hpp"
#include "core/listener.hpp"
#include "os/clock.hpp"
#include "os/fs.hpp"

namespace vell {

std::optional<Perch> worker_parent_perch(const Store& store, const Perch& worker,
                                         const std::variant<PerchRecord, std::string>& record) {
  std::optional<std::string> parent_id = worker.parent;
  if (!parent_id) {
    if (const auto* rec = std::get_if<PerchRecord>(&record); rec != nullptr && !rec->parent.empty()) {
      parent_id = rec->parent;
    } else {
      parent_id = worker_parent(worker.id);
    }
  }
  if (!parent_id || id_problem(*parent_id) || *parent_id == worker.id) {
    return std::nullopt;
  }
  return store.find(*parent_id);
}

SweepResult sweep_worker(const Store& store, const Perch& worker) {
  auto outcome = end_listener(worker);
  if (outcome == EndOutcome::failed || outcome == EndOutcome::unknown) {
    throw Error(k_exit_system, "cannot end the listener of worker perch '" + worker.id + "'; not swept");
  }
  SweepResult result;
  auto record = read_record(worker);
  auto parent = worker_parent_perch(store, worker, record);
  auto messages = pending_messages(worker);
  if (parent) {
    for (const auto& message : messages) {
      if (auto body = read_message_body(worker, message)) {
        file_message(store, *parent, message.sender, *body, message.deferred);
        ++result.moved;
      }
      remove_message(worker, message);
    }
  } else if (!messages.empty()) {
    std::string aside_root = store.root() + "/orphaned";
    if (auto ec = os::make_dir(aside_root, 0700)) {
      throw_system("create", aside_root, ec);
    }
    result.kept_aside = aside_root + "/" + worker.id + "-" + std::to_string(os::unix_now());
    if (auto ec = os::rename_path(worker.inbox(), result.kept_aside)) {
      throw_system("keep the messages of '" + worker.id + "' aside in", result.kept_aside, ec);
    }
  }
  if (auto ec = os::remove_tree(worker.dir)) {
    throw_system("remove the worker perch", worker.dir, ec);
  }
  return result;
}

} // namespace vell

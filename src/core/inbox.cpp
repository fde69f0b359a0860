#include "core/inbox.hpp"

#include "core/error.hpp"
#include "core/ids.hpp"
#include "os/clock.hpp"
#include "os/fs.hpp"
#include "os/lock.hpp"
#include "os/process.hpp"
#include "os/random.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace vell {
namespace {

constexpr std::size_t k_seq_digits = 20;
constexpr std::size_t k_recent_senders = 64;

std::optional<std::uint64_t> parse_u64(std::string_view text) {
  std::uint64_t value = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || p != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// The highest number among the filed messages: one pass over the names,
// reading only their leading digits, since it runs for every message filed.
std::uint64_t highest_filed(const Perch& perch) {
  std::uint64_t highest = 0;
  (void)os::for_each_name(perch.inbox(), [&](std::string_view name) {
    if (name.size() > k_seq_digits && name[k_seq_digits] == '.') {
      if (auto seq = parse_u64(name.substr(0, k_seq_digits))) {
        highest = std::max(highest, *seq);
      }
    }
  });
  return highest;
}

// Removes the temporary body on every way out; once it is linked into the
// inbox this only drops the temporary name.
class TmpGuard {
public:
  TmpGuard(const os::DirHandle& dir, std::string name) : m_dir(dir), m_name(std::move(name)) {}
  ~TmpGuard() { (void)m_dir.remove(m_name); }
  TmpGuard(const TmpGuard&) = delete;
  TmpGuard& operator=(const TmpGuard&) = delete;
  const std::string& name() const { return m_name; }

private:
  const os::DirHandle& m_dir;
  std::string m_name;
};

} // namespace

std::string message_file_name(std::uint64_t seq, Deferred deferred, std::string_view sender) {
  char digits[k_seq_digits + 1];
  std::snprintf(digits, sizeof digits, "%020llu", static_cast<unsigned long long>(seq));
  std::string name(digits);
  name += deferred == Deferred::yes ? ".d." : ".n.";
  name += sender;
  return name;
}

std::optional<Message> parse_message_name(std::string_view name) {
  if (name.size() < k_seq_digits + 4 || name[k_seq_digits] != '.' || name[k_seq_digits + 2] != '.') {
    return std::nullopt;
  }
  auto seq = parse_u64(name.substr(0, k_seq_digits));
  char kind = name[k_seq_digits + 1];
  std::string_view sender = name.substr(k_seq_digits + 3);
  if (!seq || (kind != 'n' && kind != 'd') || id_problem(sender)) {
    return std::nullopt;
  }
  return Message{*seq, kind == 'd' ? Deferred::yes : Deferred::no, std::string(sender), std::string(name)};
}

std::uint64_t file_message(const Store& store, const Perch& perch, std::string_view sender, std::string_view body,
                           Deferred deferred) {
  // Both directories are opened without following a link, and every name is
  // made relative to them: a tmp/ or inbox/ replaced by a symbolic link can
  // never redirect a message elsewhere.
  auto tmp_dir = os::DirHandle::open(perch.tmp());
  if (!tmp_dir && tmp_dir.error() == std::errc::no_such_file_or_directory) {
    if (auto ec = os::make_dir(perch.tmp(), 0700)) {
      throw_system("create", perch.tmp(), ec);
    }
    tmp_dir = os::DirHandle::open(perch.tmp());
  }
  if (!tmp_dir) {
    throw_system("open", perch.tmp(), tmp_dir.error());
  }
  auto inbox = os::DirHandle::open(perch.inbox());
  if (!inbox) {
    throw_system("open the inbox", perch.inbox(), inbox.error());
  }
  TmpGuard tmp(*tmp_dir,
               std::to_string(os::unix_now()) + "." + std::to_string(os::self_pid()) + "." + os::random_token());
  if (auto ec = tmp_dir->write_new(tmp.name(), body, store.durable())) {
    throw_system("write the message body to", perch.tmp() + "/" + tmp.name(), ec);
  }

  // The number is taken and the message linked under one lock, so arrival
  // order is the order in which senders got the lock. The inbox is the
  // truth: the next number is past both the counter and everything filed,
  // so a counter that fell behind (a lost write, a hand edit) can never give
  // a new message the number of a pending one.
  os::FileLock lock(perch.seq());
  if (auto ec = lock.acquire()) {
    throw_system("lock", perch.seq(), ec);
  }
  auto text = os::read_fd(lock.fd());
  if (!text) {
    throw_system("read", perch.seq(), text.error());
  }
  std::uint64_t seq = std::max(parse_u64(*text).value_or(0), highest_filed(perch)) + 1;
  std::string name = message_file_name(seq, deferred, sender);
  // The counter moves first: a crash after this costs a gap, never a reuse.
  if (auto ec = os::replace_fd_contents(lock.fd(), std::to_string(seq), store.durable())) {
    throw_system("write", perch.seq(), ec);
  }
  if (auto ec = tmp_dir->link_to(tmp.name(), *inbox, name)) {
    throw_system("file the message in", perch.inbox() + "/" + name, ec);
  }
  if (store.durable()) {
    if (auto ec = inbox->sync()) {
      throw_system("sync", perch.inbox(), ec);
    }
  }
  return seq;
}

std::vector<Message> pending_messages(const Perch& perch) {
  std::vector<Message> messages;
  auto names = os::list_dir(perch.inbox());
  if (!names) {
    return messages;
  }
  for (const auto& name : *names) {
    if (auto message = parse_message_name(name)) {
      messages.push_back(std::move(*message));
    }
  }
  std::sort(messages.begin(), messages.end(),
            [](const Message& a, const Message& b) { return a.seq != b.seq ? a.seq < b.seq : a.file < b.file; });
  return messages;
}

std::optional<std::string> read_message_body(const Perch& perch, const Message& message) {
  std::string path = perch.inbox() + "/" + message.file;
  auto body = os::read_file(path);
  if (!body) {
    if (body.error() == std::errc::no_such_file_or_directory) {
      return std::nullopt;
    }
    throw_system("read", path, body.error());
  }
  return std::move(*body);
}

void remove_message(const Perch& perch, const Message& message) {
  std::string path = perch.inbox() + "/" + message.file;
  if (auto ec = os::remove_file(path)) {
    throw_system("remove the handed-out message", path, ec);
  }
}

std::vector<std::string> recent_senders(const Perch& perch) {
  std::vector<std::string> senders;
  auto text = os::read_file(perch.senders());
  if (!text) {
    return senders;
  }
  std::size_t start = 0;
  while (start < text->size()) {
    auto end = text->find('\n', start);
    if (end == std::string::npos) {
      end = text->size();
    }
    std::string id = text->substr(start, end - start);
    if (!id_problem(id)) {
      senders.push_back(std::move(id));
    }
    start = end + 1;
  }
  return senders;
}

void remember_senders(const Store& store, const Perch& perch, const std::vector<std::string>& senders) {
  if (senders.empty()) {
    return;
  }
  auto note = recent_senders(perch);
  for (const auto& sender : senders) {
    note.erase(std::remove(note.begin(), note.end(), sender), note.end());
    note.push_back(sender);
  }
  if (note.size() > k_recent_senders) {
    note.erase(note.begin(), note.end() - static_cast<std::ptrdiff_t>(k_recent_senders));
  }
  std::string text;
  for (const auto& id : note) {
    text += id + "\n";
  }
  if (auto ec = os::write_file_atomic(perch.senders(), text, store.durable())) {
    throw_system("write", perch.senders(), ec);
  }
}

} // namespace vell

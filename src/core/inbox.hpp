// Messages in a perch's inbox.
//
// A message is one file in inbox/, named "SEQ.KIND.SENDER": SEQ is the
// perch's arrival counter in 20 decimal digits, so names sort in arrival
// order; KIND is "n" for a normal message and "d" for a deferred one, fixed
// when the message is filed; SENDER is the sender's perch id. The file holds
// the body, byte for byte. A body is written whole under tmp/ first and only
// then linked into inbox/, so a listener never sees a partial message.
#pragma once

#include "core/store.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vell {

enum class Deferred { no, yes };

// Bodies larger than this are refused.
inline constexpr std::size_t k_max_body_bytes = 64 * 1024 * 1024;

struct Message {
  std::uint64_t seq = 0;
  Deferred deferred = Deferred::no;
  std::string sender;
  std::string file; // the name in inbox/
};

std::string message_file_name(std::uint64_t seq, Deferred deferred, std::string_view sender);

// nullopt for names that are not messages (temporary or foreign files).
std::optional<Message> parse_message_name(std::string_view name);

// Files `body` from `sender` in the perch's inbox and returns its sequence
// number. Never replaces another message; on any failure nothing is filed
// and the temporary file is removed (Error, exit 3).
std::uint64_t file_message(const Store& store, const Perch& perch, std::string_view sender, std::string_view body,
                           Deferred deferred);

// Pending messages in arrival order.
std::vector<Message> pending_messages(const Perch& perch);

// The body of a pending message; nullopt if it has gone meanwhile.
std::optional<std::string> read_message_body(const Perch& perch, const Message& message);

// Removes a handed-out message from the inbox.
void remove_message(const Perch& perch, const Message& message);

// Adds senders of handed-out messages to the perch's short note of recent
// senders (the newest 64 distinct ids are kept).
void remember_senders(const Store& store, const Perch& perch, const std::vector<std::string>& senders);

// The perch's recent senders, oldest first.
std::vector<std::string> recent_senders(const Perch& perch);

} // namespace vell

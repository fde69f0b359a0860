// deliver, send, poll, reply: filing messages and handing them out.
#include "commands/common.hpp"
#include "core/error.hpp"
#include "core/identity.hpp"
#include "core/ids.hpp"
#include "core/inbox.hpp"
#include "core/listener.hpp"
#include "os/io.hpp"
#include "os/lock.hpp"
#include "os/process.hpp"
#include "os/wake.hpp"

#include <algorithm>

namespace vell {

struct SendArgs {
  std::string target;
  std::optional<std::string> sender;
  bool deferred = false;
};

struct PollArgs {
  std::string id;
  bool setup = false;
  bool once = false;
};

struct ReplyArgs {
  std::string target;
  std::optional<std::string> own_id;
};

namespace {

Perch require_perch(Store& store, const std::string& id) {
  if (!store.exists()) {
    return store.require(id); // throws NO_PERCH without creating anything
  }
  store.check_root();
  return store.require(id);
}

// Prints one message as the listener's reader expects it: the body, a final
// newline if it has none, then the line "__REPLY_TO__:SENDER".
std::error_code print_message(const std::string& body, const std::string& sender) {
  std::string out = body;
  if (out.empty() || out.back() != '\n') {
    out += '\n';
  }
  out += "__REPLY_TO__:" + sender + "\n";
  return os::write_stdout(out);
}

// Hands out `messages` in order. A message leaves the inbox only after it has
// been written to standard output; when writing fails, it and everything
// after it stay for the next poll.
void hand_out(Store& store, const Perch& perch, const std::vector<Message>& messages) {
  std::vector<const Message*> printed;
  std::error_code failure;
  for (const auto& message : messages) {
    auto body = read_message_body(perch, message);
    if (!body) {
      continue; // gone meanwhile (moved by doctor --fix)
    }
    if ((failure = print_message(*body, message.sender))) {
      break;
    }
    printed.push_back(&message);
  }
  std::vector<std::string> senders;
  for (const auto* message : printed) {
    senders.push_back(message->sender);
  }
  remember_senders(store, perch, senders);
  for (const auto* message : printed) {
    remove_message(perch, *message);
  }
  if (failure) {
    throw Error(k_exit_system, "cannot write to standard output: " + failure.message() + "; " +
                                   std::to_string(messages.size() - printed.size()) +
                                   " message(s) stay in the inbox of '" + perch.id + "'");
  }
}

bool has_normal(const std::vector<Message>& messages) {
  return std::any_of(messages.begin(), messages.end(), [](const Message& m) { return m.deferred == Deferred::no; });
}

} // namespace

int run_send(Context& ctx, const SendArgs& args) {
  require_valid_id("target perch id", args.target);
  if (args.sender) {
    require_valid_id("sender id", *args.sender);
  }
  Store& store = ctx.store();
  std::string sender = resolve_own_id(store, args.sender,
                                      "name the sender: vell send " + args.target +
                                          " YOUR_PERCH_ID < message (or run inside a session whose "
                                          "VELL_SESSION_ID has a perch)");
  Perch perch = require_perch(store, args.target);
  std::string body = read_body();
  file_message(store, perch, sender, body, args.deferred ? Deferred::yes : Deferred::no);
  say("SENT:" + args.target + (args.deferred ? " (deferred: waits for the next normal message)" : ""));
  return k_exit_ok;
}

int run_poll(Context& ctx, const PollArgs& args) {
  require_valid_id("perch id", args.id);
  // Stop signals are taken over before anything is claimed, so that SIGTERM
  // can never land between printing a message and removing it.
  os::Wakeup wakeup;
  Store& store = ctx.store();
  Perch perch = args.setup ? ensure_perch(store, args.id) : require_perch(store, args.id);

  os::FileLock lock(perch.listener_lock());
  std::error_code ec;
  if (!lock.try_acquire(ec)) {
    if (ec) {
      throw_system("lock", perch.listener_lock(), ec);
    }
    std::string holder;
    auto record = read_record(perch);
    if (const auto* rec = std::get_if<PerchRecord>(&record)) {
      holder = " (pid " + std::to_string(rec->pid) + ")";
    }
    throw Error(k_exit_busy, "perch '" + args.id + "' already has a listener" + holder + "; not starting another",
                {"end it first with 'vell stop " + args.id + "' or 'vell reboot " + args.id + "'"});
  }
  announce_perch(store, perch, os::self_pid());
  if (auto werr = wakeup.watch(perch.inbox())) {
    clear_ready(perch);
    throw_system("watch", perch.inbox(), werr);
  }
  say("READY:" + args.id);

  // Watch first, scan second: a message filed in between is seen by the scan
  // or wakes the wait.
  try {
    for (;;) {
      auto messages = pending_messages(perch);
      if (has_normal(messages)) {
        hand_out(store, perch, messages);
        if (args.once) {
          break;
        }
        continue; // more may have come while handing out
      }
      if (wakeup.wait() == os::Wakeup::Reason::stop) {
        break;
      }
    }
  } catch (...) {
    clear_ready(perch);
    throw;
  }
  clear_ready(perch);
  return k_exit_ok;
}

int run_reply(Context& ctx, const ReplyArgs& args) {
  require_valid_id("target perch id", args.target);
  Store& store = ctx.store();
  std::string own =
      resolve_own_id(store, args.own_id, "name yourself: vell reply " + args.target + " YOUR_PERCH_ID < message");
  Perch own_perch = require_perch(store, own);
  bool pending_from_target = false;
  for (const auto& message : pending_messages(own_perch)) {
    pending_from_target = pending_from_target || message.sender == args.target;
  }
  auto recent = recent_senders(own_perch);
  bool handed_out_from_target = std::find(recent.begin(), recent.end(), args.target) != recent.end();
  if (!pending_from_target && !handed_out_from_target) {
    throw Error(k_exit_not_found,
                "NO_MESSAGES: perch '" + own + "' has no message from '" + args.target +
                    "' (looked at its pending messages and recently received senders); nothing was sent",
                {"to start a conversation, use 'vell send " + args.target + " " + own + "'"});
  }
  Perch target = require_perch(store, args.target);
  std::string body = read_body();
  file_message(store, target, own, body, Deferred::no);
  say("REPLIED:" + args.target);
  return k_exit_ok;
}

void register_messaging(CLI::App& app, Context& ctx, const CommandFilter& wanted) {
  for (const char* name : {"deliver", "send"}) {
    if (!wanted(name)) {
      continue;
    }
    bool is_send = std::string_view(name) == "send";
    auto args = std::make_shared<SendArgs>();
    auto* cmd = app.add_subcommand(name, is_send ? "Send the body on standard input to perch TARGET."
                                                 : "Deliver the body on standard input to perch TARGET.");
    cmd->footer("The body is stored byte for byte (at most 64 MiB, not empty) with its sender and\n"
                "arrival order; prints SENT:TARGET on standard error. A target that was never set up\n"
                "gives NO_PERCH:TARGET and exit 1. Without SENDER, your own perch is used (the perch\n"
                "of VELL_SESSION_ID). Set VELL_DURABLE=1 to fsync each message (survives a machine\n"
                "crash, not just a process crash).");
    cmd->add_option("target", args->target, "the perch to deliver to")->required();
    cmd->add_option("sender", args->sender, "your own perch id (default: your session's perch)");
    if (is_send) {
      cmd->add_flag("--deferred", args->deferred,
                    "do not wake the listener; the message goes out with the next normal one");
    }
    cmd->callback([&ctx, args] { ctx.exit_code = run_send(ctx, *args); });
  }

  if (wanted("poll")) {
    auto poll_args = std::make_shared<PollArgs>();
    auto* poll = app.add_subcommand("poll", "Listen on perch ID and print its messages on standard output.");
    poll->footer("Waits (without using CPU) until a normal message is pending, then prints every pending\n"
                 "message, deferred ones included, in arrival order: the body, then the line\n"
                 "__REPLY_TO__:SENDER. With --once it exits 0 after that batch; otherwise it keeps listening\n"
                 "until SIGTERM or SIGINT, which end it cleanly. One listener per perch.\n"
                 "A message is removed only after it was written to standard output. If standard output\n"
                 "fails, it stays for the next poll. A crash between printing and removing can make a\n"
                 "message appear twice (at most a repeat), never lose one.");
    poll->add_option("id", poll_args->id, "perch id")->required();
    poll->add_flag("--setup", poll_args->setup, "set the perch up first, as 'vell setup' does");
    poll->add_flag("--once", poll_args->once, "exit after handing out one batch");
    poll->callback([&ctx, poll_args] { ctx.exit_code = run_poll(ctx, *poll_args); });
  }

  if (wanted("reply")) {
    auto reply_args = std::make_shared<ReplyArgs>();
    auto* reply = app.add_subcommand("reply", "Answer perch TARGET from your perch OWN_ID (body on standard input).");
    reply->footer("Only when OWN_ID has received a message from TARGET (pending or handed out recently):\n"
                  "then prints REPLIED:TARGET; otherwise NO_MESSAGES: and exit 1, sending nothing.");
    reply->add_option("target", reply_args->target, "the perch to answer")->required();
    reply->add_option("own_id", reply_args->own_id, "your own perch id (default: your session's perch)");
    reply->callback([&ctx, reply_args] { ctx.exit_code = run_reply(ctx, *reply_args); });
  }
}

} // namespace vell

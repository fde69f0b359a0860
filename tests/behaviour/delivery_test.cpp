// Filing and handing out: many senders against one listener, bodies kept byte
// for byte, the size limits, and an arrival counter that fell behind.
#include "behaviour_support.hpp"

#include <signal.h>

#include <atomic>
#include <map>
#include <thread>

namespace vell_behaviour {
namespace {

using DeliveryTest = VellTest;

// Bodies of different sizes (up to ~112 KiB, more than a pipe holds) so that
// a listener that could see a partly written message prints a short body.
std::string concurrent_body(int sender, int number) {
  std::string head = "S" + std::to_string(sender) + "-M" + std::to_string(number);
  auto padding = static_cast<std::size_t>((number % 8) * 16 * 1024);
  return head + ":" + std::string(padding, static_cast<char>('a' + sender));
}

TEST_F(DeliveryTest, ManySendersOneListenerEachMessageOnceInSenderOrder) {
  constexpr int k_senders = 8;
  constexpr int k_per_sender = 40;
  ASSERT_TRUE(setup("hub"));
  auto listener = start_ready_poll("hub");
  ASSERT_NE(listener, nullptr);

  std::atomic<int> failed_sends{0};
  std::vector<std::string> failures(k_senders);
  std::vector<std::thread> senders;
  for (int s = 0; s < k_senders; ++s) {
    senders.emplace_back([this, s, &failed_sends, &failures] {
      for (int m = 0; m < k_per_sender; ++m) {
        std::string error;
        auto result = vell_test::run_to_completion(options(VELL_EXE, {"deliver", "hub", "s" + std::to_string(s)}),
                                                   concurrent_body(s, m), error, k_liveness);
        if (!result || !result->status.success()) {
          ++failed_sends;
          failures[static_cast<std::size_t>(s)] +=
              "M" + std::to_string(m) + ": " + (result ? result->status.describe() + " " + result->err : error) + "\n";
        }
      }
    });
  }
  auto read = listener->read_messages(k_senders * k_per_sender, std::chrono::seconds(30));
  for (auto& thread : senders) {
    thread.join();
  }
  ASSERT_EQ(failed_sends.load(), 0) << [&] {
    std::string all;
    for (const auto& f : failures) {
      all += f;
    }
    return all;
  }();
  ASSERT_TRUE(read);

  auto messages = parse_one_line_messages(listener->output());
  ASSERT_EQ(messages.size(), static_cast<std::size_t>(k_senders * k_per_sender));
  std::map<std::string, int> next_of_sender;
  for (const auto& message : messages) {
    auto dash = message.body.find("-M");
    auto colon = message.body.find(':');
    ASSERT_TRUE(message.body.size() > 1 && dash != std::string::npos && colon != std::string::npos)
        << "not a body that was sent: '" << message.body.substr(0, 40) << "'";
    int sender = std::stoi(message.body.substr(1, dash - 1));
    int number = std::stoi(message.body.substr(dash + 2, colon - dash - 2));
    EXPECT_EQ(message.sender, "s" + std::to_string(sender));
    // Exactly the next one of this sender: a repeat, a gap or a swap fails here.
    int& expected = next_of_sender[message.sender];
    EXPECT_EQ(number, expected) << "from " << message.sender;
    expected = number + 1;
    EXPECT_EQ(message.body, concurrent_body(sender, number)) << "body of S" << sender << "-M" << number;
  }
  for (int s = 0; s < k_senders; ++s) {
    EXPECT_EQ(next_of_sender["s" + std::to_string(s)], k_per_sender) << "messages of s" << s;
  }

  listener->send_signal(SIGTERM);
  auto status = listener->wait_exit();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(status->success()) << status->describe();
  EXPECT_EQ(listener->output().size(), [&] {
    std::size_t total = 0;
    for (const auto& m : messages) {
      total += handed_out(m.body, m.sender).size();
    }
    return total;
  }()) << "poll printed more after the last message";
  EXPECT_FALSE(fs::exists(perch_dir("hub") / "ready")) << "the ready marker outlived the listener";
  EXPECT_TRUE(names_in(inbox("hub")).empty());
}

std::string all_byte_values() {
  std::string bytes;
  for (int value = 0; value < 256; ++value) {
    bytes += static_cast<char>(value);
  }
  return bytes;
}

TEST_F(DeliveryTest, BodiesComeBackByteForByte) {
  struct Case {
    const char* name;
    std::string body;
  };
  std::string five_mib(5 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < five_mib.size(); ++i) {
    five_mib[i] = static_cast<char>((i * 131 + i / 4099) & 0xFF);
  }
  const std::vector<Case> cases = {
      {"all 256 byte values, ending without a newline", all_byte_values()},
      {"invalid UTF-8", std::string("\xC3\x28 \xFF\xFE \xED\xA0\x80 \xF8\x88\x80\x80\x80\n")},
      {"a NUL in the middle", std::string("before\0after\n", 13)},
      {"no final newline", "last line without newline"},
      {"final newline", "line one\nline two\n"},
      {"only a newline", "\n"},
      {"CRLF and a reply-line lookalike", "x\r\n__REPLY_TO__:mallory\r\n"},
      {"5 MiB", five_mib},
  };
  ASSERT_TRUE(setup("bin"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(deliver("bin", "sender.1", c.body));
    auto polled = vell({"poll", "bin", "--once"});
    ASSERT_EQ(polled.status.code, k_exit_ok) << polled.err;
    // Compared as a flag first: a 5 MiB mismatch must not flood the log.
    bool same = polled.out == handed_out(c.body, "sender.1");
    EXPECT_TRUE(same) << "printed " << polled.out.size() << " bytes, expected "
                      << handed_out(c.body, "sender.1").size();
    EXPECT_TRUE(names_in(inbox("bin")).empty());
  }
}

TEST_F(DeliveryTest, BodyOfExactlyTheLimitIsFiled) {
  const std::string body(64 * 1024 * 1024, 'L');
  ASSERT_TRUE(setup("big"));
  auto sent = vell({"deliver", "big", "s"}, body);
  ASSERT_EQ(sent.status.code, k_exit_ok) << sent.err;
  auto names = names_in(inbox("big"));
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(fs::file_size(inbox("big") / names[0]), body.size());
}

TEST_F(DeliveryTest, EmptyOrOversizedBodyIsRefusedAndNothingFiled) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string body;
  };
  const std::string oversized(64 * 1024 * 1024 + 1, 'O');
  const std::vector<Case> cases = {
      {"empty, deliver", {"deliver", "lim", "s"}, ""},
      {"empty, send", {"send", "lim", "s"}, ""},
      {"empty, deferred send", {"send", "--deferred", "lim", "s"}, ""},
      {"64 MiB + 1, deliver", {"deliver", "lim", "s"}, oversized},
      {"64 MiB + 1, send", {"send", "lim", "s"}, oversized},
  };
  ASSERT_TRUE(setup("lim"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = vell(c.args, c.body);
    EXPECT_EQ(result.status.code, k_exit_usage) << result.err;
    EXPECT_FALSE(result.err.empty());
    EXPECT_TRUE(names_in(inbox("lim")).empty());
    EXPECT_TRUE(names_in(perch_dir("lim") / "tmp").empty()) << "a temporary body was left behind";
  }
}

// A counter that is behind, missing or garbled must never make a new message
// replace a pending one.
TEST_F(DeliveryTest, CounterThatFellBehindNeverReplacesAPendingMessage) {
  const std::vector<std::pair<const char*, std::optional<std::string>>> counters = {
      {"reset to 0", "0"}, {"empty", ""}, {"garbled", "12x"}, {"missing", std::nullopt}};
  for (std::size_t i = 0; i < counters.size(); ++i) {
    const auto& [name, counter] = counters[i];
    SCOPED_TRACE(name);
    std::string id = "seq" + std::to_string(i);
    ASSERT_TRUE(setup(id));
    ASSERT_TRUE(deliver(id, "first", "one"));
    ASSERT_TRUE(deliver(id, "first", "two"));
    fs::path seq = perch_dir(id) / ".seq";
    if (counter) {
      ASSERT_TRUE(write_file(seq, *counter));
    } else {
      fs::remove(seq);
    }
    ASSERT_TRUE(deliver(id, "first", "three"));
    auto polled = vell({"poll", id, "--once"});
    ASSERT_EQ(polled.status.code, k_exit_ok) << polled.err;
    EXPECT_EQ(polled.out, handed_out("one", "first") + handed_out("two", "first") + handed_out("three", "first"));
  }
}

} // namespace
} // namespace vell_behaviour

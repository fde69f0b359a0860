// A listener that dies or cannot print loses nothing: whatever it had not
// handed out is there for the next poll.
#include "behaviour_support.hpp"

#include <signal.h>

#include <thread>

namespace vell_behaviour {
namespace {

using CrashTest = VellTest;

TEST_F(CrashTest, ListenerKilledWhileWaitingLosesNothingSentAfterwards) {
  ASSERT_TRUE(setup("p"));
  auto listener = start_ready_poll("p");
  ASSERT_NE(listener, nullptr);
  listener->send_signal(SIGKILL);
  auto status = listener->wait_exit();
  ASSERT_TRUE(status.has_value());
  ASSERT_EQ(status->signal, SIGKILL);

  ASSERT_TRUE(deliver("p", "a", "after the crash"));
  auto polled = vell({"poll", "p", "--once"});
  EXPECT_EQ(polled.status.code, k_exit_ok) << polled.err;
  EXPECT_EQ(polled.out, handed_out("after the crash", "a"));
  EXPECT_TRUE(names_in(inbox("p")).empty());
}

TEST_F(CrashTest, ListenerKilledBetweenBatchesKeepsWhatCameLater) {
  ASSERT_TRUE(setup("p"));
  auto listener = start_ready_poll("p");
  ASSERT_NE(listener, nullptr);
  ASSERT_TRUE(deliver("p", "a", "first"));
  ASSERT_TRUE(listener->read_messages(1));
  EXPECT_EQ(listener->output(), handed_out("first", "a"));
  // Killed once the first batch is done with (gone from the inbox).
  auto deadline = std::chrono::steady_clock::now() + k_liveness;
  while (!names_in(inbox("p")).empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(names_in(inbox("p")).empty()) << "the handed-out message was never removed";
  listener->send_signal(SIGKILL);
  ASSERT_TRUE(listener->wait_exit().has_value());

  ASSERT_TRUE(deliver("p", "b", "second"));
  auto polled = vell({"poll", "p", "--once"});
  EXPECT_EQ(polled.status.code, k_exit_ok) << polled.err;
  EXPECT_EQ(polled.out, handed_out("second", "b"));
}

// Bodies far larger than a pipe: the listener blocks in the middle of its
// batch because nobody reads its output, and is killed there.
TEST_F(CrashTest, ListenerKilledWhileHandingOutLosesNothing) {
  ASSERT_TRUE(setup("p"));
  std::vector<std::string> bodies;
  for (char c : {'x', 'y', 'z'}) {
    bodies.push_back(std::string(1024 * 1024, c) + "\n");
  }
  auto listener = start_ready_poll("p");
  ASSERT_NE(listener, nullptr);
  // Deferred first, so that the listener wakes only once all three are filed.
  for (std::size_t i = 0; i + 1 < bodies.size(); ++i) {
    auto sent = vell({"send", "--deferred", "p", "s" + std::to_string(i)}, bodies[i]);
    ASSERT_EQ(sent.status.code, k_exit_ok) << sent.err;
  }
  ASSERT_TRUE(deliver("p", "s2", bodies[2]));
  // Output has started: the listener is inside its batch and will block there.
  ASSERT_TRUE(listener->read_until([](const std::string& out) { return !out.empty(); }));
  listener->send_signal(SIGKILL);
  ASSERT_TRUE(listener->wait_exit().has_value());

  auto polled = vell({"poll", "p", "--once"});
  ASSERT_EQ(polled.status.code, k_exit_ok) << polled.err;
  // All three come out, the one that was being printed in full: it was never
  // handed out, so it must not be gone.
  std::string expected;
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    expected += handed_out(bodies[i], "s" + std::to_string(i));
  }
  EXPECT_TRUE(polled.out == expected) << "printed " << polled.out.size() << " bytes, expected all three messages ("
                                      << expected.size() << " bytes)";
  EXPECT_TRUE(names_in(inbox("p")).empty());
}

TEST_F(CrashTest, OutputToAFullDeviceKeepsTheMessages) {
  ASSERT_TRUE(setup("p"));
  ASSERT_TRUE(deliver("p", "a", "one\n"));
  ASSERT_TRUE(deliver("p", "b", "two"));
  auto before = tree_snapshot(inbox("p"));

  auto full = vell_through_shell("exec \"$0\" \"$@\" >/dev/full", {"poll", "p", "--once"});
  EXPECT_NE(full.status.code, k_exit_ok) << "poll to /dev/full: " << full.status.describe();
  EXPECT_EQ(full.status.signal, 0) << "died of a signal instead of reporting the failure";
  EXPECT_FALSE(full.err.empty());
  EXPECT_EQ(tree_snapshot(inbox("p")), before);

  auto polled = vell({"poll", "p", "--once"});
  EXPECT_EQ(polled.status.code, k_exit_ok) << polled.err;
  EXPECT_EQ(polled.out, handed_out("one\n", "a") + handed_out("two", "b"));
}

// A reader that goes away must not cost a message either (SIGPIPE).
TEST_F(CrashTest, OutputToAClosedPipeKeepsTheMessage) {
  ASSERT_TRUE(setup("p"));
  ASSERT_TRUE(deliver("p", "a", std::string(256 * 1024, 'q')));
  auto closed = vell_through_shell("\"$0\" \"$@\" | exec true", {"poll", "p", "--once"});
  EXPECT_EQ(closed.status.code, k_exit_ok) << "the shell pipeline: " << closed.status.describe();
  auto polled = vell({"poll", "p", "--once"});
  EXPECT_EQ(polled.status.code, k_exit_ok) << polled.err;
  EXPECT_TRUE(polled.out == handed_out(std::string(256 * 1024, 'q'), "a"))
      << "the message did not survive a closed output (" << polled.out.size() << " bytes printed)";
}

// A body a crashed sender left in tmp/ was never sent and is never handed out.
TEST_F(CrashTest, LeftoverTemporaryBodyIsNeverHandedOut) {
  ASSERT_TRUE(setup("p"));
  ASSERT_TRUE(write_file(perch_dir("p") / "tmp" / "1700000000.4242.abcdef", "half a bod"));
  ASSERT_TRUE(deliver("p", "a", "real"));
  auto polled = vell({"poll", "p", "--once"});
  EXPECT_EQ(polled.status.code, k_exit_ok) << polled.err;
  EXPECT_EQ(polled.out, handed_out("real", "a"));
}

} // namespace
} // namespace vell_behaviour

// One listener per perch, deferred messages, reply, and stop.
#include "behaviour_support.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

namespace vell_behaviour {
namespace {

using ListenerTest = VellTest;

TEST_F(ListenerTest, SecondListenerIsRefusedAndNothingIsHandedOutTwice) {
  ASSERT_TRUE(setup("p"));
  auto first = start_ready_poll("p");
  ASSERT_NE(first, nullptr);

  // Refused before and after the first listener has handed something out.
  const std::vector<std::vector<std::string>> attempts = {
      {"poll", "p"}, {"poll", "p", "--once"}, {"poll", "p", "--once"}};
  for (std::size_t round = 0; round < attempts.size(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    auto second = vell(attempts[round]);
    EXPECT_EQ(second.status.code, k_exit_busy) << second.err;
    EXPECT_TRUE(second.out.empty()) << "the refused listener printed: " << second.out;
    EXPECT_NE(second.err.find("already has a listener"), std::string::npos) << second.err;
    ASSERT_TRUE(deliver("p", "a", "m" + std::to_string(round)));
    ASSERT_TRUE(first->read_messages(round + 1));
  }
  EXPECT_EQ(first->output(), handed_out("m0", "a") + handed_out("m1", "a") + handed_out("m2", "a"));

  auto stopped = vell({"stop", "p"});
  EXPECT_EQ(stopped.status.code, k_exit_ok) << stopped.err;
  EXPECT_NE(stopped.err.find("STOPPED:p"), std::string::npos) << stopped.err;
  auto status = first->wait_exit();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(status->success()) << status->describe();
  EXPECT_EQ(first->output(), handed_out("m0", "a") + handed_out("m1", "a") + handed_out("m2", "a"))
      << "the stopped listener printed more";
  EXPECT_FALSE(fs::exists(perch_dir("p") / "ready"));

  ASSERT_TRUE(deliver("p", "b", "after stop"));
  auto next = vell({"poll", "p", "--once"});
  EXPECT_EQ(next.status.code, k_exit_ok) << next.err;
  EXPECT_EQ(next.out, handed_out("after stop", "b"));
}

TEST_F(ListenerTest, DeferredMessageWaitsForTheNextNormalOne) {
  ASSERT_TRUE(setup("p"));
  auto listener = start_ready_poll("p", {"--once"});
  ASSERT_NE(listener, nullptr);

  auto deferred = vell({"send", "--deferred", "p", "a"}, "later");
  ASSERT_EQ(deferred.status.code, k_exit_ok) << deferred.err;
  // Nothing can be awaited to show that nothing happens: a short window.
  EXPECT_FALSE(listener->output_within(std::chrono::milliseconds(500))) << "printed: " << listener->output();
  EXPECT_FALSE(listener->try_exit().has_value()) << "the listener ended on a deferred message";
  EXPECT_EQ(names_in(inbox("p")).size(), 1u);

  auto normal = vell({"send", "p", "b"}, "now");
  ASSERT_EQ(normal.status.code, k_exit_ok) << normal.err;
  auto status = listener->wait_exit();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(status->success()) << status->describe();
  EXPECT_EQ(listener->output(), handed_out("later", "a") + handed_out("now", "b"));
  EXPECT_TRUE(names_in(inbox("p")).empty());
}

// Deferred and normal messages filed with nobody listening come out in
// arrival order, whichever kind came first.
TEST_F(ListenerTest, DeferredAndNormalMessagesComeOutInArrivalOrder) {
  ASSERT_TRUE(setup("p"));
  ASSERT_EQ(vell({"send", "p", "a"}, "n1").status.code, k_exit_ok);
  ASSERT_EQ(vell({"send", "--deferred", "p", "b"}, "d1").status.code, k_exit_ok);
  ASSERT_EQ(vell({"send", "p", "c"}, "n2").status.code, k_exit_ok);
  ASSERT_EQ(vell({"send", "--deferred", "p", "d"}, "d2").status.code, k_exit_ok);
  auto polled = vell({"poll", "p", "--once"});
  EXPECT_EQ(polled.status.code, k_exit_ok) << polled.err;
  EXPECT_EQ(polled.out, handed_out("n1", "a") + handed_out("d1", "b") + handed_out("n2", "c") + handed_out("d2", "d"));
}

TEST_F(ListenerTest, ReplyOnlyToSomeoneWhoWroteToYou) {
  for (const char* id : {"me", "friend", "stranger"}) {
    ASSERT_TRUE(setup(id));
  }
  // Nobody wrote to "me": refused, nothing filed.
  auto refused = vell({"reply", "friend", "me"}, "unasked");
  EXPECT_EQ(refused.status.code, k_exit_not_found) << refused.err;
  EXPECT_NE(refused.err.find("NO_MESSAGES"), std::string::npos) << refused.err;
  EXPECT_TRUE(names_in(inbox("friend")).empty());

  // "stranger" wrote and was handed out; "friend" still never wrote.
  ASSERT_TRUE(deliver("me", "stranger", "hello"));
  ASSERT_EQ(vell({"poll", "me", "--once"}).status.code, k_exit_ok);
  refused = vell({"reply", "friend", "me"}, "unasked");
  EXPECT_EQ(refused.status.code, k_exit_not_found) << refused.err;
  EXPECT_TRUE(names_in(inbox("friend")).empty());

  // "friend" wrote; its message is handed out, so nothing is pending any more.
  ASSERT_TRUE(deliver("me", "friend", "question"));
  auto polled = vell({"poll", "me", "--once"});
  ASSERT_EQ(polled.out, handed_out("question", "friend"));
  ASSERT_TRUE(names_in(inbox("me")).empty());
  auto replied = vell({"reply", "friend", "me"}, "answer");
  EXPECT_EQ(replied.status.code, k_exit_ok) << replied.err;
  EXPECT_NE(replied.err.find("REPLIED:friend"), std::string::npos) << replied.err;
  auto answer = vell({"poll", "friend", "--once"});
  EXPECT_EQ(answer.out, handed_out("answer", "me"));

  // A message still pending counts as well.
  ASSERT_TRUE(deliver("stranger", "friend", "pending"));
  replied = vell({"reply", "friend", "stranger"}, "answer 2");
  EXPECT_EQ(replied.status.code, k_exit_ok) << replied.err;
  EXPECT_EQ(vell({"poll", "friend", "--once"}).out, handed_out("answer 2", "stranger"));
}

// stop signals only a vell listener of that perch, whatever the record says.
TEST_F(ListenerTest, StopNeverSignalsAProcessThatIsNotItsListener) {
  std::string error;
  auto bystander = vell_test::ChildProcess::spawn(options("/bin/sleep", {"60"}), error);
  ASSERT_TRUE(bystander.has_value()) << error;
  bystander->close_stdin();
  auto bystander_start = process_start_time(bystander->pid());
  ASSERT_TRUE(bystander_start.has_value());
  auto own_start = process_start_time(static_cast<int>(::getpid()));
  ASSERT_TRUE(own_start.has_value());

  struct Case {
    const char* name;
    std::string id;
    int pid;
    std::optional<std::uint64_t> start;
    bool lock_held; // the listener lock is held, by this test process (not a vell)
  };
  const std::vector<Case> cases = {
      {"the test process, no listener", "own", static_cast<int>(::getpid()), std::nullopt, false},
      {"the test process with its start time, no listener", "own2", static_cast<int>(::getpid()), own_start, false},
      {"another process, no listener", "other", bystander->pid(), bystander_start, false},
      {"another process, lock held by a non-vell", "locked", bystander->pid(), bystander_start, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(setup(c.id));
    std::string record = R"({"vell_id":")" + c.id + R"(","pid":)" + std::to_string(c.pid) +
                         R"(,"mode":"listen","started":"2024-01-01T00:00:00Z","session_id":"","state":"listener")";
    if (c.start) {
      record += R"(,"pid_start":)" + std::to_string(*c.start);
    }
    record += "}";
    ASSERT_TRUE(write_file(perch_dir(c.id) / "info.json", record));
    int lock_fd = -1;
    if (c.lock_held) {
      lock_fd = ::open((perch_dir(c.id) / ".listener.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      ASSERT_GE(lock_fd, 0);
      ASSERT_EQ(::flock(lock_fd, LOCK_EX | LOCK_NB), 0);
    }
    auto stopped = vell({"stop", c.id});
    if (lock_fd >= 0) {
      ::close(lock_fd);
    }
    EXPECT_FALSE(bystander->try_wait(error).has_value()) << "stop " << c.id << " ended a process that is no listener";
    if (!c.lock_held) {
      EXPECT_EQ(stopped.status.code, k_exit_ok) << stopped.err;
      EXPECT_NE(stopped.err.find("STOPPED:" + c.id), std::string::npos) << stopped.err;
    }
  }
}

} // namespace
} // namespace vell_behaviour

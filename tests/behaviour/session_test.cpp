// The session hooks: resume names a session's own perches, cleanup ends its
// listeners and sweeps its workers without losing a message.
#include "behaviour_support.hpp"

#include <algorithm>
#include <regex>

namespace vell_behaviour {
namespace {

// True when `text` names `id` as a whole id (not as part of a longer one).
bool names_id(const std::string& text, const std::string& id) {
  std::regex whole("(^|[^A-Za-z0-9._-])" + id + "([^A-Za-z0-9._-]|$)");
  return std::regex_search(text, whole);
}

class SessionTest : public VellTest {
protected:
  // Session s1: perch "lead" with a running listener, a deferred message
  // pending for it, and worker lead-w1 holding one message. Session s2:
  // perch "other" with a running listener.
  void SetUp() override {
    VellTest::SetUp();
    m_lead = start_ready_poll("lead", {"--setup"}, {{"VELL_SESSION_ID", "s1"}});
    ASSERT_NE(m_lead, nullptr);
    m_other = start_ready_poll("other", {"--setup"}, {{"VELL_SESSION_ID", "s2"}});
    ASSERT_NE(m_other, nullptr);
    auto deferred = vell({"send", "--deferred", "lead", "x"}, "kept");
    ASSERT_EQ(deferred.status.code, k_exit_ok) << deferred.err;
    auto hook = vell({"hook-subagent-start"}, R"({"session_id":"s1","cwd":".","hook_event_name":"SubagentStart"})",
                     {{"VELL_PARENT_ID", "lead"}});
    ASSERT_NE(hook.out.find("VELL_WORKER_ID=lead-w1"), std::string::npos) << hook.out << hook.err;
    ASSERT_TRUE(deliver("lead-w1", "y", "from the worker's inbox"));
  }

  std::unique_ptr<Listener> m_lead;
  std::unique_ptr<Listener> m_other;
};

TEST_F(SessionTest, ResumeNamesTheSessionsOwnPerchAndNeverAWorker) {
  struct Case {
    const char* name;
    std::string payload;
    std::vector<std::string> named;
  };
  const std::vector<Case> cases = {
      {"session s1", R"({"session_id":"s1"})", {"lead"}},
      {"session s2", R"({"session_id":"s2","source":"resume"})", {"other"}},
      {"no payload: every normal perch", "", {"lead", "other"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto resume = vell({"session-resume"}, c.payload);
    EXPECT_EQ(resume.status.code, k_exit_ok) << resume.err;
    for (const char* id : {"lead", "other"}) {
      bool expected = std::find(c.named.begin(), c.named.end(), id) != c.named.end();
      EXPECT_EQ(names_id(resume.out, id), expected) << id << " in:\n" << resume.out;
    }
    EXPECT_EQ(resume.out.find("lead-w1"), std::string::npos) << "a worker was named:\n" << resume.out;
  }
}

TEST_F(SessionTest, CleanupEndsTheSessionKeepsItsMessagesAndSweepsItsWorkers) {
  ASSERT_TRUE(fs::exists(root() / "sessions" / "s1.json"));
  auto cleanup = vell({"cleanup-session"}, R"({"session_id":"s1"})");
  EXPECT_EQ(cleanup.status.code, k_exit_ok) << cleanup.err;

  auto status = m_lead->wait_exit();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(status->success()) << "the session's listener: " << status->describe();
  EXPECT_TRUE(m_lead->output().empty()) << "the listener handed out a deferred message: " << m_lead->output();
  EXPECT_FALSE(fs::exists(worker_dir("lead", "lead-w1"))) << "the worker was not swept";
  EXPECT_FALSE(fs::exists(root() / "sessions" / "s1.json"));

  // Another session is left alone.
  EXPECT_FALSE(m_other->try_exit().has_value()) << "cleanup of s1 ended the listener of s2";
  EXPECT_TRUE(fs::exists(root() / "sessions" / "s2.json"));

  // The perch's own pending message and the worker's message are both there.
  auto polled = vell({"poll", "lead", "--once"});
  EXPECT_EQ(polled.status.code, k_exit_ok) << polled.err;
  EXPECT_EQ(polled.out, handed_out("kept", "x") + handed_out("from the worker's inbox", "y"));

  // Cleaning up again finds nothing to do and still exits 0.
  auto again = vell({"cleanup-session"}, R"({"session_id":"s1"})");
  EXPECT_EQ(again.status.code, k_exit_ok) << again.err;
  EXPECT_FALSE(m_other->try_exit().has_value());
}

} // namespace
} // namespace vell_behaviour

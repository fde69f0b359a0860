#include "core/inbox.hpp"

#include "core/ids.hpp"

#include "temp_dir.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>

namespace vell {
namespace {

using namespace std::string_literals;
using ::testing::ElementsAre;
using vell_test::names_in;
using vell_test::read_bytes;
using vell_test::write_bytes;

TEST(MessageName, RoundTripsSeqKindAndSender) {
  EXPECT_EQ(message_file_name(7, Deferred::no, "bob"), "00000000000000000007.n.bob");
  EXPECT_EQ(message_file_name(42, Deferred::yes, "a-w1"), "00000000000000000042.d.a-w1");

  struct Case {
    std::uint64_t seq;
    Deferred deferred;
    std::string sender;
  };
  const Case cases[] = {
      {0, Deferred::no, "a"},
      {1, Deferred::yes, "sender.x_y-z"},
      {18446744073709551615u, Deferred::no, std::string(64, 's')},
  };
  for (const auto& c : cases) {
    const std::string name = message_file_name(c.seq, c.deferred, c.sender);
    SCOPED_TRACE(name);
    auto message = parse_message_name(name);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->seq, c.seq);
    EXPECT_EQ(message->deferred, c.deferred);
    EXPECT_EQ(message->sender, c.sender);
    EXPECT_EQ(message->file, name);
  }
}

TEST(MessageName, RejectsNamesThatAreNotMessages) {
  for (const std::string& name : {
           ""s,
           "1700000000.1234.abcdef012345"s,   // a temporary body
           "0000000000000000007.n.bob"s,      // 19 digits
           "000000000000000000007.n.bob"s,    // 21 digits
           "0000000000000000000a.n.bob"s,     // not a number
           "+0000000000000000007.n.bob"s,     // a sign
           " 0000000000000000007.n.bob"s,     // a space
           "99999999999999999999.n.bob"s,     // beyond 64 bits
           "00000000000000000007.x.bob"s,     // unknown kind
           "00000000000000000007.N.bob"s,     // kinds are lower case
           "00000000000000000007-n-bob"s,     // wrong separators
           "00000000000000000007.n."s,        // no sender
           "00000000000000000007.n..hidden"s, // sender not a valid id
           "00000000000000000007.n.b\0b"s,    // NUL in the sender
           "00000000000000000007.n."s + std::string(65, 'x'),
       }) {
    SCOPED_TRACE(name);
    EXPECT_EQ(parse_message_name(name), std::nullopt);
  }
}

class InboxTest : public ::testing::Test {
protected:
  vell_test::TempDir m_dir;
  Store m_store{m_dir / "root"};
  Perch m_perch = m_store.create("p");

  std::vector<std::string> bodies() const {
    std::vector<std::string> out;
    for (const auto& message : pending_messages(m_perch)) {
      out.push_back(read_message_body(m_perch, message).value_or("<gone>"));
    }
    return out;
  }
};

TEST_F(InboxTest, FilesBodiesByteForByteInArrivalOrder) {
  std::string every_byte;
  for (int i = 0; i < 256; ++i) {
    every_byte += static_cast<char>(i);
  }
  std::string large;
  for (int i = 0; i < 300'000; ++i) {
    large += static_cast<char>('a' + i % 26);
  }
  const std::vector<std::string> sent = {
      "hello", "", "\n", "\n\n", "nul\0inside\0"s, every_byte, "bad utf-8 \xff\xfe\xc3", "crlf\r\nline", large,
  };
  std::uint64_t previous = 0;
  for (const auto& body : sent) {
    const std::uint64_t seq = file_message(m_store, m_perch, "sender-1", body, Deferred::no);
    EXPECT_GT(seq, previous);
    previous = seq;
  }

  const auto pending = pending_messages(m_perch);
  ASSERT_EQ(pending.size(), sent.size());
  for (std::size_t i = 0; i < pending.size(); ++i) {
    EXPECT_EQ(pending[i].seq, i + 1);
    EXPECT_EQ(pending[i].sender, "sender-1");
  }
  EXPECT_EQ(bodies(), sent);
  EXPECT_TRUE(names_in(m_perch.tmp()).empty()) << "a temporary body was left behind";
}

TEST_F(InboxTest, DurableFilingGivesTheSameResult) {
  vell_test::ScopedEnv durable("VELL_DURABLE", "1");
  Store store(m_store.root());
  ASSERT_TRUE(store.durable());
  EXPECT_EQ(file_message(store, m_perch, "s", "synced body", Deferred::no), 1u);
  EXPECT_THAT(bodies(), ElementsAre("synced body"));
  EXPECT_TRUE(names_in(m_perch.tmp()).empty());
}

TEST_F(InboxTest, KeepsTheKindAMessageWasFiledWith) {
  file_message(m_store, m_perch, "a", "now", Deferred::no);
  file_message(m_store, m_perch, "b", "later", Deferred::yes);
  file_message(m_store, m_perch, "a", "now again", Deferred::no);

  const auto pending = pending_messages(m_perch);
  ASSERT_EQ(pending.size(), 3u);
  EXPECT_EQ(pending[0].deferred, Deferred::no);
  EXPECT_EQ(pending[1].deferred, Deferred::yes);
  EXPECT_EQ(pending[1].file, "00000000000000000002.d.b");
  EXPECT_EQ(pending[2].deferred, Deferred::no);
  EXPECT_THAT(bodies(), ElementsAre("now", "later", "now again"));
}

TEST_F(InboxTest, PendingMessagesSkipForeignFilesAndReadMissingBodiesAsGone) {
  file_message(m_store, m_perch, "a", "one", Deferred::no);
  write_bytes(m_perch.inbox() + "/notes.txt", "not a message");
  write_bytes(m_perch.inbox() + "/00000000000000000009.n..bad", "bad sender");

  const auto pending = pending_messages(m_perch);
  ASSERT_EQ(pending.size(), 1u);
  remove_message(m_perch, pending[0]);
  EXPECT_EQ(read_message_body(m_perch, pending[0]), std::nullopt);
  EXPECT_TRUE(pending_messages(m_perch).empty());
}

// A perch of its own holding messages 7 and 9, filed before its counter went
// missing, bad or stale; `counter` is then written as the counter's text.
struct PerchWithOldMessages {
  explicit PerchWithOldMessages(const std::optional<std::string>& counter) {
    write_bytes(perch.inbox() + "/00000000000000000007.n.new", "seven");
    write_bytes(perch.inbox() + "/00000000000000000009.d.other", "nine");
    if (counter) {
      write_bytes(perch.seq(), *counter);
    }
  }
  void expect_old_messages_untouched() const {
    EXPECT_EQ(read_bytes(perch.inbox() + "/00000000000000000007.n.new"), "seven");
    EXPECT_EQ(read_bytes(perch.inbox() + "/00000000000000000009.d.other"), "nine");
  }
  vell_test::TempDir dir;
  Store store{dir / "root"};
  Perch perch = store.create("p");
};

TEST(FileMessageCounter, RecoversFromAMissingOrGarbledSeqFile) {
  const std::optional<std::string> counters[] = {std::nullopt, "", "garbage", "12abc", "-3", " 5", "\xff\xfe"};
  for (const auto& counter : counters) {
    SCOPED_TRACE(counter ? printable(*counter) : "<missing>");
    PerchWithOldMessages fixture(counter);
    const Perch& perch = fixture.perch;

    EXPECT_EQ(file_message(fixture.store, perch, "new", "ten", Deferred::no), 10u);
    EXPECT_THAT(names_in(perch.inbox()), ElementsAre("00000000000000000007.n.new", "00000000000000000009.d.other",
                                                     "00000000000000000010.n.new"));
    EXPECT_EQ(read_bytes(perch.inbox() + "/00000000000000000010.n.new"), "ten");
    EXPECT_EQ(read_bytes(perch.seq()), "10");
    fixture.expect_old_messages_untouched();
  }
}

// A sender killed between linking its message and writing the counter leaves
// the counter behind the inbox. The next message must still get a sequence
// number of its own, after every filed one: a reused number breaks arrival
// order, since equal numbers are ordered by file name, not by arrival.
TEST(FileMessageCounter, StaleCounterNeverReusesAFiledSequenceNumber) {
  for (const std::string counter : {"8", "6"}) {
    SCOPED_TRACE("counter " + counter);
    PerchWithOldMessages fixture(counter);

    EXPECT_GT(file_message(fixture.store, fixture.perch, "aaa", "newest", Deferred::no), 9u);
    std::set<std::uint64_t> seqs;
    for (const auto& message : pending_messages(fixture.perch)) {
      EXPECT_TRUE(seqs.insert(message.seq).second) << "sequence number " << message.seq << " used twice";
    }
    EXPECT_EQ(read_message_body(fixture.perch, pending_messages(fixture.perch).back()),
              std::optional<std::string>("newest"));
    fixture.expect_old_messages_untouched();
  }
}

TEST_F(InboxTest, FailedFilingLeavesNoTemporaryFile) {
  std::filesystem::remove_all(m_perch.inbox());
  auto error = vell_test::thrown_error([&] { file_message(m_store, m_perch, "s", "body", Deferred::no); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->exit_code(), 3);
  EXPECT_THAT(error->what(), ::testing::StartsWith("cannot open the inbox '" + m_perch.inbox() + "': "));
  EXPECT_TRUE(names_in(m_perch.tmp()).empty());
  EXPECT_FALSE(std::filesystem::exists(m_perch.inbox()));
}

// An inbox replaced by a symbolic link must not receive the message through
// it: the perch would never see it (its listing refuses the link) and the
// body would land wherever the link points.
TEST_F(InboxTest, RefusesAnInboxReplacedByASymlink) {
  const std::string elsewhere = m_dir / "elsewhere";
  std::filesystem::create_directory(elsewhere);
  std::filesystem::remove_all(m_perch.inbox());
  std::filesystem::create_directory_symlink(elsewhere, m_perch.inbox());

  auto error = vell_test::thrown_error([&] { file_message(m_store, m_perch, "s", "secret", Deferred::no); });
  EXPECT_TRUE(error) << "file_message reported success for a message its perch cannot see";
  if (error) {
    EXPECT_EQ(error->exit_code(), 3);
  }
  EXPECT_TRUE(names_in(elsewhere).empty()) << "the body was written through the symlink";
  EXPECT_TRUE(names_in(m_perch.tmp()).empty());
}

TEST_F(InboxTest, ConcurrentSendersFromSeveralProcessesLoseAndRepeatNothing) {
  constexpr int k_senders = 4;
  constexpr int k_each = 25;
  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  std::vector<pid_t> children;
  for (int c = 0; c < k_senders; ++c) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(start[1]);
      char byte = 0;
      (void)!::read(start[0], &byte, 1); // returns at end of file: all start together
      try {
        for (int m = 0; m < k_each; ++m) {
          file_message(m_store, m_perch, "c" + std::to_string(c), std::to_string(c) + ":" + std::to_string(m),
                       Deferred::no);
        }
      } catch (...) {
        ::_exit(1);
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  ::close(start[0]);
  ::close(start[1]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a sender failed, status " << status;
  }

  const auto pending = pending_messages(m_perch);
  ASSERT_EQ(pending.size(), static_cast<std::size_t>(k_senders * k_each));
  std::set<std::uint64_t> seqs;
  std::map<std::string, std::vector<std::string>> by_sender;
  for (const auto& message : pending) {
    EXPECT_TRUE(seqs.insert(message.seq).second) << "sequence number " << message.seq << " used twice";
    by_sender[message.sender].push_back(read_message_body(m_perch, message).value_or("<gone>"));
  }
  ASSERT_EQ(by_sender.size(), static_cast<std::size_t>(k_senders));
  for (int c = 0; c < k_senders; ++c) {
    std::vector<std::string> expected;
    for (int m = 0; m < k_each; ++m) {
      expected.push_back(std::to_string(c) + ":" + std::to_string(m));
    }
    EXPECT_EQ(by_sender["c" + std::to_string(c)], expected) << "sender c" << c;
  }
  EXPECT_EQ(*seqs.rbegin(), static_cast<std::uint64_t>(k_senders * k_each));
  EXPECT_TRUE(names_in(m_perch.tmp()).empty());
}

TEST_F(InboxTest, RecentSendersKeepTheNewest64DistinctOldestFirst) {
  EXPECT_TRUE(recent_senders(m_perch).empty());

  remember_senders(m_store, m_perch, {"a", "b"});
  remember_senders(m_store, m_perch, {"c", "a", "c"});
  EXPECT_THAT(recent_senders(m_perch), ElementsAre("b", "a", "c"));

  std::vector<std::string> many;
  for (int i = 0; i < 70; ++i) {
    many.push_back("s" + std::to_string(i));
  }
  remember_senders(m_store, m_perch, many);
  const std::vector<std::string> expected(many.end() - 64, many.end());
  EXPECT_EQ(recent_senders(m_perch), expected);
}

TEST_F(InboxTest, RecentSendersIgnoreLinesThatAreNotIds) {
  write_bytes(m_perch.senders(), "ok\n../etc\n\nbad id\n-x\nlast");
  EXPECT_THAT(recent_senders(m_perch), ElementsAre("ok", "last"));
  remember_senders(m_store, m_perch, {"new"});
  EXPECT_EQ(read_bytes(m_perch.senders()), "ok\nlast\nnew\n");
}

} // namespace
} // namespace vell

#include "core/store.hpp"

#include "core/identity.hpp"
#include "os/lock.hpp"
#include "os/process.hpp"
#include "temp_dir.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

namespace vell {
namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;
using vell_test::mode_of;
using vell_test::thrown_error;
using vell_test::write_bytes;
namespace fs = std::filesystem;

class StoreTest : public ::testing::Test {
protected:
  vell_test::TempDir m_dir;
  std::string m_root = m_dir / "root";
  Store m_store{m_root};
};

TEST_F(StoreTest, FindsFlatPerchesAndWorkersNestedAtAnyDepth) {
  const Perch parent = m_store.create("P");
  const Perch worker = m_store.create("P-w1", &parent);
  const Perch grand_worker = m_store.create("P-w1-w2", &worker);

  struct Case {
    std::string id;
    std::string dir;
    std::optional<std::string> parent;
  };
  const Case cases[] = {
      {"P", m_root + "/vellery/P", std::nullopt},
      {"P-w1", m_root + "/vellery/P/nested/P-w1", "P"},
      {"P-w1-w2", m_root + "/vellery/P/nested/P-w1/nested/P-w1-w2", "P-w1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    auto found = m_store.find(c.id);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->id, c.id);
    EXPECT_EQ(found->dir, c.dir);
    EXPECT_EQ(found->parent, c.parent);
    EXPECT_TRUE(fs::is_directory(found->inbox()));
    EXPECT_TRUE(fs::is_directory(found->tmp()));
  }
  EXPECT_EQ(grand_worker.dir, cases[2].dir);
}

TEST_F(StoreTest, FindsNothingForMissingPerchesLinksAndFiles) {
  const Perch parent = m_store.create("P");
  m_store.create("P-w1", &parent);
  fs::create_directory(m_dir / "outside");
  fs::create_directory_symlink(m_dir / "outside", m_root + "/vellery/L");
  write_bytes(m_root + "/vellery/F", "");
  fs::create_directory_symlink(m_dir / "outside", parent.nested() + "/P-w2");

  for (const char* id : {"Q", "P-w9", "Q-w1", "P-w1-w1", "L", "F", "P-w2"}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(m_store.find(id), std::nullopt);
  }
  auto error = thrown_error([&] { m_store.require("Q"); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->exit_code(), 1);
  EXPECT_STREQ(error->what(), "NO_PERCH:Q");
  EXPECT_EQ(m_store.require("P-w1").dir, parent.nested() + "/P-w1");
}

TEST_F(StoreTest, AllListsEachParentFollowedByItsWorkersAndSkipsForeignEntries) {
  const Perch b = m_store.create("b");
  const Perch a = m_store.create("a");
  const Perch a_w1 = m_store.create("a-w1", &a);
  m_store.create("a-w1-w1", &a_w1);
  m_store.create("a-w2", &a);
  m_store.create("c");
  (void)b;
  fs::create_directory(m_root + "/vellery/.hidden");
  fs::create_directory(m_root + "/vellery/bad name");
  fs::create_directory(a.nested() + "/-x");
  write_bytes(m_root + "/vellery/file.txt", "not a perch");
  write_bytes(a.nested() + "/stray", "");
  fs::create_directory(m_dir / "outside");
  fs::create_directory_symlink(m_dir / "outside", m_root + "/vellery/link");

  std::vector<std::string> listed;
  for (const auto& perch : m_store.all()) {
    listed.push_back(perch.id + " " + perch.parent.value_or("-") + " " + perch.dir.substr(m_root.size()));
  }
  EXPECT_THAT(listed, ElementsAre("a - /vellery/a", "a-w1 a /vellery/a/nested/a-w1",
                                  "a-w1-w1 a-w1 /vellery/a/nested/a-w1/nested/a-w1-w1", "a-w2 a /vellery/a/nested/a-w2",
                                  "b - /vellery/b", "c - /vellery/c"));
}

TEST_F(StoreTest, AllOfAMissingStoreIsEmpty) {
  EXPECT_TRUE(m_store.all().empty());
  EXPECT_FALSE(m_store.exists());
  EXPECT_FALSE(fs::exists(m_root)) << "listing must create nothing";
}

TEST_F(StoreTest, CheckRootAcceptsPrivateRootsAndRefusesOpenOnesWithTheReason) {
  const std::string refusal = "refusing to use the state root '" + m_root + "': it ";
  const std::pair<fs::perms, std::string> cases[] = {
      {fs::perms(0700), ""},
      {fs::perms(0755), ""},
      {fs::perms(0750), ""},
      {fs::perms(0777), "is writable by group or others"},
      {fs::perms(0770), "is writable by group or others"},
      {fs::perms(0702), "is writable by group or others"},
  };
  fs::create_directory(m_root);
  for (const auto& [mode, problem] : cases) {
    SCOPED_TRACE(::testing::Message() << std::oct << static_cast<unsigned>(mode));
    fs::permissions(m_root, mode);
    auto error = thrown_error([&] { m_store.check_root(); });
    if (problem.empty()) {
      EXPECT_FALSE(error) << error->what();
      continue;
    }
    ASSERT_TRUE(error);
    EXPECT_EQ(error->exit_code(), 3);
    EXPECT_EQ(error->what(), refusal + problem);
    EXPECT_THAT(error->hints(), ElementsAre(::testing::HasSubstr("0700")));
    EXPECT_EQ(mode_of(m_root), static_cast<unsigned>(mode)) << "a refused root must not be repaired";
  }
}

TEST_F(StoreTest, CheckRootRefusesASymlinkAFileAndAForeignOwner) {
  const std::string refusal = "refusing to use the state root '" + m_root + "': it ";
  fs::create_directory(m_dir / "real");
  fs::permissions(m_dir / "real", fs::perms(0700));
  fs::create_directory_symlink(m_dir / "real", m_root);
  auto link = thrown_error([&] { m_store.check_root(); });
  ASSERT_TRUE(link);
  EXPECT_EQ(link->exit_code(), 3);
  EXPECT_EQ(link->what(), refusal + "is a symbolic link");
  // A trailing slash must not make the link look like the directory it points to.
  auto slashed = thrown_error([&] { Store(m_root + "/").check_root(); });
  ASSERT_TRUE(slashed);
  EXPECT_EQ(slashed->what(), refusal + "is a symbolic link");

  fs::remove(m_root);
  write_bytes(m_root, "");
  auto file = thrown_error([&] { m_store.check_root(); });
  ASSERT_TRUE(file);
  EXPECT_EQ(file->what(), refusal + "is not a directory");

  if (::geteuid() != 0) {
    return; // only root can give the directory away
  }
  fs::remove(m_root);
  fs::create_directory(m_root);
  fs::permissions(m_root, fs::perms(0700));
  ASSERT_EQ(::chown(m_root.c_str(), 65534, 65534), 0);
  auto foreign = thrown_error([&] { m_store.check_root(); });
  ASSERT_TRUE(foreign);
  EXPECT_EQ(foreign->what(), refusal + "is owned by another user");
}

TEST_F(StoreTest, EnsureRootCreatesPrivateDirectoriesWhateverTheUmask) {
  vell_test::ScopedUmask open_umask(0);
  Store deep(m_dir / "a/b/root");
  deep.ensure_root();
  for (const char* dir : {"a", "a/b", "a/b/root", "a/b/root/vellery"}) {
    SCOPED_TRACE(dir);
    EXPECT_EQ(mode_of(m_dir / dir), 0700u);
  }
  const Perch perch = deep.create("p");
  for (const auto& dir : {perch.dir, perch.inbox(), perch.tmp()}) {
    SCOPED_TRACE(dir);
    EXPECT_EQ(mode_of(dir), 0700u);
  }
}

TEST_F(StoreTest, EnsureRootCreatesNothingThroughASymlinkedRoot) {
  fs::create_directory(m_dir / "real");
  fs::create_directory_symlink(m_dir / "real", m_root);
  auto error = thrown_error([&] { m_store.ensure_root(); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->exit_code(), 3);
  EXPECT_TRUE(vell_test::names_in(m_dir / "real").empty());
}

TEST_F(StoreTest, RecordsRoundTripAndBadOnesGiveAReason) {
  const Perch perch = m_store.create("p");
  auto missing = read_record(perch);
  ASSERT_TRUE(std::holds_alternative<std::string>(missing));
  EXPECT_EQ(std::get<std::string>(missing), "info.json is missing");

  write_bytes(perch.record(), "{\"pid\":1}");
  auto bad = read_record(perch);
  ASSERT_TRUE(std::holds_alternative<std::string>(bad));
  EXPECT_EQ(std::get<std::string>(bad), "info.json: 'vell_id' is missing");

  PerchRecord record;
  record.vell_id = "p";
  record.pid = 4294967295u;
  record.session_id = "s";
  write_record(m_store, perch, record);
  auto back = read_record(perch);
  ASSERT_TRUE(std::holds_alternative<PerchRecord>(back));
  EXPECT_EQ(std::get<PerchRecord>(back).pid, 4294967295u);
  EXPECT_EQ(std::get<PerchRecord>(back).session_id, "s");
  EXPECT_THAT(vell_test::names_in(perch.dir), ElementsAre("inbox", "info.json", "tmp"));
}

TEST_F(StoreTest, PerchIsActiveOnlyWithReadyMarkerAndALiveHolderOrListener) {
  const Perch perch = m_store.create("p");
  PerchRecord own;
  own.vell_id = "p";
  own.pid = os::self_pid();
  own.pid_start = os::process_start_time(own.pid);
  ASSERT_TRUE(own.pid_start);
  PerchRecord reused = own;
  reused.pid_start = *own.pid_start + 1;
  PerchRecord dead = own;
  dead.pid = 4294967295u;
  dead.pid_start.reset();
  const std::variant<PerchRecord, std::string> unreadable = std::string("info.json is missing");

  EXPECT_FALSE(perch_active(perch, own)) << "no ready marker";
  write_bytes(perch.ready(), "");
  EXPECT_TRUE(perch_active(perch, own));
  EXPECT_FALSE(perch_active(perch, reused)) << "pid reused by another process";
  EXPECT_FALSE(perch_active(perch, dead));
  EXPECT_FALSE(perch_active(perch, unreadable));

  os::FileLock listener(perch.listener_lock());
  ASSERT_FALSE(listener.acquire());
  EXPECT_TRUE(listener_running(perch));
  EXPECT_TRUE(perch_active(perch, unreadable));
  listener.release();
  EXPECT_FALSE(listener_running(perch));
}

TEST(StoreFromEnvironment, PrefersQrdHomeThenHomeThenUserProfile) {
  struct Case {
    std::optional<std::string> qrd_home, home, user_profile;
    std::string root;
  };
  const Case cases[] = {
      {"/q", "/h", "/u", "/q"},
      {"/q//", "/h", std::nullopt, "/q"},
      {"", "/h", "/u", "/h/.qrd"},
      {std::nullopt, "/h/", std::nullopt, "/h/.qrd"},
      {std::nullopt, "", "/u", "/u/.qrd"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.root);
    vell_test::ScopedEnv qrd_home("QRD_HOME", c.qrd_home);
    vell_test::ScopedEnv home("HOME", c.home);
    vell_test::ScopedEnv user_profile("USERPROFILE", c.user_profile);
    EXPECT_EQ(Store::from_environment().root(), c.root);
  }
  vell_test::ScopedEnv qrd_home("QRD_HOME", std::nullopt);
  vell_test::ScopedEnv home("HOME", std::nullopt);
  vell_test::ScopedEnv user_profile("USERPROFILE", std::nullopt);
  auto error = thrown_error([] { Store::from_environment(); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->exit_code(), 3);
  EXPECT_THAT(error->what(), StartsWith("cannot find the state root"));
}

class ResolveOwnIdTest : public StoreTest {
protected:
  const std::string m_hint = "pass --id ID";

  std::optional<Error> resolution_error(const std::optional<std::string>& explicit_id = std::nullopt) {
    return thrown_error([&] { resolve_own_id(m_store, explicit_id, m_hint); });
  }
};

TEST_F(ResolveOwnIdTest, AnExplicitIdWinsAndIsValidated) {
  vell_test::ScopedEnv session("VELL_SESSION_ID", "sess");
  m_store.create("mapped");
  write_session_map(m_store, "sess", "mapped");
  EXPECT_EQ(resolve_own_id(m_store, "me", m_hint), "me");

  auto error = resolution_error("../me");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->exit_code(), 2);
  EXPECT_STREQ(error->what(), "invalid perch id '../me': starts with '.'");
}

TEST_F(ResolveOwnIdTest, FollowsTheSessionMapToAnExistingPerch) {
  const Perch parent = m_store.create("P");
  m_store.create("P-w3", &parent);
  write_session_map(m_store, "sess-flat", "P");
  write_session_map(m_store, "sess-worker", "P-w3");
  EXPECT_EQ(mode_of(m_store.sessions()), 0700u);

  for (const auto& [session, id] : {std::pair{"sess-flat", "P"}, std::pair{"sess-worker", "P-w3"}}) {
    SCOPED_TRACE(session);
    vell_test::ScopedEnv env("VELL_SESSION_ID", session);
    EXPECT_EQ(session_from_environment(), session);
    EXPECT_EQ(resolve_own_id(m_store, std::nullopt, m_hint), id);
  }
}

TEST_F(ResolveOwnIdTest, FailsWithTheMarkerAndTheFixHintWhenNothingNamesAPerch) {
  m_store.create("P");
  write_session_map(m_store, "gone", "Q");
  fs::create_directories(m_store.sessions());
  write_bytes(m_store.session_map("hostile"), R"({"vell_id":"../vellery/P"})");
  write_bytes(m_store.session_map("garbled"), "{not json");
  write_bytes(m_store.session_map("numeric"), R"({"vell_id":7})");

  const std::optional<std::string> sessions[] = {std::nullopt, "",        "gone",   "hostile",
                                                 "garbled",    "numeric", "no-map", "../sessions/gone"};
  for (const auto& session : sessions) {
    SCOPED_TRACE(session.value_or("<unset>"));
    vell_test::ScopedEnv env("VELL_SESSION_ID", session);
    auto error = resolution_error();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->exit_code(), 1);
    EXPECT_THAT(error->what(), StartsWith("Could not determine your perch: "));
    EXPECT_THAT(error->hints(), ElementsAre(m_hint));
  }
}

TEST_F(ResolveOwnIdTest, SessionFromEnvironmentRefusesAnInvalidSessionId) {
  {
    vell_test::ScopedEnv env("VELL_SESSION_ID", std::nullopt);
    EXPECT_EQ(session_from_environment(), std::nullopt);
  }
  vell_test::ScopedEnv env("VELL_SESSION_ID", "../x");
  auto error = thrown_error([] { session_from_environment(); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->exit_code(), 2);
  EXPECT_STREQ(error->what(), "invalid session id (VELL_SESSION_ID) '../x': starts with '.'");
}

} // namespace
} // namespace vell

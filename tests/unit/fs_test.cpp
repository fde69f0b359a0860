#include "os/fs.hpp"

#include "temp_dir.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace vell::os {
namespace {

using namespace std::string_literals;
using ::testing::ElementsAre;
using vell_test::mode_of;
using vell_test::names_in;
using vell_test::read_bytes;
using vell_test::write_bytes;
namespace fs = std::filesystem;

class FsTest : public ::testing::Test {
protected:
  vell_test::TempDir m_dir;
};

// Every byte value, NULs included, and more than one read buffer's worth.
std::string binary_data() {
  std::string data;
  for (int i = 0; i < 200'000; ++i) {
    data += static_cast<char>(i * 7 % 256);
  }
  return data;
}

TEST_F(FsTest, WriteFileAtomicReplacesContentAndLeavesNoTemporaryFile) {
  const std::string path = m_dir / "record";
  write_bytes(path, "old content that is longer than the new one");
  for (bool sync : {false, true}) {
    SCOPED_TRACE(sync);
    const std::string data = sync ? "new\0synced"s : binary_data();
    ASSERT_FALSE(write_file_atomic(path, data, sync));
    EXPECT_EQ(read_bytes(path), data);
    EXPECT_THAT(names_in(m_dir.path()), ElementsAre("record"));
  }
}

TEST_F(FsTest, WriteFileAtomicReplacesASymlinkInsteadOfWritingThroughIt) {
  fs::create_directory(m_dir / "elsewhere");
  write_bytes(m_dir / "elsewhere/target", "outside");
  fs::create_symlink(m_dir / "elsewhere/target", m_dir / "record");

  ASSERT_FALSE(write_file_atomic(m_dir / "record", "new"));
  EXPECT_EQ(read_bytes(m_dir / "elsewhere/target"), "outside");
  EXPECT_FALSE(fs::is_symlink(m_dir / "record"));
  EXPECT_EQ(read_bytes(m_dir / "record"), "new");
}

TEST_F(FsTest, WriteFileAtomicFailsInAMissingDirectory) {
  EXPECT_EQ(write_file_atomic(m_dir / "missing/record", "x"), std::errc::no_such_file_or_directory);
  EXPECT_TRUE(names_in(m_dir.path()).empty());
}

TEST_F(FsTest, WriteNewFileWritesBytesExactlyWithMode0600) {
  vell_test::ScopedUmask open_umask(0);
  const std::string data = binary_data();
  ASSERT_FALSE(write_new_file(m_dir / "body", data, true));
  EXPECT_EQ(read_bytes(m_dir / "body"), data);
  EXPECT_EQ(mode_of(m_dir / "body"), 0600u);
}

TEST_F(FsTest, WriteNewFileRefusesAnExistingNameAndNeverTruncatesIt) {
  write_bytes(m_dir / "body", "pending message");
  EXPECT_EQ(write_new_file(m_dir / "body", "intruder", false), std::errc::file_exists);
  EXPECT_EQ(read_bytes(m_dir / "body"), "pending message");

  // A dangling symlink is an existing name too: nothing is created at its target.
  fs::create_symlink(m_dir / "target", m_dir / "link");
  EXPECT_EQ(write_new_file(m_dir / "link", "intruder", false), std::errc::file_exists);
  EXPECT_FALSE(fs::exists(m_dir / "target"));
}

TEST_F(FsTest, LinkNoreplaceRefusesToReplaceAndLinksANewName) {
  write_bytes(m_dir / "from", "new message");
  write_bytes(m_dir / "taken", "pending message");
  EXPECT_EQ(link_noreplace(m_dir / "from", m_dir / "taken"), std::errc::file_exists);
  EXPECT_EQ(read_bytes(m_dir / "taken"), "pending message");

  ASSERT_FALSE(link_noreplace(m_dir / "from", m_dir / "free"));
  EXPECT_EQ(read_bytes(m_dir / "free"), "new message");
  EXPECT_EQ(fs::hard_link_count(m_dir / "from"), 2u);
}

TEST_F(FsTest, MakeDirSetsExactlyTheModeWhateverTheUmask) {
  struct Case {
    mode_t umask;
    std::uint32_t mode;
  };
  const Case cases[] = {{0, 0700}, {0022, 0700}, {0077, 0755}, {0, 0755}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "umask " << std::oct << c.umask << " mode " << c.mode);
    vell_test::ScopedUmask umask(c.umask);
    const std::string path = m_dir / ("d" + std::to_string(n++));
    ASSERT_FALSE(make_dir(path, c.mode));
    EXPECT_EQ(mode_of(path), c.mode);
  }
}

TEST_F(FsTest, MakeDirAcceptsADirectoryButNotAFileOrASymlinkToADirectory) {
  fs::create_directory(m_dir / "dir");
  write_bytes(m_dir / "file", "");
  fs::create_symlink(m_dir / "dir", m_dir / "link");

  EXPECT_FALSE(make_dir(m_dir / "dir"));
  EXPECT_EQ(make_dir(m_dir / "file"), std::errc::file_exists);
  EXPECT_EQ(make_dir(m_dir / "link"), std::errc::file_exists);
  EXPECT_EQ(make_new_dir(m_dir / "dir"), std::errc::file_exists);
}

TEST_F(FsTest, MakeDirsCreatesEveryMissingParentWithTheMode) {
  vell_test::ScopedUmask open_umask(0);
  ASSERT_FALSE(make_dirs(m_dir / "a/b/c", 0700));
  for (const char* dir : {"a", "a/b", "a/b/c"}) {
    SCOPED_TRACE(dir);
    EXPECT_EQ(mode_of(m_dir / dir), 0700u);
  }
}

TEST_F(FsTest, ReadFileReadsBinaryAndRefusesASymlinkOrAMissingFile) {
  const std::string data = binary_data();
  write_bytes(m_dir / "real", data);
  fs::create_symlink(m_dir / "real", m_dir / "link");

  auto real = read_file(m_dir / "real");
  ASSERT_TRUE(real);
  EXPECT_EQ(*real, data);

  auto link = read_file(m_dir / "link");
  ASSERT_FALSE(link);
  EXPECT_EQ(link.error(), std::errc::too_many_symbolic_link_levels);

  EXPECT_EQ(read_file(m_dir / "missing").error(), std::errc::no_such_file_or_directory);
  EXPECT_FALSE(read_file(m_dir.path()));
}

TEST_F(FsTest, RemoveTreeRemovesLinksWithoutFollowingThem) {
  fs::create_directories(m_dir / "keep");
  write_bytes(m_dir / "keep/precious", "stay");
  fs::create_directories(m_dir / "tree/sub");
  write_bytes(m_dir / "tree/sub/file", "x");
  fs::create_directory_symlink(m_dir / "keep", m_dir / "tree/sub/dir-link");
  fs::create_symlink(m_dir / "keep/precious", m_dir / "tree/file-link");

  ASSERT_FALSE(remove_tree(m_dir / "tree"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(m_dir / "tree")));
  EXPECT_EQ(read_bytes(m_dir / "keep/precious"), "stay");

  EXPECT_FALSE(remove_tree(m_dir / "tree"));
}

TEST_F(FsTest, ListDirNamesEntriesAndRefusesASymlinkedDirectory) {
  fs::create_directory(m_dir / "inbox");
  write_bytes(m_dir / "inbox/one", "");
  fs::create_directory(m_dir / "inbox/two");
  fs::create_directory_symlink(m_dir / "inbox", m_dir / "link");

  auto names = list_dir(m_dir / "inbox");
  ASSERT_TRUE(names);
  EXPECT_THAT(*names, ::testing::UnorderedElementsAre("one", "two"));
  EXPECT_FALSE(list_dir(m_dir / "link"));
  EXPECT_EQ(list_dir(m_dir / "missing").error(), std::errc::no_such_file_or_directory);
}

} // namespace
} // namespace vell::os

#include "core/ids.hpp"

#include "temp_dir.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace vell {
namespace {

using namespace std::string_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string k_other_character = "contains a character other than letters, digits, '.', '_' and '-'";

TEST(IdProblem, AcceptsSafeSinglePathComponents) {
  for (const std::string& id :
       {"a"s, "Z"s, "7"s, "_"s, "perch_1"s, "a.b-c_D9"s, "a..b"s, "p-w1"s, std::string(64, 'x')}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(id_problem(id), std::nullopt);
  }
}

TEST(IdProblem, RefusesHostileIdsWithTheReason) {
  struct Case {
    std::string id;
    std::string reason;
  };
  const Case cases[] = {
      {"", "is empty"},
      {std::string(65, 'x'), "is longer than 64 bytes"},
      {std::string(65, '/'), "is longer than 64 bytes"},
      {".", "starts with '.'"},
      {"..", "starts with '.'"},
      {".hidden", "starts with '.'"},
      {"../etc", "starts with '.'"},
      {"-rf", "starts with '-'"},
      {"-w1", "starts with '-'"},
      {"a/b", "contains '/'"},
      {"a/../b", "contains '/'"},
      {"a/", "contains '/'"},
      // An embedded or trailing NUL would pass a check made through c_str().
      {"a\0b"s, k_other_character},
      {"ab\0"s, k_other_character},
      {"ab\0/../x"s, k_other_character},
      {"a b", k_other_character},
      {" a", k_other_character},
      {"a\\b", k_other_character},
      {"a\nb", k_other_character},
      {"a\tb", k_other_character},
      {"a:b", k_other_character},
      {"a*", k_other_character},
      {"a\x7f", k_other_character},
      {"caf\xc3\xa9", k_other_character},
      {"\xff", k_other_character},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(printable(c.id));
    EXPECT_EQ(id_problem(c.id), c.reason);
  }
}

TEST(RequireValidId, ThrowsAUsageErrorNamingKindIdAndReason) {
  EXPECT_NO_THROW(require_valid_id("perch id", "good.id-1"));

  auto slash = vell_test::thrown_error([] { require_valid_id("perch id", "a/b"); });
  ASSERT_TRUE(slash);
  EXPECT_EQ(slash->exit_code(), 2);
  EXPECT_STREQ(slash->what(), "invalid perch id 'a/b': contains '/'");
  EXPECT_THAT(slash->hints(), ElementsAre(HasSubstr("1 to 64 letters, digits")));

  // Bytes that could garble a terminal are shown escaped, never raw.
  auto hostile = vell_test::thrown_error([] { require_valid_id("sender id", "a\0b\n\x1b[2J"s); });
  ASSERT_TRUE(hostile);
  EXPECT_EQ(hostile->exit_code(), 2);
  EXPECT_EQ(std::string(hostile->what()), "invalid sender id 'a\\x00b\\x0a\\x1b[2J': " + k_other_character);

  auto empty = vell_test::thrown_error([] { require_valid_id("session id", ""); });
  ASSERT_TRUE(empty);
  EXPECT_STREQ(empty->what(), "invalid session id '': is empty");
}

TEST(Printable, KeepsPrintableAsciiAndEscapesEverythingElse) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"plain id-1.x_y", "plain id-1.x_y"},
      {" ~!\"'", " ~!\"'"},
      {"\0"s, "\\x00"},
      {"\t\r\n", "\\x09\\x0d\\x0a"},
      {"\x1f\x7f", "\\x1f\\x7f"},
      {"caf\xc3\xa9", "caf\\xc3\\xa9"},
      {"\x80\xff", "\\x80\\xff"},
  };
  for (const auto& [text, shown] : cases) {
    SCOPED_TRACE(shown);
    EXPECT_EQ(printable(text), shown);
  }
}

TEST(WorkerParent, FindsTheParentOnlyForIdDashWNumber) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"a-w1", "a"},         {"a-w01", "a"},          {"a-b-w12", "a-b"},      {"a-w1-w2", "a-w1"},
      {"a-w", std::nullopt}, {"a-w1x", std::nullopt}, {"a-wx1", std::nullopt}, {"a-w-1", std::nullopt},
      {"-w1", std::nullopt}, {"a-W1", std::nullopt},  {"aw1", std::nullopt},   {"a", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [id, parent] : cases) {
    SCOPED_TRACE(id);
    EXPECT_EQ(worker_parent(id), parent);
  }
}

} // namespace
} // namespace vell

// Ids that would escape the state root or read as options are refused with
// exit 2 before vell touches the disk.
#include "behaviour_support.hpp"

#include <algorithm>

namespace vell_behaviour {
namespace {

using IdTest = VellTest;

TEST_F(IdTest, HostileIdsAreRefusedBeforeTheDiskIsTouched) {
  const std::vector<std::string> ids = {"../x", "a/b", ".hidden", "-rf", std::string(65, 'a'), "", "..", "a b", "a\nb"};
  // Each command with the hostile id in the place "ID" stands; "--" makes
  // sure the id reaches vell's own check rather than the option parser.
  struct Command {
    const char* name;
    std::vector<std::string> args;
    std::optional<std::string> body;
  };
  const std::vector<Command> commands = {
      {"setup", {"setup", "--", "ID"}, std::nullopt},
      {"deliver target", {"deliver", "--", "ID", "good"}, "body"},
      {"deliver sender", {"deliver", "--", "good", "ID"}, "body"},
      {"send sender", {"send", "--", "good", "ID"}, "body"},
      {"poll", {"poll", "--", "ID"}, std::nullopt},
      {"poll --setup", {"poll", "--setup", "--", "ID"}, std::nullopt},
      {"stop", {"stop", "--", "ID"}, std::nullopt},
      {"reply own id", {"reply", "--", "good", "ID"}, "body"},
  };

  // Once with no state root at all (it must not be created), once with one
  // holding perch "good" (nothing in it may change).
  for (bool root_exists : {false, true}) {
    if (root_exists) {
      ASSERT_TRUE(setup("good"));
    }
    auto before = tree_snapshot(home());
    for (const auto& command : commands) {
      for (const auto& id : ids) {
        std::vector<std::string> args = command.args;
        std::replace(args.begin(), args.end(), std::string("ID"), id);
        SCOPED_TRACE(std::string(command.name) + " with id '" + id + "'" +
                     (root_exists ? " (state root exists)" : " (no state root)"));
        auto result = vell(args, command.body);
        EXPECT_EQ(result.status.code, k_exit_usage) << result.err;
        EXPECT_FALSE(result.err.empty());
        EXPECT_EQ(tree_snapshot(home()), before);
        EXPECT_EQ(fs::exists(root()), root_exists);
      }
    }
  }
  EXPECT_FALSE(fs::exists(home() / "x"));
  EXPECT_FALSE(fs::exists(root() / "x"));
}

} // namespace
} // namespace vell_behaviour

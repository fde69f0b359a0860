#include "core/event.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vell {
namespace {

struct EncodeCase {
  const char* name;
  std::string body;
  std::string expected;
};

// The Psyche decodes &lt; &gt; &quot; and &amp; last; encoding '&' first is
// what keeps a literal "&lt;" in the body from coming back as '<'.
TEST(EventTest, EncodesBodiesOntoOneLineReversibly) {
  const EncodeCase cases[] = {
      {"plain", "working on the parser", "working on the parser"},
      {"markup characters", R"(<project-context>a "b" & c</project-context>)",
       "&lt;project-context&gt;a &quot;b&quot; &amp; c&lt;/project-context&gt;"},
      {"an entity already in the text", "&lt; 5 and &amp;copy;", "&amp;lt; 5 and &amp;amp;copy;"},
      {"line breaks of every kind", "a\nb\r\nc\rd", "a<br>b<br>c<br>d"},
      {"blank lines kept inside", "a\n\nb", "a<br><br>b"},
      {"final line breaks are framing", "my commune message\r\n\n", "my commune message"},
      {"empty", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string encoded = encode_event_body(c.body);
    EXPECT_EQ(encoded, c.expected);
    EXPECT_EQ(encoded.find('\n'), std::string::npos);
  }
}

TEST(EventTest, CommuneEventNamesItsSenderAndTime) {
  EXPECT_EQ(commune_event("communer", "2026-12-11T17:00:00Z", "a <b>\n"),
            R"(<EVENT type="commune" from="communer" timestamp="2026-12-11T17:00:00Z">a &lt;b&gt;</EVENT>)");
}

} // namespace
} // namespace vell

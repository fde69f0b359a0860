#include "support/utf8.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vell_test {
namespace {

constexpr const char* k_fffd = "\xEF\xBF\xBD";

struct DecodeCase {
  const char* name;
  std::string input;
  std::string expected;
};

TEST(Utf8Test, DecodesLossilyOneReplacementPerMaximalSubpart) {
  const std::string r = k_fffd;
  const DecodeCase cases[] = {
      {"ascii", "READY:testid\n", "READY:testid\n"},
      {"two-, three- and four-byte forms", "\xC3\xA9\xE2\x80\x94\xF0\x9F\x98\x80",
       "\xC3\xA9\xE2\x80\x94\xF0\x9F\x98\x80"},
      {"lone continuation byte", "a\x80z", "a" + r + "z"},
      {"invalid lead bytes", "\xC0\xC1\xF5\xFF", r + r + r + r},
      {"truncated three-byte form is one subpart", "\xE2\x80z", r + "z"},
      {"truncated at end of input", "ok\xF0\x9F\x98", "ok" + r},
      {"overlong three-byte form", "\xE0\x80\xAF", r + r + r},
      {"UTF-16 surrogate", "\xED\xA0\x80", r + r + r},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", r + r + r + r},
      {"marker after garbage still found", "\xFF\xFESENT:recvr", r + r + "SENT:recvr"},
      {"NUL is valid", std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode_utf8_lossy(c.input), c.expected);
    EXPECT_EQ(is_valid_utf8(c.input), c.input == c.expected);
  }
}

} // namespace
} // namespace vell_test

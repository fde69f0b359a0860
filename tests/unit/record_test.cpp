#include "core/record.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vell {
namespace {

using namespace std::string_literals;

// The record, failing the test with the reason when there is none.
PerchRecord parsed(std::string_view text) {
  auto result = parse_record(text);
  if (const auto* problem = std::get_if<std::string>(&result)) {
    ADD_FAILURE() << "parse_record refused " << text << ": " << *problem;
    return {};
  }
  return std::get<PerchRecord>(result);
}

void expect_same_record(const PerchRecord& a, const PerchRecord& b) {
  EXPECT_EQ(a.vell_id, b.vell_id);
  EXPECT_EQ(a.pid, b.pid);
  EXPECT_EQ(a.pid_start, b.pid_start);
  EXPECT_EQ(a.mode, b.mode);
  EXPECT_EQ(a.started, b.started);
  EXPECT_EQ(a.session_id, b.session_id);
  EXPECT_EQ(a.state, b.state);
  EXPECT_EQ(a.cwd, b.cwd);
  EXPECT_EQ(a.parent, b.parent);
  EXPECT_EQ(a.extra.dump(), b.extra.dump());
}

const std::string k_order_a =
    R"({"vell_id":"x","pid":1,"mode":"listen","started":"2026-01-01T00:00:00Z","session_id":"s","state":"listener"})";
const std::string k_order_b =
    R"({"vell_id":"x","started":"2026-01-01T00:00:00Z","mode":"listen","pid":1,"session_id":"s","state":"listener"})";

TEST(ParseRecord, ReadsBothKeyOrdersFoundOnDiskAsOneRecord) {
  PerchRecord a = parsed(k_order_a);
  PerchRecord b = parsed(k_order_b);
  EXPECT_EQ(a.vell_id, "x");
  EXPECT_EQ(a.pid, 1u);
  EXPECT_EQ(a.pid_start, std::nullopt);
  EXPECT_EQ(a.mode, "listen");
  EXPECT_EQ(a.started, "2026-01-01T00:00:00Z");
  EXPECT_EQ(a.session_id, "s");
  EXPECT_EQ(a.state, "listener");
  EXPECT_FALSE(a.is_worker());
  EXPECT_TRUE(a.extra.empty());
  expect_same_record(a, b);
  // Written back in the one fixed order, whichever order was read.
  EXPECT_EQ(serialize_record(a), k_order_a);
  EXPECT_EQ(serialize_record(b), k_order_a);
}

TEST(ParseRecord, AWorkingStateMarksAWorker) {
  PerchRecord record = parsed(R"({"state":"working","vell_id":"p-w1","parent":"p"})");
  EXPECT_TRUE(record.is_worker());
  EXPECT_EQ(record.parent, "p");
  EXPECT_EQ(record.pid, 0u);
}

TEST(ParseRecord, KeepsUnknownKeysInOrderThroughSerialize) {
  PerchRecord record =
      parsed(R"({"future":{"a":[1,2]},"vell_id":"x","pid":7,"note":"keep me","mode":"listen","z":null})");
  EXPECT_EQ(record.extra.dump(), R"({"future":{"a":[1,2]},"note":"keep me","z":null})");
  EXPECT_EQ(serialize_record(record), R"({"vell_id":"x","pid":7,"mode":"listen","started":"","session_id":"",)"
                                      R"("state":"listener","future":{"a":[1,2]},"note":"keep me","z":null})");
}

TEST(ParseRecord, RefusesMalformedRecordsWithAReasonAndNeverThrows) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "not valid JSON"},
      {"not json", "not valid JSON"},
      {R"({"vell_id":"x")", "not valid JSON"},
      {R"({"vell_id":"x"} trailing)", "not valid JSON"},
      {"{\"vell_id\":\"\xff\"}", "not valid JSON"},
      {R"(["vell_id","x"])", "not a JSON object"},
      {R"("x")", "not a JSON object"},
      {"null", "not a JSON object"},
      {"42", "not a JSON object"},
      {R"({"vell_id":"x","pid":"1"})", "'pid' is not a non-negative integer"},
      {R"({"vell_id":"x","pid":-1})", "'pid' is not a non-negative integer"},
      {R"({"vell_id":"x","pid":1.5})", "'pid' is not a non-negative integer"},
      {R"({"vell_id":"x","pid":1e3})", "'pid' is not a non-negative integer"},
      // 2^64 does not fit: refused rather than wrapped to 0.
      {R"({"vell_id":"x","pid":18446744073709551616})", "'pid' is not a non-negative integer"},
      {R"({"vell_id":"x","pid":true})", "'pid' is not a non-negative integer"},
      {R"({"vell_id":"x","pid":null})", "'pid' is not a non-negative integer"},
      {R"({"vell_id":"x","pid_start":-5})", "'pid_start' is not a non-negative integer"},
      {R"({"vell_id":5})", "'vell_id' is not a string"},
      {R"({"vell_id":"x","mode":["listen"]})", "'mode' is not a string"},
      {R"({"vell_id":"x","cwd":{}})", "'cwd' is not a string"},
      {R"({"vell_id":"x","parent":1})", "'parent' is not a string"},
      {R"({"pid":1,"mode":"listen"})", "'vell_id' is missing"},
      {R"({"vell_id":""})", "'vell_id' is missing"},
      {"{}", "'vell_id' is missing"},
  };
  for (const auto& [text, reason] : cases) {
    SCOPED_TRACE(text);
    std::variant<PerchRecord, std::string> result;
    ASSERT_NO_THROW(result = parse_record(text));
    ASSERT_TRUE(std::holds_alternative<std::string>(result));
    EXPECT_EQ(std::get<std::string>(result), reason);
  }
}

TEST(ParseRecord, KeepsEveryPidValueExactly) {
  for (const std::string& pid : {"0"s, "1"s, "4294967295"s, "9223372036854775808"s, "18446744073709551615"s}) {
    SCOPED_TRACE(pid);
    const std::string text = R"({"vell_id":"x","pid":)" + pid + R"(,"pid_start":)" + pid + "}";
    PerchRecord record = parsed(text);
    EXPECT_EQ(record.pid, std::stoull(pid));
    EXPECT_EQ(record.pid_start, std::stoull(pid));
    EXPECT_NE(serialize_record(record).find(R"("pid":)" + pid + ","), std::string::npos) << serialize_record(record);
    EXPECT_EQ(parsed(serialize_record(record)).pid, std::stoull(pid));
  }
}

TEST(SerializeRecord, WritesCompactJsonInFixedOrderThatRoundTrips) {
  PerchRecord record;
  record.vell_id = "p-w1";
  record.pid = 4294967295u;
  record.pid_start = 123456;
  record.started = "2026-02-03T04:05:06Z";
  record.session_id = "sess";
  record.state = std::string(k_state_working);
  record.cwd = "/home/u/dir with \"quotes\" and\ttab";
  record.parent = "p";
  record.extra["later"] = "kept";

  const std::string text = serialize_record(record);
  EXPECT_EQ(text, R"({"vell_id":"p-w1","pid":4294967295,"mode":"listen","started":"2026-02-03T04:05:06Z",)"
                  R"("session_id":"sess","state":"working","cwd":"/home/u/dir with \"quotes\" and\ttab",)"
                  R"("parent":"p","pid_start":123456,"later":"kept"})");
  expect_same_record(parsed(text), record);
}

TEST(SerializeRecord, ReplacesInvalidUtf8InsteadOfThrowing) {
  PerchRecord record;
  record.vell_id = "x";
  record.cwd = "/tmp/\xff\xfe";
  std::string text;
  ASSERT_NO_THROW(text = serialize_record(record));
  PerchRecord back = parsed(text);
  EXPECT_EQ(back.vell_id, "x");
  EXPECT_EQ(back.cwd, "/tmp/\xef\xbf\xbd\xef\xbf\xbd"); // two U+FFFD
}

} // namespace
} // namespace vell

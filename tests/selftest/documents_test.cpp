// The documents the plugin gives to agents, and the three cases that guard
// their wording. The embedded prompt must be the source file byte for byte
// and keep its form; the skill documents must name only commands vell has;
// and each document case must fail, with its own message, on a document that
// breaks its rule, and pass on one that keeps it, from any working directory.

#include "selftest_support.hpp"
#include "support/child_process.hpp"
#include "support/utf8.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

// The prompt as this test was built with it, the same copy native_vell embeds.
extern const std::string_view PSYCHE_MD;

namespace {

namespace fs = std::filesystem;
using vell_selftest::contains;
using vell_selftest::count;
using vell_selftest::ScratchDir;

const fs::path k_project_root = PROJECT_ROOT;
const fs::path k_doc_root = DOC_ROOT;
constexpr std::string_view k_named_tag = "<project-context name=";

std::optional<std::string> read_bytes(const fs::path& file) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream) {
    return std::nullopt;
  }
  return std::string(std::istreambuf_iterator<char>(stream), {});
}

void write_bytes(const fs::path& file, std::string_view bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream stream(file, std::ios::binary | std::ios::trunc);
  stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(stream.good()) << "cannot write " << file;
}

// The prompt split at its CR LF line ends.
std::vector<std::string_view> prompt_lines() {
  std::vector<std::string_view> lines;
  std::string_view rest = PSYCHE_MD;
  for (std::size_t end = rest.find("\r\n"); end != std::string_view::npos; end = rest.find("\r\n")) {
    lines.push_back(rest.substr(0, end));
    rest.remove_prefix(end + 2);
  }
  if (!rest.empty()) {
    lines.push_back(rest);
  }
  return lines;
}

// ---------------------------------------------------------------------------
// The embedded prompt
// ---------------------------------------------------------------------------

TEST(EmbeddedPrompt, IsTheSourceFileByteForByte) {
  const fs::path file = k_project_root / "plugin/qrd/psyche.md";
  const std::optional<std::string> source = read_bytes(file);
  ASSERT_TRUE(source) << "cannot read " << file;
  const auto [ours, theirs] = std::mismatch(PSYCHE_MD.begin(), PSYCHE_MD.end(), source->begin(), source->end());
  EXPECT_TRUE(ours == PSYCHE_MD.end() && theirs == source->end())
      << "the embedded prompt (" << PSYCHE_MD.size() << " bytes) and " << file << " (" << source->size()
      << " bytes) differ from byte " << (ours - PSYCHE_MD.begin());
}

TEST(EmbeddedPrompt, KeepsItsForm) {
  ASSERT_TRUE(PSYCHE_MD.size() > 2 && PSYCHE_MD.substr(PSYCHE_MD.size() - 2) == "\r\n")
      << "the last line must end with CR LF";
  for (std::size_t at = 0; at < PSYCHE_MD.size(); ++at) {
    const char c = PSYCHE_MD[at];
    if (c == '\n') {
      ASSERT_TRUE(at > 0 && PSYCHE_MD[at - 1] == '\r') << "bare LF at byte " << at;
    } else if (c == '\r') {
      ASSERT_TRUE(at + 1 < PSYCHE_MD.size() && PSYCHE_MD[at + 1] == '\n') << "bare CR at byte " << at;
    }
  }
  ASSERT_TRUE(vell_test::is_valid_utf8(PSYCHE_MD));
  // Beyond ASCII only the em dash and the right arrow.
  for (std::size_t at = 0; at < PSYCHE_MD.size(); ++at) {
    if (static_cast<unsigned char>(PSYCHE_MD[at]) < 0x80) {
      continue;
    }
    const std::string_view sequence = PSYCHE_MD.substr(at, 3);
    ASSERT_TRUE(sequence == "\u2014" || sequence == "\u2192") << "unexpected character at byte " << at;
    at += 2;
  }
}

TEST(EmbeddedPrompt, KeepsItsPlaceholdersUnfilled) {
  EXPECT_EQ(count(PSYCHE_MD, "{{self_id}}"), 25U);
  EXPECT_EQ(count(PSYCHE_MD, "{{psyche_id}}"), 3U);
  EXPECT_EQ(count(PSYCHE_MD, "{{period}}"), 1U);
  EXPECT_EQ(count(PSYCHE_MD, "{{"), 29U) << "a placeholder nobody fills";
}

TEST(EmbeddedPrompt, HasItsSectionsInOrderEachClosed) {
  const std::vector<std::string_view> sections{"identity",   "tool_access",      "rules",    "passive_context_protocol",
                                               "input",      "first_invocation", "handling", "output_envelope",
                                               "absorption", "context_save"};
  const std::vector<std::string_view> handlers{"commune",       "echo_commune",   "schedule_pulse",
                                               "pulse_trigger", "user_directive", "self_request",
                                               "other_agents",  "init_signoff",   "git_warning"};
  std::vector<std::string> expected;
  for (const std::string_view section : sections) {
    expected.push_back("<" + std::string(section) + ">");
    if (section == "handling") {
      for (const std::string_view handler : handlers) {
        expected.push_back("<" + std::string(handler) + ">");
        expected.push_back("</" + std::string(handler) + ">");
      }
    }
    expected.push_back("</" + std::string(section) + ">");
  }

  // Tag lines of these names, wherever they stand; each alone on its line.
  const std::vector<std::string_view> lines = prompt_lines();
  std::vector<std::string> found;
  std::vector<std::size_t> found_at;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (std::find(expected.begin(), expected.end(), lines[i]) != expected.end()) {
      found.emplace_back(lines[i]);
      found_at.push_back(i);
    }
  }
  ASSERT_EQ(found, expected);

  // One empty line between top-level sections, nothing before the first or
  // after the last.
  EXPECT_EQ(lines.front(), "<identity>");
  EXPECT_EQ(lines.back(), "</context_save>");
  for (std::size_t t = 0; t + 1 < found.size(); ++t) {
    const bool closes_section = std::find(sections.begin(), sections.end(),
                                          std::string_view(found[t]).substr(2, found[t].size() - 3)) != sections.end();
    if (found[t].rfind("</", 0) == 0 && closes_section) {
      EXPECT_EQ(found_at[t + 1], found_at[t] + 2) << found[t] << " and " << found[t + 1];
      EXPECT_EQ(lines[found_at[t] + 1], "") << "after " << found[t];
    }
  }
}

TEST(EmbeddedPrompt, HasItsHeadingsInTheirSections) {
  struct Headings {
    std::string_view section;
    std::vector<std::string_view> lines;
  };
  const std::vector<Headings> table{
      {"tool_access", {"## Tool Access", "## Communication Protocol", "### Sending Messages"}},
      {"passive_context_protocol", {"## Passive Context Protocol"}},
      {"output_envelope",
       {"## Output Envelope (Phase 25 D-10 / D-11 Two-Slice Taxonomy)",
        "### Taxonomy \u2014 what goes inside each envelope", "### Rules"}},
      {"absorption", {"## Absorbing inbound two-slice envelopes (25.3-02)", "### Rules"}},
  };
  const std::vector<std::string_view> lines = prompt_lines();
  for (const Headings& row : table) {
    SCOPED_TRACE(row.section);
    const auto open = std::find(lines.begin(), lines.end(), "<" + std::string(row.section) + ">");
    const auto close = std::find(open, lines.end(), "</" + std::string(row.section) + ">");
    ASSERT_NE(close, lines.end());
    auto from = open;
    for (const std::string_view heading : row.lines) {
      from = std::find(from, close, heading);
      ASSERT_NE(from, close) << "missing or out of order: " << heading;
    }
  }
}

TEST(EmbeddedPrompt, SpellsThePhrasesItIsHeldTo) {
  for (const std::string_view phrase : {
           std::string_view("**QRD routes; you emit.**"),
           std::string_view("**Encoding assumption (25.3-03 Plan 03 LOCKED Option A \u2014 encoding contract).**"),
           std::string_view("DECODED form"),
           std::string_view("Do NOT issue Write tool calls to `projects/"),
           std::string_view("Echo commune brief \u2014 auto-fired on clear"),
           std::string_view("Echo commune brief \u2014 auto-fired on compact"),
           std::string_view("Echo commune \u2014 orphan teardown"),
           std::string_view("(none \u2014 first commune in project)"),
           std::string_view("# Psyche Context for {{self_id}}"),
           std::string_view("agents/{{self_id}}/live_context.md"),
           std::string_view("projects/<resolved_project>/{{self_id}}.md"),
       }) {
    EXPECT_TRUE(contains(PSYCHE_MD, phrase)) << "missing: " << phrase;
  }
  EXPECT_FALSE(contains(PSYCHE_MD, k_named_tag));
  EXPECT_GT(count(PSYCHE_MD, "<project-context>"), 3U);
  EXPECT_GT(count(PSYCHE_MD, "<live-context>"), 3U);
}

// ---------------------------------------------------------------------------
// The skill documents against the vell they describe
// ---------------------------------------------------------------------------

// The command words of every `vell ...` line in the documents' code blocks:
// the command, and for `live` its subcommand.
std::vector<std::vector<std::string>> documented_commands(std::string_view text) {
  std::vector<std::vector<std::string>> commands;
  std::istringstream lines{std::string(text)};
  bool in_block = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("```", 0) == 0) {
      in_block = !in_block;
      continue;
    }
    if (!in_block || line.rfind("vell ", 0) != 0) {
      continue;
    }
    std::istringstream words(line.substr(5));
    std::vector<std::string> command(1);
    words >> command[0];
    if (command[0] == "live") {
      command.emplace_back();
      words >> command[1];
    }
    commands.push_back(command);
  }
  return commands;
}

TEST(SkillDocuments, NameOnlyCommandsVellHas) {
  ScratchDir home("vell_documents_home");
  std::vector<std::vector<std::string>> commands;
  for (const char* document : {"plugin/qrd/skills/commune/commune.md", "plugin/qrd/skills/signoff/SKILL.md"}) {
    const std::optional<std::string> text = read_bytes(k_project_root / document);
    ASSERT_TRUE(text) << "cannot read " << document;
    EXPECT_TRUE(vell_test::is_valid_utf8(*text)) << document;
    EXPECT_FALSE(contains(*text, k_named_tag)) << document;
    const auto found = documented_commands(*text);
    EXPECT_FALSE(found.empty()) << document << " shows no vell command";
    commands.insert(commands.end(), found.begin(), found.end());
  }
  // A command's help names its whole path in its usage line; help asked of
  // a subcommand that does not exist is its parent's.
  for (const std::vector<std::string>& command : commands) {
    std::string path = "vell";
    for (const std::string& word : command) {
      path += ' ' + word;
    }
    vell_test::SpawnOptions options;
    options.program = VELL_EXE;
    options.args = command;
    options.args.emplace_back("--help");
    options.set_env = {{"HOME", home.path().string()}, {"QRD_HOME", (home.path() / ".qrd").string()}};
    std::string error;
    const auto run = vell_test::run_to_completion(options, std::nullopt, error);
    ASSERT_TRUE(run) << error;
    EXPECT_TRUE(run->status.success()) << path << " --help: " << run->status.describe() << '\n' << run->err;
    EXPECT_TRUE(contains(run->out, "Usage: " + path + " ")) << path << " is no command of vell:\n" << run->out;
  }
}

// ---------------------------------------------------------------------------
// The document cases against flawed documents
// ---------------------------------------------------------------------------

constexpr std::string_view k_absorption_case = "psyche_md_contains_25_3_absorption_section";
constexpr std::string_view k_write_ban_case = "psyche_md_forbids_projects_write_tool_calls";
constexpr std::string_view k_skill_case = "skill_files_have_no_project_context_name_attr";

// Every message each case can fail with: a failing row must show its own and
// none of the others.
const std::vector<std::string_view> k_absorption_messages{
    "psyche.md must have <absorption> section (25.3-02 Plan 02)",
    "psyche.md <absorption> section title missing",
    "psyche.md must teach 'QRD routes' phrasing (codex HIGH)",
    "Option A locked: no name= attr allowed in psyche.md",
    "psyche.md must reference Plan 03 encoding contract (DECODED at LLM-stdin)",
};
const std::vector<std::string_view> k_write_ban_messages{
    "psyche.md must forbid LLM Write to projects/... paths (D-E-06)",
};
const std::vector<std::string_view> k_skill_messages{
    "commune.md must exist: ",
    "signoff/SKILL.md must exist: ",
    "Option A locked: no name= attr allowed in commune.md (cycle-3 MEDIUM)",
    "Option A locked: no name= attr allowed in signoff/SKILL.md (cycle-3 MEDIUM)",
};

const std::vector<std::string_view>& messages_of(std::string_view test_case) {
  if (test_case == k_absorption_case) {
    return k_absorption_messages;
  }
  return test_case == k_write_ban_case ? k_write_ban_messages : k_skill_messages;
}

// A working directory holding look-alike documents that break every rule:
// a case that read them instead of its own would fail.
void plant_decoys(const fs::path& dir) {
  const std::string flawed = "<project-context name=\"decoy\">\n";
  write_bytes(dir / "plugin/qrd/psyche.md", "");
  write_bytes(dir / "plugin/qrd/skills/commune/commune.md", flawed);
  write_bytes(dir / "plugin/qrd/skills/signoff/SKILL.md", flawed);
}

// Runs one case of `program` from a directory full of decoys and requires it
// to pass (`message` empty) or to fail with `message`, every text of
// `details` in its report, and no other message of the case.
void expect_verdict(const std::string& program, std::string_view test_case, std::string_view message,
                    const std::vector<std::string>& details = {}) {
  SCOPED_TRACE(std::string(test_case));
  ScratchDir elsewhere("vell_documents_cwd");
  plant_decoys(elsewhere.path());
  vell_test::SpawnOptions options;
  options.program = program;
  options.working_dir = elsewhere.path().string();
  std::string error;
  const auto run = vell_selftest::run_cases(options, {test_case}, error);
  ASSERT_TRUE(run) << error;
  const std::string report = run->out + run->err;
  if (message.empty()) {
    EXPECT_TRUE(run->status.success()) << run->status.describe() << '\n' << report;
    EXPECT_TRUE(contains(run->out, vell_selftest::passed_line(test_case))) << report;
    return;
  }
  EXPECT_EQ(run->status.describe(), "exit code 1") << report;
  EXPECT_TRUE(contains(run->out, vell_selftest::failed_line(test_case))) << report;
  for (const std::string_view other : messages_of(test_case)) {
    EXPECT_EQ(contains(run->out, other), other == message)
        << (other == message ? "expected" : "unexpected") << ": " << other << "\nin:\n"
        << report;
  }
  for (const std::string& detail : details) {
    EXPECT_TRUE(contains(run->out, detail)) << "expected: " << detail << "\nin:\n" << report;
  }
}

// The prompt with one flaw, embedded into a build of its own.
struct PromptRow {
  std::string_view variant;
  std::string_view absorption_message; // "" when the case must pass
  std::string_view write_ban_message;  // likewise
};

const std::vector<PromptRow> k_prompt_rows{
    {"empty", k_absorption_messages[0], k_write_ban_messages[0]},
    {"no_absorption_tag", k_absorption_messages[0], ""},
    {"no_section_title", k_absorption_messages[1], ""},
    {"no_routing_phrase", k_absorption_messages[2], ""},
    {"named_project_tag", k_absorption_messages[3], ""},
    // "decoded" in lower case is still there and must not count.
    {"no_encoding_contract", k_absorption_messages[4], ""},
    {"decoded_only", "", ""},
    // Only the backtick before projects/ is missing.
    {"no_write_ban", "", k_write_ban_messages[0]},
    {"lf_endings", "", ""},
};

void PrintTo(const PromptRow& row, std::ostream* out) {
  *out << row.variant;
}

class PromptCases : public testing::TestWithParam<PromptRow> {};

TEST_P(PromptCases, JudgeTheEmbeddedPrompt) {
  const PromptRow& row = GetParam();
  const std::string program = std::string(PROMPT_VARIANT_DIR) + "/native_vell_prompt_" + std::string(row.variant);
  expect_verdict(program, k_absorption_case, row.absorption_message);
  expect_verdict(program, k_write_ban_case, row.write_ban_message);
}

std::string prompt_row_name(const testing::TestParamInfo<PromptRow>& row) {
  return std::string(row.param.variant);
}

INSTANTIATE_TEST_SUITE_P(Flaws, PromptCases, testing::ValuesIn(k_prompt_rows), prompt_row_name);

// What one skill document is, in the project root of native_vell_doc_root.
struct SkillFile {
  enum class Kind { absent, bytes, directory, source };
  Kind kind = Kind::source;
  std::string_view bytes;
};

const SkillFile k_absent{SkillFile::Kind::absent, ""};
const SkillFile k_directory{SkillFile::Kind::directory, ""};
const SkillFile k_source{SkillFile::Kind::source, ""};
constexpr SkillFile text(std::string_view bytes) {
  return {SkillFile::Kind::bytes, bytes};
}
const SkillFile k_named = text("Emit <project-context name=\"app\">notes</project-context>.\n");

struct SkillRow {
  std::string_view label;
  SkillFile commune;
  SkillFile signoff;
  std::string_view message; // "" when the case must pass
  // Which document the failure names, and how it failed to read.
  std::string_view failed_file;
  std::string_view reason;
  bool root_gone = false;
};

constexpr std::string_view k_commune_path = "plugin/qrd/skills/commune/commune.md";
constexpr std::string_view k_signoff_path = "plugin/qrd/skills/signoff/SKILL.md";

const std::vector<SkillRow> k_skill_rows{
    {"real_documents", k_source, k_source, "", "", ""},
    {"empty_documents", text(""), text(""), "", "", ""},
    {"bare_tags_and_name_in_a_header",
     text("<project-context>\n</project-context>\nCURRENT_PROJECT_CONTEXT (name=<X>):\n"),
     text("<project-context></project-context> and <project-context name-less>\n"), "", "", ""},
    {"commune_missing", k_absent, k_source, k_skill_messages[0], k_commune_path, "No such file or directory"},
    {"both_missing", k_absent, k_absent, k_skill_messages[0], k_commune_path, "No such file or directory"},
    {"commune_a_directory", k_directory, k_source, k_skill_messages[0], k_commune_path, "Is a directory"},
    // Both are read before either is searched.
    {"signoff_missing_after_a_named_commune", k_named, k_absent, k_skill_messages[1], k_signoff_path,
     "No such file or directory"},
    {"signoff_not_utf8", k_source, text("caf\xE9\n"), k_skill_messages[1], k_signoff_path, "is not valid UTF-8"},
    {"named_tag_in_commune", k_named, k_source, k_skill_messages[2], "", ""},
    {"named_tag_in_signoff", k_source, k_named, k_skill_messages[3], "", ""},
    {"named_tag_in_both", k_named, k_named, k_skill_messages[2], "", ""},
    // Upper case: the tag is compared byte for byte.
    {"named_tag_in_other_case", text("<Project-Context name=\"app\">\n"), k_source, "", "", ""},
    {"source_tree_gone", k_absent, k_absent, k_skill_messages[0], k_commune_path, "No such file or directory", true},
};

void PrintTo(const SkillRow& row, std::ostream* out) {
  *out << row.label;
}

void place(const SkillFile& file, std::string_view relative) {
  const fs::path target = k_doc_root / relative;
  switch (file.kind) {
  case SkillFile::Kind::absent: return;
  case SkillFile::Kind::directory: fs::create_directories(target); return;
  case SkillFile::Kind::bytes: write_bytes(target, file.bytes); return;
  case SkillFile::Kind::source: {
    const std::optional<std::string> source = read_bytes(k_project_root / relative);
    ASSERT_TRUE(source) << "cannot read " << relative << " of the source tree";
    write_bytes(target, *source);
    return;
  }
  }
}

// native_vell_doc_root reads its skill documents below DOC_ROOT, which each
// row fills afresh; CTest runs these rows one at a time.
class SkillCase : public testing::TestWithParam<SkillRow> {
protected:
  void TearDown() override { fs::remove_all(k_doc_root); }
};

TEST_P(SkillCase, JudgesTheSkillDocuments) {
  const SkillRow& row = GetParam();
  fs::remove_all(k_doc_root);
  if (!row.root_gone) {
    fs::create_directories(k_doc_root / "tests");
    ASSERT_NO_FATAL_FAILURE(place(row.commune, k_commune_path));
    ASSERT_NO_FATAL_FAILURE(place(row.signoff, k_signoff_path));
  }
  std::vector<std::string> details;
  if (!row.failed_file.empty()) {
    details.push_back("'" + (k_doc_root / row.failed_file).string() + "'");
    details.emplace_back(row.reason);
  }
  expect_verdict(NATIVE_VELL_DOC_ROOT, k_skill_case, row.message, details);
}

std::string skill_row_name(const testing::TestParamInfo<SkillRow>& row) {
  return std::string(row.param.label);
}

INSTANTIATE_TEST_SUITE_P(Documents, SkillCase, testing::ValuesIn(k_skill_rows), skill_row_name);

// The prompt cases read only the embedded copy: with the source tree gone,
// and decoys in the working directory, they still pass.
TEST(PromptCasesWithoutSourceTree, StillPass) {
  fs::remove_all(k_doc_root);
  expect_verdict(NATIVE_VELL_DOC_ROOT, k_absorption_case, "");
  expect_verdict(NATIVE_VELL_DOC_ROOT, k_write_ban_case, "");
}

} // namespace

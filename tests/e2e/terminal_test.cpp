// Output for terminals and for logs: progress figures and the pager only on
// a terminal, one finished line per member when redirected, questions shown
// even with -S, control characters of names and comments never reaching the
// terminal, and the output named only where it is not what is shown.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "e2e/craft.h"
#include "e2e/e2e.h"
#include "e2e/kvn_members.h"
#include "platform/console.h"
#include "support/kvn_builder.h"

namespace {

using e2e::RunResult;
using e2e::Sandbox;
using e2e::contains;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

int count_of(const std::string& text, const std::string& piece) {
  int n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

// Bytes a terminal would act on: controls other than line feed and tab (and
// the bell of counted errors where allowed), DEL and the C1 controls of UTF-8.
std::string controls_in(const std::string& text, bool bellAllowed) {
  std::string found;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const bool control = (c < 0x20 && c != '\n' && c != '\t' && !(bellAllowed && c == '\a')) || c == 0x7F ||
                         (c == 0xC2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80);
    if (control) found += "[" + std::to_string(c) + " at " + std::to_string(i) + "]";
  }
  return found;
}

// ----------------------------------------------------------- redirected

// Every member of a run, compressible, stored or empty, a directory or one
// split across volumes, gets exactly one line, finished, without the carriage
// returns and backspaces a terminal would redraw with.
TEST(RedirectedOutput, EachMemberLineIsWrittenOnceFinished) {
  Sandbox box;
  box.write_file("t/text.txt", e2e::prose(300000));
  box.write_file("t/noise.bin", e2e::noise(200000, 3));  // packed, then stored: it does not shrink
  box.write_file("t/empty", "");
  box.write_file("t/sub/deeper.txt", e2e::prose(5000, "deeper "));
  box.make_dir("t/none");
  RunResult r = box.run({"a", "-len", "-r", "arc", "t"});
  ASSERT_EQ(r.status, 0) << r.err;

  const std::regex line("Adding     [^\t\r\b]+\t  ( 100|\\d\\d\\.\\d)%");
  std::vector<std::string> members;
  for (const std::string& l : lines_of(r.out)) {
    if (l.rfind("Adding", 0) != 0) continue;
    EXPECT_TRUE(std::regex_match(l, line)) << l;
    members.push_back(l.substr(11, l.find('\t') - 11));
  }
  std::sort(members.begin(), members.end());
  EXPECT_EQ(members, (std::vector<std::string>{"t", "t/empty", "t/noise.bin", "t/none", "t/sub", "t/sub/deeper.txt",
                                               "t/text.txt"}));
  EXPECT_EQ(r.out.find_first_of("\r\b"), std::string::npos) << r.out;

  // Pieces across volumes, packed again smaller until they fit: one line
  // each, and the questions for the volumes on lines of their own.
  box.write_file("big", e2e::noise(120000, 9));
  RunResult v = box.run({"a", "-len", "-v50k", "vol", "big"}, "y\ny\ny\n");
  ASSERT_EQ(v.status, 0) << v.err;
  EXPECT_EQ(v.out.find_first_of("\r\b"), std::string::npos) << v.out;
  int pieces = 0;
  for (const char* volume : {"vol.kvn", "vol.001", "vol.002", "vol.003"})
    if (box.exists(volume)) pieces += int(e2e::read_kvn(box.read_file(volume)).members.size());
  int lines = 0;
  for (const std::string& l : lines_of(v.out)) {
    if (l.rfind("Adding", 0) != 0) continue;
    EXPECT_TRUE(std::regex_match(l, line)) << l;
    ++lines;
  }
  EXPECT_EQ(lines, pieces) << v.out;

  RunResult x = box.run({"x", "-len", "arc", "out/"});
  EXPECT_EQ(x.status, 0) << x.err;
  EXPECT_EQ(x.out.find_first_of("\r\b"), std::string::npos) << x.out;
}

// Redirected output is not paged: nothing waits for an answer nobody sees.
TEST(RedirectedOutput, NothingPauses) {
  Sandbox box;
  box.write_file("kvx.ini", "-len\n");
  std::string archive = kvn::global();
  for (int i = 0; i < 40; ++i) archive += kvn::member("file" + std::to_string(i), "x");
  box.write_file("arc.kvn", archive + kvn::end);
  const std::vector<std::vector<std::string>> runs = {{"l", "-a", "arc"}, {"h"}, {}};
  for (const std::vector<std::string>& args : runs) {
    RunResult r = box.run(args, "x\nx\nx\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(contains(r.err, "-more-")) << r.err;
  }
}

// ------------------------------------------------------------- terminal

// The percentages drawn on the line of the member being added, in order.
std::vector<int> figures_of(const std::string& screen, const std::string& line) {
  std::vector<int> shown;
  const size_t at = screen.find(line);
  if (at == std::string::npos) return shown;
  const std::string rest = screen.substr(at);
  const std::regex figure(" %(\\d\\d)\b\b\b\b");
  for (std::sregex_iterator it(rest.begin(), rest.end(), figure), end; it != end; ++it)
    shown.push_back(std::stoi((*it)[1]));
  return shown;
}

// Under a terminal the figure moves while a file is added. The clock that
// lets kvx redraw the figure counts whole seconds, so kvx is kept stopped
// (SIGSTOP) and let go on for moments only, each after more than a second:
// each moment of work then starts with a new figure. Stopped by default, it
// cannot finish the file while this test waits for its turn.
TEST(TerminalOutput, ProgressFigureMovesWhileAdding) {
  using Clock = std::chrono::steady_clock;
  const std::string line = "Adding     big\t  ";
  Sandbox box;
  box.write_file("kvx.ini", "-len\n");
  box.write_file("big", e2e::noise(4 << 20, 11));
  enum { WAITING, STOPPED, RUNNING, DONE } state = WAITING;
  Clock::time_point since;
  int stops = 0;
  RunResult r = box.run_on_terminal({"a", "arc", "big"}, [&](pid_t pid, const std::string& screen) {
    const auto now = Clock::now();
    if (state == WAITING && contains(screen, line)) {
      kill(pid, SIGSTOP);
      state = STOPPED;
      since = now;
    } else if (state == STOPPED && now - since > std::chrono::milliseconds(1100)) {
      kill(pid, SIGCONT);
      state = RUNNING;
      since = now;
    } else if (state == RUNNING && now - since > std::chrono::milliseconds(10)) {
      const std::vector<int> shown = figures_of(screen, line);
      if ((!shown.empty() && shown.back() != shown.front()) || ++stops > 20) {
        state = DONE;
      } else {
        kill(pid, SIGSTOP);
        state = STOPPED;
        since = now;
      }
    }
    return std::string();
  });
  ASSERT_EQ(r.status, 0) << r.out;

  const std::vector<int> shown = figures_of(r.out, line);
  ASSERT_GE(shown.size(), 2u) << r.out;
  EXPECT_LT(shown.front(), shown.back()) << r.out;
  for (size_t i = 1; i < shown.size(); ++i) EXPECT_GE(shown[i], shown[i - 1]) << r.out;
  // The result overwrites the last figure and ends the line.
  EXPECT_TRUE(std::regex_search(r.out, std::regex("\b\b\b\b( 100|\\d\\d\\.\\d)%\n"))) << r.out;
}

// The help pauses on a terminal every 23 lines: Enter shows the next page,
// "a" the rest.
TEST(TerminalOutput, HelpIsPaged) {
  Sandbox box;
  int prompts = 0;
  RunResult r = box.run_on_terminal({"h", "-len"}, [&](pid_t, const std::string& screen) {
    if (count_of(screen, "-more- ") == prompts) return std::string();
    ++prompts;
    return std::string(prompts == 1 ? "\n" : "a\n");
  });
  EXPECT_EQ(r.status, 0) << r.out;
  if (contains(r.out, "\a")) GTEST_SKIP() << "this build shows no help from its program file";
  EXPECT_EQ(prompts, 2) << r.out;
  // Each prompt is erased; what is left is the whole help.
  std::string text = r.out;
  for (size_t at; (at = text.find("-more- \r       \r")) != std::string::npos;) text.erase(at, 16);
  EXPECT_TRUE(contains(text, Sandbox::read_whole((std::string(KVX_SOURCE_DIR) + "/resources/full1.hlp").c_str())));
}

// ------------------------------------------------------------ questions

struct QuestionCase {
  const char* what;
  std::vector<std::string> args;
  const char* question;  // shown although -S silences the rest
};
void PrintTo(const QuestionCase& c, std::ostream* os) { *os << c.what; }

class QuietQuestion : public ::testing::TestWithParam<QuestionCase> {};

TEST_P(QuietQuestion, IsShownAndItsAnswerTaken) {
  const QuestionCase& c = GetParam();
  Sandbox box;
  box.write_file("kvx.ini", "-len\n");
  box.write_file("a.txt", "on disk");
  box.write_file("b.txt", "not yet in the archive");
  box.write_file("arc.kvn", kvn::global() + kvn::member("a.txt", "in the archive") + kvn::end);
  const std::string before = box.read_file("arc.kvn");
  RunResult r = box.run(c.args, "n\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, c.question)) << r.out;
  // Answered no: nothing was done, and nothing else was said.
  EXPECT_EQ(box.read_file("a.txt"), "on disk");
  EXPECT_EQ(box.read_file("arc.kvn"), before);
  EXPECT_FALSE(contains(r.out, "Extracting")) << r.out;
  EXPECT_FALSE(contains(r.out, "Create")) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuietQuestion,
    ::testing::Values(QuestionCase{"overwrite", {"e", "-S", "arc"}, "Yes/No/All/Skip all/Rename/Fresh/Update"},
                      QuestionCase{"the file on disk, before the question", {"e", "-S", "arc"}, "a.txt on disk: "},
                      QuestionCase{"confirm adding", {"a", "-S", "-qa", "arc", "b.txt"}, "add to archive b.txt: "},
                      QuestionCase{"confirm extracting", {"e", "-S", "-qx", "arc"}, "extract a.txt: "},
                      QuestionCase{"confirm deleting", {"d", "-S", "-qd", "arc", "a.txt"}, "delete a.txt: "}),
    [](const ::testing::TestParamInfo<QuestionCase>& info) {
      std::string name = info.param.what;
      for (char& ch : name) ch = isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      return name;
    });

// ------------------------------------------------------- control characters

// Names and comments an archive holds are shown with their control
// characters escaped, in listings, action lines, questions and errors alike.
TEST(ControlCharacters, NeverReachTheTerminal) {
  Sandbox box;
  box.write_file("kvx.ini", "-len\n");
  const std::vector<std::pair<std::string, std::string>> names = {
      {"esc\x1b[2Jclear", "esc\\x1b[2Jclear"}, {"bell\x07", "bell\\x07"},  {"cr\rx", "cr\\x0dx"},
      {"bs\bx", "bs\\x08x"},                   {"tab\tx", "tab\\x09x"},    {"del\x7fx", "del\\x7fx"},
      {"csi\xc2\x9b" "2J", "csi\\xc2\\x9b2J"}, {"plain-\xc3\xa9", "plain-\xc3\xa9"},
  };
  std::string archive = kvn::global(GLOBAL_WIDE_WINDOW, "comment\x1b]0;title\x07\r\nsecond line");
  for (const auto& name : names) {
    kvn::Entry e = kvn::stored(name.first, "data");
    e.flags |= ENTRY_COMMENT;
    e.comment = "note\x1b[5m";
    archive += kvn::header(e) + "data";
  }
  box.write_file("arc.kvn", archive + kvn::end);

  const std::vector<std::vector<std::string>> runs = {
      {"l", "arc"}, {"v", "arc"}, {"t", "arc"}, {"x", "arc", "out/"}, {"x", "arc", "out/"}, {"d", "arc", "nothing\x1b[H"}};
  std::string all;
  for (const std::vector<std::string>& args : runs) {
    RunResult r = box.run(args, "n\nn\nn\nn\nn\nn\nn\nn\n");
    EXPECT_EQ(controls_in(r.out, false), "") << args[0] << "\n" << r.out;
    EXPECT_EQ(controls_in(r.err, true), "") << args[0] << "\n" << r.err;
    all += r.out + r.err;
  }
  for (const auto& name : names) EXPECT_TRUE(contains(all, name.second)) << name.second;
  EXPECT_TRUE(contains(all, "note\\x1b[5m"));
  EXPECT_TRUE(contains(all, "comment\\x1b]0;title\\x07\nsecond line"));  // its line end kept
  EXPECT_TRUE(contains(all, "nothing\\x1b[H: no matching member"));
  // The files themselves carry their names as stored.
  EXPECT_EQ(box.read_file("out/esc\x1b[2Jclear"), "data");
  EXPECT_EQ(box.read_file("out/cr\rx"), "data");
}

// ------------------------------------------------------------ action lines

TEST(ActionLine, NamesTheOutputOnlyWhereItDiffersFromTheName) {
  Sandbox box;
  box.write_file("kvx.ini", "-len\n");
  box.write_file("arc.kvn", kvn::global() + kvn::member("docs/readme.txt", "text") + kvn::end);
  const struct {
    std::vector<std::string> args;
    const char* line;
  } cases[] = {
      {{"e", "arc"}, "Extracting readme.txt\t  OK"},
      {{"x", "-y", "arc"}, "Extracting docs/readme.txt\t  OK"},
      {{"x", "arc", "out/"}, "Extracting docs/readme.txt\t TO out/docs/readme.txt \tOK"},
      {{"e", "arc", "flat/"}, "Extracting readme.txt\t TO flat/readme.txt \tOK"},
  };
  for (const auto& c : cases) {
    RunResult r = box.run(c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, c.line)) << r.out;
  }
}

}  // namespace

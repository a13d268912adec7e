// Installing: "cmake --install --strip" into a fresh prefix gives a program
// that still shows its help, from any directory and after a distribution's
// strip as well, and a man page that renders without warnings.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "e2e/craft.h"
#include "e2e/e2e.h"

namespace {

using e2e::RunResult;
using e2e::Sandbox;
using e2e::contains;

bool have(const char* tool) { return system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0; }

// Runs a shell command; its status, with what it wrote on both streams in *output.
int shell(const std::string& command, std::string* output) {
  output->clear();
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) output->append(chunk, n);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

std::string resource(const char* name) { return Sandbox::read_whole((std::string(KVX_SOURCE_DIR) + "/resources/" + name).c_str()); }

bool is_file(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

TEST(Install, StrippedProgramInAFreshPrefixShowsItsHelpFromAnotherDirectory) {
  Sandbox box;
  const std::string prefix = box.path("prefix");
  std::string log;
  ASSERT_EQ(shell(quoted(KVX_CMAKE) + " --install " + quoted(KVX_BUILD_DIR) + " --prefix " + quoted(prefix) +
                      " --strip",
                  &log),
            0)
      << log;
  const std::string program = prefix + "/bin/kvx";
  ASSERT_TRUE(is_file(program)) << log;
  EXPECT_TRUE(is_file(prefix + "/share/man/man1/kvx.1")) << log;
  EXPECT_FALSE(contains(Sandbox::read_whole(program.c_str()), std::string(".symtab\0", 8)))
      << "the installed program still has its symbol table";

  // The built program tells whether this build carries its help at all.
  if (contains(box.run({}).err, "\a")) GTEST_SKIP() << "this build shows no help from its program file";

  box.make_dir("elsewhere");
  box.use_program(program);
  RunResult brief = box.run_in("elsewhere", {});
  EXPECT_EQ(brief.status, 0) << brief.err;
  EXPECT_TRUE(contains(brief.out, resource("first0.hlp"))) << brief.out << brief.err;
  RunResult full = box.run_in("elsewhere", {"h", "-len"});
  EXPECT_EQ(full.status, 0) << full.err;
  EXPECT_TRUE(contains(full.out, resource("full1.hlp"))) << full.err;

  // As a distribution strips it for its package.
  const std::string strip = *KVX_STRIP ? KVX_STRIP : "strip";
  ASSERT_EQ(shell(quoted(strip) + " --remove-section=.comment --remove-section=.note --strip-unneeded " +
                      quoted(program),
                  &log),
            0)
      << log;
  RunResult again = box.run_in("elsewhere", {"--help"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_TRUE(contains(again.out, resource("full0.hlp"))) << again.err;
}

TEST(ManPage, RendersWithoutWarnings) {
  if (!have("groff")) GTEST_SKIP() << "groff is not installed";
  const std::string page = std::string(KVX_SOURCE_DIR) + "/doc/kvx.1";
  std::string shown;
  EXPECT_EQ(shell("groff -ww -man -z " + quoted(page), &shown), 0);
  EXPECT_EQ(shown, "") << "groff warns about the man page";

  if (!have("man")) GTEST_SKIP() << "man is not installed";
  EXPECT_EQ(shell("MANWIDTH=80 man -l " + quoted(page), &shown), 0) << shown;
  for (const char* section : {"SYNOPSIS", "COMMANDS", "SWITCHES", "QUESTIONS", "EXTRACTION SAFETY", "FILES",
                              "EXIT STATUS", "EXAMPLES"})
    EXPECT_TRUE(contains(shown, std::string("\n") + section + "\n")) << section;
  EXPECT_FALSE(contains(shown, "warning")) << shown;
}

}  // namespace

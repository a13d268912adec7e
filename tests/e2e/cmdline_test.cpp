// The command line of kvx end to end: commands, switches, response and
// options files, the checks of the switches, names and exit statuses.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "e2e/e2e.h"
#include "platform/console.h"

namespace {

const char kBanner[] = "Packing program KVX 2.3 for DOS,*NIX,NT/95 ";
const char kEnglish[] = "-len\n";

// A catalogue message of a language with its '%' replaced by arg.
std::string message(int language, int number, const std::string& arg = "") {
  std::string text = catalog_text(language, number);
  size_t at = text.find('%');
  if (at != std::string::npos) text.replace(at, 1, arg);
  return text;
}

struct Case {
  const char* what;
  std::vector<std::string> args;
  int status;
  std::vector<std::string> errHas;    // texts expected on standard error
  std::vector<std::string> errLacks;  // texts that must not appear there
  std::vector<std::pair<std::string, std::string>> files;  // made before the run
  const char* ini = kEnglish;         // kvx.ini beside the program; null for none
};

const std::string kLongName(600, 'a');

std::vector<Case> cases() {
  return {
      {"an unknown command is shown, not counted", {"q", "-s", "arc"}, 0, {"Unknown command `q'"}, {"Garbage"}, {}},
      {"garbage after the command letter is shown, not counted", {"sx", "arc"}, 0,
       {"Garbage at the end of command 'sx'"}, {"Unknown command"}, {}},
      {"@list as the command is a command", {"@list", "-s", "arc"}, 0,
       {"Unknown command `@list'", "Garbage at the end of command '@list'"}, {"`Z'"}, {{"list", "-Z"}}},
      {"@list later reads the file and the files it names", {"s", "@list", "arc"}, 0, {"`Z'", "`Y'"}, {},
       {{"list", "-Z\r\n@list2"}, {"list2", "\t-Y "}}},
      {"a response file naming itself stops at a depth limit and fails the run", {"s", "@list", "arc"}, 1,
       {"list: response files nested too deeply"}, {}, {{"list", "@list"}}},
      {"NUL bytes separate words of a response file", {"s", "@list", "arc"}, 0, {"`X'", "`W'"}, {},
       {{"list", std::string("-X\0-W", 5)}}},
      {"a response file is read whole", {"s", "@list", "arc"}, 0, {"`V'"}, {},
       {{"list", std::string(100000, ' ') + "-V"}}},
      {"a missing response file fails the run", {"s", "@nothere", "arc"}, 1,
       {"Responce file nothere did not found"}, {}, {}},
      {"a response file without end is refused, not read until memory runs out", {"s", "@/dev/zero", "arc"}, 1,
       {"Responce file /dev/zero did not found: File too large"}, {}, {}},
      {"'-' alone is an unknown switch", {"s", "-", "arc"}, 0, {"Unknown command `'"}, {}, {}},
      {"'-' alone as the command is unknown", {"-", "-s", "arc"}, 0, {"Unknown command `'"}, {"Garbage"}, {}},
      {"an empty command is unknown", {"", "-s", "arc"}, 0, {"Unknown command `'"}, {}, {}},
      {"the first argument is the command even with a dash", {"-a", "arc.zip"}, 1,
       {"kvx or kvn archives only can modify"}, {"Unknown"}, {}},
      {"--v is the name -v, here the archive", {"s", "--v"}, 0, {}, {"Unknown", "help"}, {}},
      {"unknown sub-letters of -c and -j", {"s", "-cx", "-jq", "arc"}, 0, {"Unknown command `cx'", "Unknown command `jq'"},
       {}, {}},
      {"block and dir-block together", {"s", "-b", "-d", "arc"}, 1, {"Block and dir-block not allowed together"},
       {"Block mode allowed only"}, {}},
      {"block mode on a zip archive", {"s", "-b", "arc.zip"}, 1, {"Block mode allowed only for kvn archives"}, {}, {}},
      {"dir-block on a zip archive", {"s", "-d", "arc.zip"}, 1, {"Block mode allowed only for kvn archives"},
       {"dir-block not allowed"}, {}},
      {"high method with volumes", {"s", "-++", "-v", "arc"}, 1, {"Multivolume yet does not support for high method"},
       {}, {}},
      {"method five switches the high method off and refuses volumes too", {"s", "-++", "-5", "-v", "arc"}, 1,
       {"Multivolume does not support method five"}, {"high method"}, {}},
      {"modifying a zip archive", {"a", "arc.zip", "f"}, 1, {"kvx or kvn archives only can modify"}, {},
       {{"f", "data"}}},
      {"-i decides the kind before the extension", {"a", "-iarj", "arc.kvn"}, 1,
       {"kvx or kvn archives only can modify"}, {}, {}},
      {"-iexe with no command chooses the command s", {"c", "-iexe", "arc"}, 0, {}, {"Unknown", "Garbage"}, {}},
      {"adding to wildcard archive names", {"a", "*.kvn", "f"}, 1, {"Cannot modify archives with wildargs"}, {},
       {{"x.kvn", ""}, {"f", "data"}}},
      {"moving out of wildcard archive names", {"l", "-m", "*.kvn"}, 1, {"Cannot modify archives with wildargs"}, {},
       {{"x.kvn", ""}}},
      {"wildcard archive names matching nothing", {"l", "*.kvn"}, 1, {"*.kvn: archive does not found"}, {}, {}},
      {"a command that is not built, or a missing archive, fails", {"l", "arc"}, 1, {}, {}, {}},
      {"a 600-byte archive name", {"s", kLongName}, 1, {"name is too long"}, {}, {}},
      {"a 600-byte file name", {"s", "arc", kLongName}, 1, {"name is too long"}, {}, {}},
      {"a 600-byte output directory", {"x", "-o" + kLongName, "arc"}, 1, {"name is too long"}, {}, {}},
      {"a 600-byte exclusion", {"s", "-e" + kLongName, "arc"}, 1, {"name is too long"}, {}, {}},
      {"an empty archive name", {"s", ""}, 1, {"empty archive name"}, {}, {}},
      {"test without an archive shows no help", {"t"}, 0, {}, {"help"}, {}},
      {"options file words are never the command", {"s"}, 0, {}, {"Unknown", "help"}, {}, "-len q"},
      {"-len in the options file: all messages English", {"q", "-s", "arc"}, 0, {"Unknown command `q'"}, {}, {}},
      {"no options file: messages Russian", {"q", "-s", "arc"}, 0, {message(0, 9, "q")}, {"Unknown command"}, {},
       nullptr},
      {"-len on the command line applies from there on", {"s", "-Z", "-len", "-Y", "arc"}, 0,
       {message(0, 9, "Z"), "Unknown command `Y'"}, {"Unknown command `Z'"}, {}, nullptr},
      {"he selects English", {"he", "-Z", "arc"}, 0, {"Unknown command `Z'"}, {}, {}, nullptr},
  };
}

class CommandLine : public ::testing::TestWithParam<Case> {};

TEST_P(CommandLine, Runs) {
  const Case& c = GetParam();
  e2e::Sandbox box;
  if (c.ini) box.write_file("kvx.ini", c.ini);
  for (const auto& f : c.files) box.write_file(f.first, f.second);
  e2e::RunResult r = box.run(c.args);
  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  EXPECT_EQ(r.out.rfind(kBanner, 0), 0u) << r.out;
  for (const std::string& text : c.errHas) EXPECT_NE(r.err.find(text), std::string::npos) << text << "\n" << r.err;
  for (const std::string& text : c.errLacks) EXPECT_EQ(r.err.find(text), std::string::npos) << text << "\n" << r.err;
  EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
  if (c.status != 0 && c.errHas.empty()) {
    EXPECT_NE(r.out.find("Errors were detected"), std::string::npos) << r.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, CommandLine, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           std::string name = info.param.what;
                           for (char& ch : name) {
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name + "_" + std::to_string(info.index);
                         });

// Help ends with status 0 whether or not the help texts can be shown.
TEST(CommandLineHelp, NoArgumentsShowsBannerAndBriefHelp) {
  e2e::Sandbox box;
  box.write_file("kvx.ini", kEnglish);
  e2e::RunResult r = box.run({});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind(kBanner, 0), 0u) << r.out;
  EXPECT_TRUE(r.out.find("Use: kvx") != std::string::npos ||
              r.err.find("brief help is not available") != std::string::npos)
      << r.out << r.err;
}

TEST(CommandLineHelp, HelpCommandsShowFullHelp) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"h"}, {"?"}, {"h", "arc"}, {"j", "arc"}, {"=", "arc"}, {"--help"}}) {
    e2e::Sandbox box;
    box.write_file("kvx.ini", kEnglish);
    e2e::RunResult r = box.run(args);
    EXPECT_EQ(r.status, 0) << args[0];
    EXPECT_TRUE(r.out.find("COMMANDS") != std::string::npos ||
                r.err.find("help is not available") != std::string::npos)
        << r.out << r.err;
    EXPECT_EQ(r.err.find("brief help"), std::string::npos) << r.err;
  }
}

// The version is the banner line and nothing else, whatever the options files hold.
TEST(CommandLineHelp, VersionIsTheBannerLine) {
  e2e::Sandbox box;
  box.make_dir("kvx.ini");
  e2e::RunResult r = box.run({"--version"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind(kBanner, 0), 0u) << r.out;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
  EXPECT_EQ(r.err, "");
}

int count_of(const std::string& text, const std::string& piece) {
  int n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

// The user's own options file, where it is looked for: an absolute
// $XDG_CONFIG_HOME, else ~/.config. It is read after the one beside the
// program, so its switches come later.
struct UserFileCase {
  const char* what;
  const char* configHome;  // XDG_CONFIG_HOME in the sandbox; "" unset in effect; null: relative
  const char* file;        // the user's options file, relative to the sandbox
};

TEST(CommandLineOptionsFile, UserFileIsReadAfterTheProgramsOne) {
  const UserFileCase cases[] = {
      {"XDG_CONFIG_HOME", "conf", "conf/kvx/kvx.ini"},
      {"no XDG_CONFIG_HOME: HOME", "", "home/.config/kvx/kvx.ini"},
      {"a relative XDG_CONFIG_HOME is not used", nullptr, "home/.config/kvx/kvx.ini"},
  };
  for (const UserFileCase& c : cases) {
    SCOPED_TRACE(c.what);
    e2e::Sandbox box;
    box.set_env("HOME", box.path("home"));
    box.set_env("XDG_CONFIG_HOME", c.configHome == nullptr ? "conf" : *c.configHome ? box.path(c.configHome) : "");
    box.write_file("conf/.keep", "");
    box.write_file("kvx.ini", "-Z");
    box.write_file(c.file, "-len -Y");
    e2e::RunResult r = box.run({"s", "arc"});
    EXPECT_EQ(r.status, 0) << r.err;
    // -Z was reported in Russian, before -len; -Y in English after it.
    const size_t z = r.err.find(message(0, 9, "Z"));
    const size_t y = r.err.find(message(1, 9, "Y"));
    EXPECT_NE(z, std::string::npos) << r.err;
    EXPECT_NE(y, std::string::npos) << r.err;
    EXPECT_LT(z, y) << r.err;
  }
}

TEST(CommandLineOptionsFile, OneFileInBothPlacesIsReadOnce) {
  e2e::Sandbox box;
  box.write_file("kvx.ini", "-len -Z");
  box.make_dir(".config/kvx");
  ASSERT_EQ(symlink("../../kvx.ini", box.path(".config/kvx/kvx.ini").c_str()), 0);
  e2e::RunResult r = box.run({"s", "arc"});
  EXPECT_EQ(count_of(r.err, message(1, 9, "Z")), 1) << r.err;
}

TEST(CommandLineOptionsFile, UnreadableUserFileStopsTheRun) {
  e2e::Sandbox box;
  box.make_dir(".config/kvx/kvx.ini");
  e2e::RunResult r = box.run({"s", "arc"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(message(0, 12, box.path(".config/kvx/kvx.ini"))), std::string::npos) << r.err;
}

// An options file that exists but cannot be read is reported like a missing
// response file, and the run stops: its switches may be what keeps it safe.
TEST(CommandLineOptionsFile, UnreadableIsReported) {
  e2e::Sandbox box;
  box.make_dir("kvx.ini");
  e2e::RunResult r = box.run({"s", "arc"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(message(0, 12, box.path("kvx.ini"))), std::string::npos) << r.err;
}

TEST(CommandLineOptionsFile, MissingIsSilent) {
  e2e::Sandbox box;
  e2e::RunResult r = box.run({"s", "arc"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

// A refused modifying command leaves the directory as it was: no archive, no
// temporary archive.
TEST(CommandLineChecks, RefusedCommandTouchesNothing) {
  e2e::Sandbox box;
  box.write_file("kvx.ini", kEnglish);
  box.write_file("f", "data");
  e2e::RunResult r = box.run({"a", "arc.zip", "f"});
  EXPECT_EQ(r.status, 1);
  std::vector<std::string> names = box.list();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"f", "kvx.ini"}));
}

// Print writes member data to standard output: nothing else goes there.
TEST(CommandLinePrint, StandardOutputCarriesNoBanner) {
  e2e::Sandbox box;
  box.write_file("kvx.ini", kEnglish);
  e2e::RunResult r = box.run({"p", "arc"});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind(kBanner, 0), 0u) << r.err;
}

// The status of a wildcard run adds up the error counts after each archive;
// more than 255 must still read as failure.
TEST(CommandLineStatus, ManyErrorsStayAFailure) {
  e2e::Sandbox box;
  box.write_file("kvx.ini", kEnglish);
  for (int i = 0; i < 23; ++i) box.write_file("a" + std::to_string(100 + i) + ".kvn", "");
  e2e::RunResult r = box.run({"l", "*.kvn"});
  EXPECT_EQ(r.status, 255) << r.err;
}

}  // namespace

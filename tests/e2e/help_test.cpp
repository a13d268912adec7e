// Help texts read from the archive carried in kvx's own program file: the
// brief and full helps of both languages, a damaged help member, an archive
// outside the window the reader searches, and member names found by their
// name part regardless of case.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "codec/common/transfer.h"
#include "archive/kvn_format.h"
#include "archive/resources.h"
#include "driver/options.h"
#include "e2e/e2e.h"
#include "e2e/kvn_members.h"
#include "support/kvn_builder.h"
#include "platform/console.h"
#include "platform/iofile.h"

namespace {

constexpr size_t kWindowStart = 55000;   // where the help reader starts
constexpr size_t kWindowLength = 0x20000;  // how far it looks for the global header

std::string read_file(const std::string& name) {
  FILE* f = fopen(name.c_str(), "rb");
  if (!f) return "";
  std::string data;
  char chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) data.append(chunk, n);
  fclose(f);
  return data;
}

std::string resource(const char* member) {
  return read_file(std::string(KVX_FIXTURES) + "/../../resources/" + member);
}

std::string global_magic() { return std::string("\xFF") + "KVG"; }

// The members of an own-format archive without a comment that starts at
// `at`: name, data offset and packed size of each. `end` is where the archive
// ends after its two-byte terminator, npos when the walk did not reach one.
struct MemberSpan {
  std::string name;
  size_t data;
  size_t packed;
};
std::vector<MemberSpan> walk_members(const std::string& bytes, size_t at, size_t* end) {
  auto be16 = [&](size_t p) { return size_t(uint8_t(bytes[p])) << 8 | uint8_t(bytes[p + 1]); };
  auto be32 = [&](size_t p) { return be16(p) << 16 | be16(p + 2); };
  std::vector<MemberSpan> members;
  at += 6;
  while (at + 10 <= bytes.size() && bytes.compare(at, 4, "\xFF" "KVX") == 0) {
    size_t body = at + 6;
    size_t data = body + be16(at + 4) + 4;
    size_t nameEnd = bytes.find('\0', body + 8);
    if (nameEnd == std::string::npos || nameEnd + 13 > bytes.size()) break;
    std::string name = bytes.substr(body + 8, nameEnd - (body + 8));
    size_t packed = be32(nameEnd + 1 + 4);  // after the unpacked size
    if (data + packed > bytes.size()) break;
    members.push_back({name, data, packed});
    at = data + packed;
  }
  const bool terminated = at + 2 <= bytes.size() && bytes.compare(at, 2, std::string(2, '\0')) == 0;
  *end = terminated ? at + 2 : std::string::npos;
  return members;
}

// The built program and where its help archive lies in it (npos: it carries
// none, as in builds too large for the window). The archive sits inside the
// program's image, so a changed program keeps every other byte in place.
struct Program {
  std::string bytes;
  size_t archiveAt = std::string::npos;
  size_t archiveEnd = std::string::npos;

  Program() : bytes(read_file(KVX_BINARY)) {
    for (size_t at = bytes.find(global_magic(), kWindowStart); at < kWindowStart + kWindowLength;
         at = bytes.find(global_magic(), at + 1)) {
      size_t end = std::string::npos;
      walk_members(bytes, at, &end);
      if (end != std::string::npos) {
        archiveAt = at;
        archiveEnd = end;
        break;
      }
    }
  }
  bool carries_help() const { return archiveAt != std::string::npos; }
  std::string archive() const { return bytes.substr(archiveAt, archiveEnd - archiveAt); }
  // The program with other bytes, at most as many, where its help archive was
  // (the rest of that room zero).
  std::string with_archive(const std::string& replacement) const {
    EXPECT_LE(replacement.size(), archiveEnd - archiveAt);
    std::string changed = bytes;
    changed.replace(archiveAt, replacement.size(), replacement);
    std::fill(changed.begin() + long(archiveAt + replacement.size()), changed.begin() + long(archiveEnd), '\0');
    return changed;
  }
};

#define REQUIRE_HELP_ARCHIVE(program)                                                      \
  if (!(program).carries_help())                                                           \
  GTEST_SKIP() << "this build carries no help archive (the program is too large for it)"

// An own-format archive of stored members.
// With damaged set, every member's stored data check is off by one bit.
std::string stored_archive(const std::vector<std::pair<std::string, std::string>>& members,
                           bool damaged = false) {
  std::string out = kvn::global();
  for (const auto& member : members) {
    kvn::Entry entry = kvn::stored(member.first, member.second);
    entry.crc ^= damaged ? 1u : 0u;
    out += kvn::header(entry) + member.second;
  }
  return out + kvn::end;
}

// A catalogue message of a language.
std::string message(int language, int number) { return catalog_text(language, number); }

// The reader takes the first global magic from byte 55000 on: it must be the
// help archive's, and the members the help asks for must all be there.
TEST(HelpFromProgram, HelpArchiveIsTheFirstMagicInTheWindow) {
  Program program;
  REQUIRE_HELP_ARCHIVE(program);
  EXPECT_EQ(program.bytes.find(global_magic()), program.archiveAt)
      << "the program holds the archive magic before its help archive";
  EXPECT_EQ(program.archive().compare(4, 2, std::string("\x00\x80", 2)), 0);
  size_t end = 0;
  std::vector<std::string> names;
  for (const MemberSpan& m : walk_members(program.archive(), 0, &end)) names.push_back(m.name);
  EXPECT_EQ(names, (std::vector<std::string>{"kvx.ini", "first0.hlp", "first1.hlp", "first9.hlp",
                                              "full0.hlp", "full1.hlp"}));
  // Its members keep their fixed bytes: host 5 and attribute 0, no Unix block.
  for (const e2e::KvnMember& m : e2e::read_kvn(program.archive()).members) {
    EXPECT_EQ(m.bytes.substr(8, 2), std::string("\x05\x00", 2)) << m.name;
    EXPECT_EQ(m.flags & 0x0080, 0) << m.name;
  }
}

struct HelpCase {
  const char* what;
  std::vector<std::string> args;
  const char* ini;       // kvx.ini beside the program, or null
  const char* expected;  // resource member shown, or null for nothing
};
void PrintTo(const HelpCase& c, std::ostream* os) { *os << c.what; }

class HelpFromProgram : public ::testing::TestWithParam<HelpCase> {};

TEST_P(HelpFromProgram, ShowsTheMemberOfItsLanguage) {
  const HelpCase& c = GetParam();
  Program program;
  if (c.expected) REQUIRE_HELP_ARCHIVE(program);
  e2e::Sandbox box;
  if (c.ini) box.write_file("kvx.ini", c.ini);
  e2e::RunResult r = box.run(c.args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("\a"), std::string::npos) << r.err;  // no counted error
  if (c.expected) {
    const std::string text = resource(c.expected);
    ASSERT_FALSE(text.empty()) << c.expected;
    EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
  } else {
    for (const char* member : {"first0.hlp", "first1.hlp", "full0.hlp", "full1.hlp"})
      EXPECT_EQ(r.out.find(resource(member).substr(0, 20)), std::string::npos) << member;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HelpFromProgram,
    ::testing::Values(HelpCase{"no arguments: Russian brief help", {}, nullptr, "first0.hlp"},
                      HelpCase{"no arguments, -len in kvx.ini: English brief help", {}, "-len\n", "first1.hlp"},
                      HelpCase{"a command but no archive: brief help", {"l"}, "-len\n", "first1.hlp"},
                      HelpCase{"h: full help", {"h"}, nullptr, "full0.hlp"},
                      HelpCase{"he: English full help", {"he"}, nullptr, "full1.hlp"},
                      HelpCase{"hr overrides -len of kvx.ini", {"hr"}, "-len\n", "full0.hlp"},
                      HelpCase{"h with -len in kvx.ini", {"h"}, "-len\n", "full1.hlp"},
                      HelpCase{"? with an archive name: full help", {"?e", "arc"}, nullptr, "full1.hlp"},
                      HelpCase{"t without an archive shows nothing", {"t"}, nullptr, nullptr},
                      HelpCase{"p without an archive shows nothing", {"p"}, nullptr, nullptr}),
    [](const ::testing::TestParamInfo<HelpCase>& info) {
      std::string name;
      for (const char* p = info.param.what; *p; ++p) name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      return name;
    });

TEST(HelpFromProgram, DamagedMemberIsReported) {
  Program program;
  REQUIRE_HELP_ARCHIVE(program);
  std::string archive = program.archive();
  size_t end = 0;
  size_t data = 0, packed = 0;
  for (const MemberSpan& m : walk_members(archive, 0, &end))
    if (m.name == "first1.hlp") data = m.data, packed = m.packed;
  ASSERT_GT(packed, 16u);
  for (size_t i = data + packed / 2; i < data + packed / 2 + 8; ++i) archive[i] = static_cast<char>(archive[i] ^ 0x5A);

  e2e::Sandbox box;
  box.write_file("kvx", program.with_archive(archive));
  box.write_file("kvx.ini", "-len\n");
  e2e::RunResult r = box.run({});
  EXPECT_EQ(r.status, 0) << r.err;  // help ends with 0 even when it fails
  EXPECT_NE(r.err.find("integrity check corrupt: first1.hlp"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(message(1, 84)), std::string::npos) << r.err;

  // The other members of the same archive are still intact.
  r = box.run({"he"});
  EXPECT_NE(r.out.find(resource("full1.hlp")), std::string::npos);
  EXPECT_EQ(r.err.find("integrity"), std::string::npos) << r.err;
}

TEST(HelpFromProgram, ArchiveBeyondTheWindowIsNotFound) {
  Program program;
  REQUIRE_HELP_ARCHIVE(program);
  // The archive leaves its place (its magic broken) for the end of a file
  // padded past the window; the program still runs.
  std::string moved = program.bytes;
  moved[program.archiveAt] = 0;
  if (moved.size() < kWindowStart + kWindowLength + 64) moved.resize(kWindowStart + kWindowLength + 64, '\0');

  e2e::Sandbox box;
  box.write_file("kvx", moved + program.archive());
  box.write_file("kvx.ini", "-len\n");
  e2e::RunResult r = box.run({});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("is not archive or bad format"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(message(1, 84)), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find(resource("first1.hlp")), std::string::npos);

  r = box.run({"h"});
  EXPECT_NE(r.err.find(message(1, 85)), std::string::npos) << r.err;
}

TEST(HelpFromProgram, MembersAreFoundByNamePartRegardlessOfCase) {
  Program program;
  REQUIRE_HELP_ARCHIVE(program);
  e2e::Sandbox box;
  box.write_file("kvx", program.with_archive(stored_archive({{"kvx.ini", "-lru\r\n"},
                                                             {"docs/FIRST1.HLP", "brief from a directory\n"},
                                                             {"Full1.Hlp", "full in mixed case\n"}})));
  box.write_file("kvx.ini", "-len\n");

  e2e::RunResult r = box.run({});
  EXPECT_NE(r.out.find("brief from a directory\n"), std::string::npos) << r.out << r.err;
  r = box.run({"h"});
  EXPECT_NE(r.out.find("full in mixed case\n"), std::string::npos) << r.out << r.err;

  // The Russian members are missing from this archive.
  r = box.run({"hr"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find(message(0, 85)), std::string::npos) << r.err;
}

// ---- the reader in this process, on files laid out by the test ----
// These run in every build, also where the program file carries no archive.

struct Shown {
  int result;
  std::string out;  // what reached standard output
  std::string err;  // what reached the error stream
};

std::string read_back(FILE* f) {
  std::string text;
  rewind(f);
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
  fclose(f);
  return text;
}

// Runs show_resource with standard output and the error stream caught.
Shown show_caught(const std::string& program, const char* member) {
  console_init();
  select_catalog();
  set_error_count(0);
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  fflush(stdout);
  int savedOut = dup(1);
  dup2(fileno(out), 1);
  console_use_streams(nullptr, err, nullptr);
  Shown shown{show_resource(program.c_str(), member), "", ""};
  if (ioStandardOutput) io_flush(ioStandardOutput);
  fflush(stdout);
  dup2(savedOut, 1);
  close(savedOut);
  console_init();
  shown.out = read_back(out);
  shown.err = read_back(err);
  return shown;
}

const std::vector<std::pair<std::string, std::string>> kMembers = {
    {"kvx.ini", "-lru\r\n"}, {"first0.hlp", "brief 0\n"}, {"docs/FIRST1.HLP", "brief 1\n"}, {"Full1.Hlp", "full 1\n"}};

struct ReaderCase {
  const char* what;
  size_t at;            // where the archive starts in the file
  bool damaged;         // the members' data checks are wrong
  const char* member;   // the member asked for
  int result;           // show_resource's answer
  const char* out;      // expected standard output
  const char* errHas;   // a text expected on the error stream ("" for none)
};
void PrintTo(const ReaderCase& c, std::ostream* os) { *os << c.what; }

class ResourceReader : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(ResourceReader, FindsChecksAndShowsTheMember) {
  const ReaderCase& c = GetParam();
  e2e::Sandbox box;
  box.write_file("prog", std::string(c.at, '\0') + stored_archive(kMembers, c.damaged) + std::string(300, '\0'));
  options = Options();
  Shown shown = show_caught(box.path("prog"), c.member);
  EXPECT_EQ(shown.result, c.result) << shown.err;
  EXPECT_EQ(shown.out, c.out);
  if (*c.errHas) {
    EXPECT_NE(shown.err.find(c.errHas), std::string::npos) << shown.err;
  } else {
    EXPECT_EQ(shown.err, "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResourceReader,
    ::testing::Values(
        ReaderCase{"at the window start", kWindowStart, false, "first0.hlp", 0, "brief 0\n", ""},
        ReaderCase{"at the last byte of the window", kWindowStart + kWindowLength - 1, false, "first0.hlp", 0,
                   "brief 0\n", ""},
        ReaderCase{"past the window", kWindowStart + kWindowLength, false, "first0.hlp", 1, "",
                   "prog: "},
        ReaderCase{"before the window", 1000, false, "first0.hlp", 1, "", "prog: "},
        ReaderCase{"name part, either case", kWindowStart + 10, false, "first1.hlp", 0, "brief 1\n", ""},
        ReaderCase{"asked in upper case", kWindowStart + 10, false, "FULL1.HLP", 0, "full 1\n", ""},
        ReaderCase{"missing member", kWindowStart, false, "full0.hlp", 1, "", ""},
        ReaderCase{"damaged member", kWindowStart, true, "first0.hlp", 1, "brief 0\n",
                   "integrity check corrupt: first0.hlp"}),
    [](const ::testing::TestParamInfo<ReaderCase>& info) {
      std::string name;
      for (const char* p = info.param.what; *p; ++p) name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      return name;
    });

TEST(ResourceReaderState, TestAndPrintWithoutAnArchiveShowNothing) {
  for (const char* command : {"t", "p"}) {
    e2e::Sandbox box;
    e2e::RunResult r = box.run({command});
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_EQ(r.out.find("help"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("help"), std::string::npos) << r.err;
  }
}

TEST(ResourceReaderState, MissingProgramFileIsReportedAndHelpIsNotAvailable) {
  e2e::Sandbox box;
  options = Options();
  Shown shown = show_caught(box.path("nothere"), "first0.hlp");
  EXPECT_EQ(shown.result, 1);
  EXPECT_NE(shown.err.find("nothere"), std::string::npos) << shown.err;
}

}  // namespace

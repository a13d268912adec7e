// Listing: the exact output of "l", "v", "(" and "o" over small hand-built
// archives (tags, comments, hosts, flags, volumes, totals, selections), and
// the number and date formatters the listing shares with extraction.
#include <gtest/gtest.h>

#include <sys/time.h>

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "codec/common/transfer.h"
#include "driver/formatting.h"
#include "driver/list.h"
#include "driver/options.h"
#include "e2e/e2e.h"
#include "support/kvn_builder.h"
#include "platform/console.h"

namespace {

// ---- building archives byte by byte ----

uint32_t dos_time(int year, int month, int day, int hour, int minute) {
  return static_cast<uint32_t>(year - 1980) << 25 | month << 21 | day << 16 | hour << 11 | minute << 5;
}

// One member as an archive holds it; its data is packed zero bytes (listing
// never decodes).
using Member = kvn::Entry;

std::string entry_bytes(const Member& m) { return kvn::header(m) + std::string(m.packed, '\0'); }

std::string archive_bytes(uint16_t globalFlags, const std::vector<Member>& members,
                          const std::string& comment = "") {
  std::string out = kvn::global(globalFlags, comment);
  for (const Member& m : members) out += entry_bytes(m);
  return out + kvn::end;
}

// The archive files' own time, shown in the totals line: 15 June 2003, 12:30 UTC.
constexpr time_t kArchiveTime = 1055680200;

void write_archive(const e2e::Sandbox& box, const std::string& name, const std::string& bytes) {
  box.write_file(name, bytes);
  struct timeval times[2] = {{kArchiveTime, 0}, {kArchiveTime, 0}};
  utimes(box.path(name).c_str(), times);
}

Member make(const std::string& name, uint16_t flags, uint8_t host, uint32_t time, uint32_t unpacked,
            uint32_t packed, uint32_t crc) {
  Member m;
  m.name = name;
  m.flags = flags;
  m.host = host;
  m.time = time;
  m.unpacked = unpacked;
  m.packed = packed;
  m.crc = crc;
  return m;
}

// three.kvn: a compressed member, a stored text member from a DOS host with a
// comment, and an empty method-five member without a date.
std::string three_members() {
  Member b = make("docs/b.txt", ENTRY_STORED | ENTRY_TEXT | ENTRY_COMMENT, 0, 0x224FAB2F, 10, 10, 0xDEADBEEF);
  b.comment = "first version";
  return archive_bytes(GLOBAL_WIDE_WINDOW, {make("a.txt", 0, 5, dos_time(2003, 1, 1, 9, 5), 1000, 400, 0x1234ABCD),
                                            b, make("c.bin", ENTRY_FIVE, 3, 0, 0, 0, 0)});
}

// unix.kvn: block mode, members from Unix hosts with their access rights, a
// link, a directory and a date after 2009.
std::string unix_members() {
  Member run = make("run.sh", ENTRY_EXTENSION | ENTRY_G, 1, dos_time(2015, 3, 10, 14, 20), 200, 120, 0xCAFE);
  run.unixMode = 0100755;
  Member dir = make("lib", ENTRY_EXTENSION | ENTRY_DIRECTORY | ENTRY_STORED, 4, dos_time(1999, 12, 31, 23, 59), 0,
                    0, 0);
  dir.unixMode = 040750;
  Member link = make("latest", ENTRY_EXTENSION | ENTRY_STORED, 1, dos_time(2001, 7, 4, 0, 0), 0, 0, 0);
  link.unixMode = 0120777;
  link.linkTarget = "run.sh";
  Member key = make("secret", ENTRY_PUBLIC_KEY | ENTRY_CONV_KEY, 2, dos_time(2009, 12, 31, 23, 58), 50, 60, 1);
  return archive_bytes(GLOBAL_BLOCKED | GLOBAL_WIDE_WINDOW, {run, dir, link, key});
}

// mv.kvn and mv.001: a file split across two volumes.
std::string volume(int index) {
  Member piece = make("big.dat", ENTRY_STORED | ENTRY_PIECE, 5, dos_time(2004, 2, 29, 8, 0), index ? 3000 : 5000,
                      index ? 3000 : 5000, 0x77);
  piece.pieceOffset = index ? 5000 : 0;
  return archive_bytes(GLOBAL_MULTIVOLUME | GLOBAL_WIDE_WINDOW, {piece}, index ? "" : "Volume set");
}

// ---- golden listings ----

// Everything kvx printed after its banner line.
std::string after_banner(const std::string& out) {
  size_t end = out.find('\n');
  return end == std::string::npos ? std::string() : out.substr(end + 1);
}

const char* const kShortHeader =
    "    SIZE PACKED   DATE      TIME  FLAGS   NAME & COMMENT\n"
    "-------- -------- --------- ----- -----------------\n";
const char* const kShortRule = "-------- -------- --------- ----- -----------------\n";
const char* const kVerboseHeader =
    "OS  access     SIZE   PACKED   RATIO  CRC32    DATE      TIME  FLAGS\n"
    "- ---------- -------- -------- ------ -------- --------- ----- -------\n";
const char* const kVerboseRule = "- ---------- -------- -------- ------ -------- --------- ----- -------\n";

const std::string kThreeShort = std::string(
    "Listing of archive three.kvn  [64K buffer]\n") + kShortHeader +
    "    1000      400 01-Jan-03 09:05 7--B--- a.txt\n"
    "      10       10 15-Feb-97 21:25 C--T--- docs/b.txt  first version\n"
    "       0        0               H--B--- c.bin\n" + kShortRule +
    "    1010      410 15-Jun-03 12:30 total     3\n";

struct ListingCase {
  const char* what;
  std::vector<std::string> args;
  std::string input;
  std::string expected;   // standard output after the banner
  std::string err = "";   // standard error
  int status = 0;
};

void PrintTo(const ListingCase& c, std::ostream* os) { *os << c.what; }

class Listing : public ::testing::TestWithParam<ListingCase> {};

TEST_P(Listing, PrintsExactly) {
  const ListingCase& c = GetParam();
  e2e::Sandbox box;
  box.set_env("TZ", "UTC");
  write_archive(box, "three.kvn", three_members());
  write_archive(box, "unix.kvn", unix_members());
  write_archive(box, "mv.kvn", volume(0));
  write_archive(box, "mv.001", volume(1));
  write_archive(box, "last.998", volume(1));
  e2e::RunResult r = box.run(c.args, c.input);
  EXPECT_EQ(after_banner(r.out), c.expected) << c.what;
  EXPECT_EQ(r.err, c.err) << c.what;
  EXPECT_EQ(r.status, c.status) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Golden, Listing,
    ::testing::Values(
        ListingCase{"short layout", {"l", "three", "-len"}, "", kThreeShort},
        ListingCase{"( prints as l", {"(", "three", "-len"}, "", kThreeShort},
        ListingCase{"no command lists", {"c", "three", "-len"}, "", kThreeShort},
        ListingCase{"verbose layout",
                    {"v", "three", "-len"},
                    "",
                    std::string("Listing of archive three.kvn  [64K buffer]\n") + kVerboseHeader +
                        "WIN32            1000      400 60.0%  1234ABCD 01-Jan-03 09:05 7--B--- \n"
                        "a.txt\n"
                        "DOS                10       10 00.0%  DEADBEEF 15-Feb-97 21:25 C--T--- \n"
                        "docs/b.txt  first version\n"
                        "?                   0        0 00.0%  00000000               H--B--- \n"
                        "c.bin\n" +
                        kVerboseRule +
                        "                 1010      410 59.4%           15-Jun-03 12:30 total     3\n"},
        ListingCase{"selection and no comments",
                    {"l", "-cs", "three", "*.txt", "-len"},
                    "",
                    std::string("Listing of archive three.kvn  [64K buffer]\n") + kShortHeader +
                        "    1000      400 01-Jan-03 09:05 7--B--- a.txt\n"
                        "      10       10 15-Feb-97 21:25 C--T--- docs/b.txt\n" +
                        kShortRule + "    1010      410 15-Jun-03 12:30 total     2\n"},
        ListingCase{"a name that selects nothing is an error",
                    {"l", "three", "none.xyz", "-len"},
                    "",
                    "Listing of archive three.kvn  [64K buffer]\n\nErrors were detected\n",
                    "\anone.xyz: no matching member\n",
                    1},
        ListingCase{"unix hosts, tags, flags and late years",
                    {"v", "unix", "-len"},
                    "",
                    std::string("Listing of archive unix.kvn [blocked]  [64K buffer]\n") + kVerboseHeader +
                        "U -rwxr-xr-x      200      120 40.0%  0000CAFE 10-Mar-15 14:20 7G-B--E \n"
                        "run.sh\n"
                        "Q drwxr-x---        0        0 00.0%  00000000 31-Dec-99 23:59 C--B-DE \n"
                        "lib\n"
                        "U crwxrwxrwx        0        0 00.0%  00000000 04-Jul-01 00:00 C--B--E \n"
                        "latest --> run.sh\n"
                        "?                  50       60 00.0%  00000001 31-Dec-09 23:58 7--BP-- \n"
                        "secret\n" +
                        kVerboseRule +
                        "                  250      180 28.0%           15-Jun-03 12:30 total     4\n"},
        ListingCase{"volumes, until the next one is refused",
                    {"l", "mv", "-len"},
                    "",
                    std::string("Listing of archive mv.kvn [multivolume]  [64K buffer] -\nVolume set\n") +
                        kShortHeader +
                        "    5000     5000 29-Feb-04 08:00 C-BB--- big.dat\n"
                        "Listing of archive mv.001 [multivolume]  [64K buffer]\n"
                        "    3000     3000 29-Feb-04 08:00 C-BB--- big.dat [break at 5000]\n"
                        "Next volume is mv.002: \n" +
                        kShortRule + "    8000     8000 15-Jun-03 12:30 total     2\nErrors were detected\n",
                    "\amv.002: volume not found\n",
                    1},
        ListingCase{"a missing volume is asked for again on y",
                    {"l", "mv.001", "-len"},
                    "y\nY\nn\n",
                    std::string("Listing of archive mv.001 [multivolume]  [64K buffer]\n") + kShortHeader +
                        "    3000     3000 29-Feb-04 08:00 C-BB--- big.dat [break at 5000]\n"
                        "Next volume is mv.002: \nNext volume is mv.002: \nNext volume is mv.002: \n" +
                        kShortRule + "    3000     3000 15-Jun-03 12:30 total     1\nErrors were detected\n",
                    "\amv.002: volume not found\n",
                    1},
        ListingCase{"a last volume without a next name ends at once",
                    {"l", "last.998", "-len"},
                    "",
                    std::string("Listing of archive last.998 [multivolume]  [64K buffer]\n") + kShortHeader +
                        "    3000     3000 29-Feb-04 08:00 C-BB--- big.dat [break at 5000]\n" + kShortRule +
                        "    3000     3000 15-Jun-03 12:30 total     1\n"},
        ListingCase{"o names the archive and lists no headers or totals",
                    {"o", "three", "*.txt", "-len"},
                    "",
                    "archive three.kvn\n"
                    "    1000      400 01-Jan-03 09:05 7--B--- a.txt\n"
                    "      10       10 15-Feb-97 21:25 C--T--- docs/b.txt  first version\n"},
        ListingCase{"o over several archives names only those with matches",
                    {"o", "[tu]*.kvn", "run.sh", "-len"},
                    "",
                    "Parsing [tu]*.kvn\n"
                    "archive unix.kvn\n"
                    "     200      120 10-Mar-15 14:20 7G-B--E run.sh\n"},
        ListingCase{"a multivolume archive does not make the next archive ask for volumes",
                    {"l", "[mt]*.kvn", "a.txt", "-len"},
                    "",
                    std::string("Parsing [mt]*.kvn\n"
                                "Listing of archive mv.kvn [multivolume]  [64K buffer] -\nVolume set\n"
                                "Listing of archive mv.001 [multivolume]  [64K buffer]\n"
                                "Next volume is mv.002: \n"
                                "\n"
                                "Listing of archive three.kvn  [64K buffer]\n") +
                        kShortHeader + "    1000      400 01-Jan-03 09:05 7--B--- a.txt\n" + kShortRule +
                        "    1000      400 15-Jun-03 12:30 total     1\n",
                    "\amv.002: volume not found\n",
                    2},
        ListingCase{"Russian catalogue and month names",
                    {"l", "three", "a.txt"},
                    "",
                    "Содержимое архива three.kvn  [64K buffer]\n"
                    "  РАЗМЕР СЖАТЫЙ   ДАТА      ВРЕМЯ ФЛАГИ   ИМЯ И КОММЕНТАРИЙ\n"
                    "-------- -------- --------- ----- -----------------\n"
                    "    1000      400 01-янв-03 09:05 7--B--- a.txt\n"
                    "-------- -------- --------- ----- -----------------\n"
                    "    1000      400 15-июн-03 12:30 всего     1\n"}));

// ---- comments and confirmations, seen through the listing ----

struct AnsweredAddCase {
  const char* what;
  std::vector<std::string> addArgs;   // after "a", before the archive name "arc"
  std::string input;                  // typed answers
  std::string asked;                  // must appear in what the add command printed
  std::string listed;                 // the listing of arc after its banner
};

void PrintTo(const AnsweredAddCase& c, std::ostream* os) { *os << c.what; }

class AnsweredAdd : public ::testing::TestWithParam<AnsweredAddCase> {};

TEST_P(AnsweredAdd, ListsWhatTheAnswersChose) {
  const AnsweredAddCase& c = GetParam();
  e2e::Sandbox box;
  box.set_env("TZ", "UTC");
  // Files of three bytes are always stored, whatever the compressor.
  for (const char* name : {"a.txt", "c.bin", "docs/readme.txt"}) {
    box.write_file(name, "xyz");
    struct timeval times[2] = {{kArchiveTime, 0}, {kArchiveTime, 0}};
    utimes(box.path(name).c_str(), times);
  }
  box.write_file("cm.txt", "docs/readme.txt:first version\n*.bin:binary\nc.bin:never\n");
  std::vector<std::string> args{"a"};
  args.insert(args.end(), c.addArgs.begin(), c.addArgs.end());
  args.insert(args.end(), {"arc", "a.txt", "c.bin", "docs/readme.txt", "-len"});
  e2e::RunResult added = box.run(args, c.input);
  EXPECT_EQ(added.status, 0) << c.what << "\n" << added.err;
  EXPECT_NE(added.out.find(c.asked), std::string::npos) << c.what << "\n" << added.out;
  e2e::RunResult listed = box.run({"l", "arc", "-len"});
  EXPECT_EQ(after_banner(listed.out), c.listed) << c.what;
}

std::string listing_of(const std::string& header, const std::string& lines, int count) {
  return "Listing of archive arc.kvn  [64K buffer]" + header + "\n" + kShortHeader + lines + kShortRule + "       " +
         std::to_string(3 * count) + "        " + std::to_string(3 * count) + " 15-Jun-03 12:30 total     " +
         std::to_string(count) + "\n";
}

const char* const kA = "       3        3 15-Jun-03 12:30 C--B--E a.txt";
const char* const kC = "       3        3 15-Jun-03 12:30 C--B--E c.bin";
const char* const kR = "       3        3 15-Jun-03 12:30 C--B--E readme.txt";
const char* const kDocsR = "       3        3 15-Jun-03 12:30 C--B--E docs/readme.txt";

INSTANTIATE_TEST_SUITE_P(
    Golden, AnsweredAdd,
    ::testing::Values(
        AnsweredAddCase{"comment file with paths", {"-r", "-c@cm.txt"}, "", "Adding",
                        listing_of("", std::string(kA) + "\n" + kC + "  binary\n" + kDocsR + "  first version\n", 3)},
        AnsweredAddCase{"comment file matches name parts without paths", {"-c@cm.txt"}, "", "Adding",
                        listing_of("", std::string(kA) + "\n" + kC + "  binary\n" + kR + "  first version\n", 3)},
        AnsweredAddCase{"typed comments, an empty one for none",
                        {"-cl"},
                        "note for a\n\nnote for readme\n",
                        "Commenting a.txt\t: enter comment and press ENTER:\n",
                        listing_of("", std::string(kA) + "  note for a\n" + kC + "\n" + kR + "  note for readme\n", 3)},
        AnsweredAddCase{"typed archive comment",
                        {"-cg"},
                        "Line one\nLine two\n\n",
                        "Enter a comment. First empty string for end\n",
                        listing_of(" -\nLine one\nLine two\n", std::string(kA) + "\n" + kC + "\n" + kR + "\n", 3)},
        AnsweredAddCase{"confirmed one by one", {"-qa"}, "n\ny\n", "add to archive a.txt: \nadd to archive c.bin: \n",
                        listing_of("", std::string(kC) + "\n", 1)},   // end of input refuses the third
        AnsweredAddCase{"all after the first question",
                        {"-q"},
                        "A\nn\nn\n",
                        "add to archive a.txt: \n",
                        listing_of("", std::string(kA) + "\n" + kC + "\n" + kR + "\n", 3)},
        AnsweredAddCase{"-y answers every confirmation", {"-q", "-y"}, "n\nn\nn\n", "Adding",
                        listing_of("", std::string(kA) + "\n" + kC + "\n" + kR + "\n", 3)},
        AnsweredAddCase{"-qx asks nothing when adding", {"-qx"}, "n\nn\nn\n", "Adding",
                        listing_of("", std::string(kA) + "\n" + kC + "\n" + kR + "\n", 3)}));

TEST(ListingErrors, MissingArchiveIsACountedError) {
  e2e::Sandbox box;
  e2e::RunResult r = box.run({"l", "nothere", "-len"});
  EXPECT_EQ(after_banner(r.out), "Errors were detected\n");
  EXPECT_EQ(r.err, "\anothere.kvn: archive does not found\n");
  EXPECT_EQ(r.status, 1);
}

// ---- the formatters, called directly ----

class Formatters : public ::testing::Test {
 protected:
  void SetUp() override {
    platformSettings.language = 1;
    select_catalog();
    out_ = tmpfile();
    console_use_streams(out_, nullptr, nullptr);
  }
  void TearDown() override {
    console_use_streams(stdout, nullptr, nullptr);
    fclose(out_);
  }
  std::string take() {
    fflush(out_);
    rewind(out_);
    std::string text;
    int c;
    while ((c = fgetc(out_)) != EOF) text += static_cast<char>(c);
    rewind(out_);
    if (ftruncate(fileno(out_), 0) != 0) ADD_FAILURE();
    return text;
  }
  FILE* out_ = nullptr;
};

TEST_F(Formatters, NumbersAreRightAlignedWithoutCutting) {
  const struct {
    uint64_t value;
    int width;
    char fill;
    const char* expected;
  } cases[] = {
      {42, 8, ' ', "      42"}, {42, 5, '0', "00042"},       {123456789, 8, ' ', "123456789"},
      {5000, -1, ' ', "5000"},  {0, 0, ' ', "0"},            {4294967295u, 8, ' ', "4294967295"},
      {6000000000ull, 8, ' ', "6000000000"},
  };
  for (const auto& c : cases) {
    print_number(c.value, c.width, c.fill);
    EXPECT_EQ(take(), c.expected) << c.value << " width " << c.width;
  }
}

TEST_F(Formatters, DosDates) {
  const struct {
    uint32_t time;
    const char* expected;
  } cases[] = {
      {0, "              "},
      {dos_time(2003, 1, 1, 9, 5), " 01-Jan-03 09:05"},
      {dos_time(1997, 12, 9, 0, 0), " 09-Dec-97 00:00"},
      {dos_time(1980, 6, 1, 23, 59) | 31, " 01-Jun-80 23:59"},   // seconds are not shown
      {0x3bffffff, " 31-\?\?\?-09 31:63"},
      {0x3c000000, " 00-\?\?\?-10 00:00"},
      {dos_time(2026, 12, 9, 23, 53), " 09-Dec-26 23:53"},
      {dos_time(2099, 7, 1, 8, 0), " 01-Jul-99 08:00"},
      {dos_time(2100, 2, 28, 8, 0), " 28-Feb-00 08:00"},
      {dos_time(2107, 12, 31, 23, 59), " 31-Dec-07 23:59"},       // the last year the field holds
      {dos_time(2000, 0, 5, 1, 2), " 05-\?\?\?-00 01:02"},
      {dos_time(2000, 13, 5, 1, 2), " 05-\?\?\?-00 01:02"},
  };
  for (const auto& c : cases) {
    print_dos_date(c.time);
    EXPECT_EQ(take(), c.expected) << std::hex << c.time;
  }
}

TEST_F(Formatters, SizeAndDateLine) {
  print_size_and_date(" on disk: ", dos_time(1997, 2, 15, 21, 25), 1234);
  EXPECT_EQ(take(), " on disk:  size:     1234 date:  15-Feb-97 21:25\n");
  print_size_and_date(" in arch: ", 0, 123456789);
  EXPECT_EQ(take(), " in arch:  size: 123456789 date:               \n");
}

TEST_F(Formatters, RussianMonthNames) {
  platformSettings.language = 0;
  select_catalog();
  print_dos_date(dos_time(2005, 5, 20, 10, 30));
  EXPECT_EQ(take(), " 20-май-05 10:30");
  print_dos_date(dos_time(2005, 11, 20, 10, 30));
  EXPECT_EQ(take(), " 20-ноя-05 10:30");
}

}  // namespace

// Extracting, testing and printing end to end: output paths, the overwrite
// and directory questions with scripted answers, damaged members, unsafe
// stored paths, block mode and volumes.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "codec/common/transfer.h"
#include "archive/dos_time.h"
#include "archive/kvn_format.h"
#include "codec/pack.h"
#include "archive/member.h"
#include "codec/lz/lz77.h"
#include "driver/options.h"
#include "e2e/e2e.h"
#include "support/kvn_builder.h"
#include "platform/console.h"
#include "platform/iofile.h"

namespace {

// 1 January 2003 09:05 (local time is UTC in these tests).
constexpr time_t kMemberSeconds = 1041411900;
constexpr time_t kOlderSeconds = 978339600;   // 1 January 2001 09:00
constexpr time_t kNewerSeconds = 1104570000;  // 1 January 2005 09:00

struct Member {
  std::string name;
  std::string data;
  bool packed = false;       // the default method instead of a stored copy
  uint16_t flags = 0;        // ENTRY_PIECE, ENTRY_DIRECTORY added to the method's flags
  uint32_t pieceOffset = 0;
  bool damaged = false;      // one data byte changed after the check value was taken
  time_t seconds = kMemberSeconds;
};

std::string compressible(const std::string& seed, size_t size) {
  std::string text;
  while (text.size() < size) text += seed + " and some more words of " + seed + "\n";
  text.resize(size);
  return text;
}

void put_be16(std::string& to, unsigned v) {
  to += char(v >> 8);
  to += char(v);
}

// Writes an own-format archive with the format's header writer and the
// member packers of the library.
class ArchiveWriter {
 public:
  ArchiveWriter() {
    setenv("TZ", "UTC", 1);
    tzset();
    transfer.checkUpdate = crc32_update;
    transfer.inputChecked = 1;
    set_quiet(1);
    codec_buffers_alloc();
  }

  void write(const std::string& path, const std::vector<Member>& members, uint16_t globalFlags = GLOBAL_WIDE_WINDOW) {
    codecSettings.blockMode = (globalFlags & GLOBAL_BLOCKED) ? 1 : 0;
    codecSettings.narrowWindow = (globalFlags & GLOBAL_WIDE_WINDOW) ? 0 : 1;
    lz_reset();
    IoFile* archive = io_open(path.c_str(), IO_MODE_CREATE);
    ASSERT_NE(archive, nullptr);
    std::string head = "\xFF\x4B\x56\x47";
    put_be16(head, globalFlags);
    io_write(archive, head.data(), int(head.size()));
    std::vector<int> damage;
    for (const Member& m : members) add_member(archive, m, damage);
    io_write(archive, "\0\0", 2);
    io_close(archive);
    for (int at : damage) flip_byte(path, at);
    codecSettings.blockMode = 0;
    codecSettings.narrowWindow = 0;
  }

 private:
  void add_member(IoFile* archive, const Member& m, std::vector<int>& damage) {
    // Per process: ctest runs the tests of this file side by side.
    const std::string input = std::string(testing::TempDir()) + "kvx_extract_input_" + std::to_string(getpid());
    FILE* f = fopen(input.c_str(), "wb");
    fwrite(m.data.data(), 1, m.data.size(), f);
    fclose(f);

    kvn::Entry entry;
    entry.name = m.name;
    entry.flags = uint16_t((m.packed ? 0 : ENTRY_STORED) | m.flags);
    entry.time = pack_dos_time(m.seconds);
    entry.pieceOffset = m.pieceOffset;
    const int64_t headerPos = io_tell(archive);
    const std::string placeholder = kvn::header(entry);
    io_write(archive, placeholder.data(), int(placeholder.size()));

    IoFile* source = io_open(input.c_str(), IO_MODE_READ);
    int64_t unpacked = 0, packedSize = 0;
    const int32_t size = int32_t(m.data.size());
    entry.crc = m.packed ? pack_member(source, archive, 0, size, &unpacked, &packedSize)
                         : store_member(source, archive, 0, nullptr, 0, size, &unpacked, &packedSize);
    io_close(source);
    remove(input.c_str());
    entry.unpacked = uint32_t(unpacked);
    entry.packed = uint32_t(packedSize);
    if (m.damaged) damage.push_back(int(headerPos + int64_t(placeholder.size()) + packedSize / 2));

    // The final header has the length of the placeholder: only values change.
    const std::string header = kvn::header(entry);
    ASSERT_EQ(header.size(), placeholder.size());
    io_write_at(archive, headerPos, header.data(), int(header.size()));
  }

  static void flip_byte(const std::string& path, int at) {
    FILE* f = fopen(path.c_str(), "r+b");
    fseek(f, at, SEEK_SET);
    int c = fgetc(f);
    fseek(f, at, SEEK_SET);
    fputc(c ^ 0x5A, f);
    fclose(f);
  }
};

// A sandbox with English messages and UTC times.
class ExtractTest : public testing::Test {
 protected:
  ExtractTest() {
    box.write_file("kvx.ini", "-len\n");
    box.set_env("TZ", "UTC");
  }

  void make_archive(const std::vector<Member>& members, uint16_t globalFlags = GLOBAL_WIDE_WINDOW,
                    const std::string& name = "arc.kvn") {
    writer.write(box.path(name), members, globalFlags);
  }
  void write_dated(const std::string& name, const std::string& content, time_t seconds) {
    box.write_file(name, content);
    struct utimbuf times = {seconds, seconds};
    utime(box.path(name).c_str(), &times);
  }
  time_t mtime_of(const std::string& name) {
    struct stat st;
    return stat(box.path(name).c_str(), &st) == 0 ? st.st_mtime : -1;
  }
  static int count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }

  e2e::Sandbox box;
  ArchiveWriter writer;
};

const char kQuestion[] = "Yes/No/All/Skip all/Rename/Fresh/Update: ";

TEST_F(ExtractTest, XKeepsStoredPathsAndEFlattensThem) {
  const std::string deep = compressible("deep", 5000);
  make_archive({{"a/b/c.txt", deep, true}, {"top.txt", "top\n"}});

  e2e::RunResult x = box.run({"x", "arc"});
  EXPECT_EQ(x.status, 0) << x.out << x.err;
  EXPECT_NE(x.out.find("Extract from archive arc.kvn\n"), std::string::npos) << x.out;
  EXPECT_EQ(box.read_file("a/b/c.txt"), deep);
  EXPECT_EQ(box.read_file("top.txt"), "top\n");
  EXPECT_EQ(mtime_of("a/b/c.txt"), kMemberSeconds);
  EXPECT_EQ(count(x.out, "OK    \n"), 2);

  e2e::Sandbox flat;
  flat.write_file("kvx.ini", "-len\n");
  writer.write(flat.path("arc.kvn"), {{"a/b/c.txt", deep, true}, {"top.txt", "top\n"}});
  e2e::RunResult e = flat.run({"e", "arc"});
  EXPECT_EQ(e.status, 0) << e.out << e.err;
  EXPECT_EQ(flat.read_file("c.txt"), deep);
  EXPECT_FALSE(flat.exists("a"));
}

TEST_F(ExtractTest, OutputDirectoryFromSwitchOrSecondName) {
  make_archive({{"a/one.txt", "one"}, {"two.txt", "two"}});
  box.make_dir("given");
  struct Case {
    std::vector<std::string> args;
    std::string one, two;   // where the members must land
  } cases[] = {
      {{"x", "arc", "-oout"}, "out/a/one.txt", "out/two.txt"},
      {{"x", "arc", "-onew/deeper/"}, "new/deeper/a/one.txt", "new/deeper/two.txt"},
      {{"x", "arc", "given"}, "given/a/one.txt", "given/two.txt"},
      {{"x", "arc", "fresh/"}, "fresh/a/one.txt", "fresh/two.txt"},
      {{"e", "arc", "-oflat"}, "flat/one.txt", "flat/two.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[2]);
    e2e::RunResult r = box.run(c.args);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(box.read_file(c.one), "one");
    EXPECT_EQ(box.read_file(c.two), "two");
  }
  EXPECT_FALSE(box.exists("two.txt"));
}

// Two members over existing files: one.txt is older than its member, two.txt
// newer; three.txt does not exist yet.
struct AnswerCase {
  const char* what;
  std::string answers;
  std::vector<std::string> args;
  int questions;
  const char* one;     // content of one.txt afterwards ("old" or "new")
  const char* two;
  const char* three;   // content of three.txt, or "" when it must not exist
};

TEST_F(ExtractTest, EveryAnswerOfTheOverwriteQuestion) {
  const AnswerCase cases[] = {
      {"yes to both", "y\ny\n", {}, 2, "new", "new", "new"},
      {"no, then yes", "n\ny\n", {}, 2, "old", "new", "new"},
      {"upper case answer", "N\nY\n", {}, 2, "old", "new", "new"},
      {"all", "a\n", {}, 1, "new", "new", "new"},
      {"skip all", "s\n", {}, 1, "old", "old", "new"},
      {"update: older replaced, missing created", "u\n", {}, 1, "new", "old", "new"},
      {"fresh: older replaced, nothing created", "f\n", {}, 1, "new", "old", ""},
      {"unknown answer asks again", "q\n\ny\nn\n", {}, 4, "new", "old", "new"},
      {"end of input refuses", "", {}, 2, "old", "old", "new"},
      {"-y asks nothing", "", {"-y"}, 0, "new", "new", "new"},
      {"-u replaces older files only", "", {"-u"}, 0, "new", "old", "new"},
      {"-f creates nothing", "", {"-f"}, 0, "new", "old", ""},
      {"-y with -u still compares dates", "", {"-y", "-u"}, 0, "new", "old", "new"},
      {"-u -f acts as -u", "", {"-u", "-f"}, 0, "new", "old", "new"},
  };
  make_archive({{"one.txt", "new"}, {"two.txt", "new"}, {"three.txt", "new"}});
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(c.what);
    write_dated("one.txt", "old", kOlderSeconds);
    write_dated("two.txt", "old", kNewerSeconds);
    remove(box.path("three.txt").c_str());
    std::vector<std::string> args = {"x", "arc"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    e2e::RunResult r = box.run(args, c.answers);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(count(r.out, kQuestion), c.questions) << r.out;
    EXPECT_EQ(box.read_file("one.txt"), c.one);
    EXPECT_EQ(box.read_file("two.txt"), c.two);
    if (*c.three) {
      EXPECT_EQ(box.read_file("three.txt"), c.three);
    } else {
      EXPECT_FALSE(box.exists("three.txt"));
    }
    if (std::string(c.one) == "old") {
      EXPECT_EQ(mtime_of("one.txt"), kOlderSeconds);   // a skipped file keeps its date
      EXPECT_NE(r.out.find("Skipping   one.txt"), std::string::npos) << r.out;
    }
  }
}

TEST_F(ExtractTest, QuestionShowsBothFilesAndRenameAsksForANewName) {
  make_archive({{"one.txt", "new member"}});
  write_dated("one.txt", "old", kOlderSeconds);
  write_dated("taken.txt", "taken", kOlderSeconds);
  // A name leading elsewhere is not taken; the next one exists too, so the
  // question comes again for it.
  e2e::RunResult r = box.run({"x", "arc"}, "r\n../up.txt\nr\ntaken.txt\nr\nrenamed.txt\n");
  EXPECT_EQ(count(r.out, kQuestion), 3) << r.out;
  EXPECT_FALSE(box.exists("../up.txt"));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("one.txt on disk:  size:        3 date:  01-Jan-01 09:00\n"
                       "one.txt in arch:  size:       10 date:  01-Jan-03 09:05\n" +
                       std::string(kQuestion) + "\nrename to "),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("taken.txt on disk:  size:        5"), std::string::npos) << r.out;
  EXPECT_EQ(box.read_file("one.txt"), "old");
  EXPECT_EQ(box.read_file("taken.txt"), "taken");
  EXPECT_EQ(box.read_file("renamed.txt"), "new member");
  EXPECT_NE(r.out.find("Extracting one.txt\t TO renamed.txt"), std::string::npos) << r.out;
}

// The confirmations of -qw (once per directory) and -qx (once per member).
TEST_F(ExtractTest, DirectoryAndMemberConfirmations) {
  struct Case {
    std::vector<std::string> switches;
    std::string answers;
    const char* prompt;
    int questions;
    bool a, b, c, e;   // which of d1/a.txt, d1/b.txt, d2/c.txt, d3/e.txt are written
  } cases[] = {
      {{"-qw"}, "n\ny\nn\n", "extract this directory ", 3, false, false, true, false},
      {{"-qw"}, "y\na\n", "extract this directory ", 2, true, true, true, true},
      {{"-qw"}, "", "extract this directory ", 3, false, false, false, false},
      {{"-qw", "-y"}, "", "extract this directory ", 0, true, true, true, true},
      {{"-qx"}, "n\ny\nY\nn\n", "extract ", 4, false, true, true, false},
      {{"-qx"}, "a\n", "extract ", 1, true, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.switches[0] + " answers " + c.answers);
    e2e::Sandbox run;
    run.write_file("kvx.ini", "-len\n");
    writer.write(run.path("arc.kvn"), {{"d1/a.txt", "a"}, {"d1/b.txt", "b"}, {"d2/c.txt", "c"}, {"d3/e.txt", "e"}});
    std::vector<std::string> args = {"x", "arc"};
    args.insert(args.end(), c.switches.begin(), c.switches.end());
    e2e::RunResult r = run.run(args, c.answers);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(count(r.out, c.prompt), c.questions) << r.out;
    EXPECT_EQ(run.exists("d1/a.txt"), c.a);
    EXPECT_EQ(run.exists("d1/b.txt"), c.b);
    EXPECT_EQ(run.exists("d2/c.txt"), c.c);
    EXPECT_EQ(run.exists("d3/e.txt"), c.e);
  }
  make_archive({{"top.txt", "t"}});
  e2e::RunResult shown = box.run({"x", "arc", "-qw"}, "n\n");
  EXPECT_NE(shown.out.find("extract this directory .: "), std::string::npos) << shown.out;
}

TEST_F(ExtractTest, TestAndPrintWriteNoFiles) {
  const std::string text = compressible("print", 3000);
  make_archive({{"docs/p.txt", text, true}, {"q.bin", "q"}});

  e2e::RunResult t = box.run({"t", "arc"});
  EXPECT_EQ(t.status, 0) << t.out << t.err;
  EXPECT_NE(t.out.find("Testing    arc.kvn\n"), std::string::npos) << t.out;
  EXPECT_NE(t.out.find("Testing    p.txt"), std::string::npos) << t.out;
  EXPECT_EQ(count(t.out, "OK    \n"), 2) << t.out;

  e2e::RunResult p = box.run({"p", "arc", "p.txt"});
  EXPECT_EQ(p.status, 0) << p.out << p.err;
  EXPECT_EQ(p.out, text);
  EXPECT_NE(p.err.find("######  p.txt  ######\n"), std::string::npos) << p.err;

  EXPECT_FALSE(box.exists("p.txt"));
  EXPECT_FALSE(box.exists("docs"));
  EXPECT_FALSE(box.exists("q.bin"));
}

TEST_F(ExtractTest, BlockModeDecodesUnselectedMembersToStayInStep) {
  const std::string first = compressible("block", 20000);
  const std::string second = first.substr(100, 9000) + "tail";
  make_archive({{"first.txt", first, true}, {"second.txt", second, true}, {"third.txt", first, true}},
               GLOBAL_WIDE_WINDOW | GLOBAL_BLOCKED);

  e2e::RunResult t = box.run({"t", "arc", "third.txt"});
  EXPECT_EQ(t.status, 0) << t.out << t.err;
  EXPECT_EQ(count(t.out, "file OK\n"), 3) << t.out;

  // Only the selected member is asked about; refused, it is still decoded.
  e2e::RunResult asked = box.run({"x", "arc", "third.txt", "-qx"});
  EXPECT_EQ(asked.status, 0) << asked.out << asked.err;
  EXPECT_EQ(count(asked.out, "extract "), 1) << asked.out;
  EXPECT_EQ(count(asked.out, "file OK\n"), 3) << asked.out;
  EXPECT_FALSE(box.exists("third.txt"));

  e2e::RunResult x = box.run({"x", "arc", "second.txt", "third.txt"});
  EXPECT_EQ(x.status, 0) << x.out << x.err;
  EXPECT_FALSE(box.exists("first.txt"));
  EXPECT_EQ(box.read_file("second.txt"), second);
  EXPECT_EQ(box.read_file("third.txt"), first);
}

TEST_F(ExtractTest, DamagedDataIsACrcErrorAndTheFileGoes) {
  Member bad{"bad.txt", "these bytes will not survive"};
  bad.damaged = true;
  make_archive({bad, {"good.txt", "fine"}});

  e2e::RunResult r = box.run({"x", "arc"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("CRC error"), std::string::npos) << r.err;
  EXPECT_FALSE(box.exists("bad.txt"));
  EXPECT_EQ(box.read_file("good.txt"), "fine");

  e2e::RunResult kept = box.run({"x", "arc", "-k", "bad.txt"});
  EXPECT_EQ(kept.status, 1) << kept.out << kept.err;
  EXPECT_TRUE(box.exists("bad.txt"));
  EXPECT_NE(mtime_of("bad.txt"), kMemberSeconds);   // a broken file never gets the member's date

  e2e::RunResult t = box.run({"t", "arc"});
  EXPECT_EQ(t.status, 1);
  EXPECT_NE(t.err.find("CRC error"), std::string::npos);
}

TEST_F(ExtractTest, MembersLeadingOutsideAreRefused) {
  box.make_dir("work");
  writer.write(box.path("work/arc.kvn"),
               {{"../evil.txt", "evil"}, {"a/../../b/worse.txt", "worse"}, {"fine.txt", "fine"}});
  for (const char* command : {"x", "e"}) {
    SCOPED_TRACE(command);
    e2e::RunResult r = box.run_in("work", {command, "arc"});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("../evil.txt"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("a/../../b/worse.txt"), std::string::npos) << r.err;
    EXPECT_FALSE(box.exists("evil.txt"));
    EXPECT_FALSE(box.exists("b"));
    EXPECT_FALSE(box.exists("work/worse.txt"));
    EXPECT_FALSE(box.exists("work/evil.txt"));
    EXPECT_EQ(box.read_file("work/fine.txt"), "fine");
    remove(box.path("work/fine.txt").c_str());
  }
  // Testing reads them without harm.
  e2e::RunResult t = box.run_in("work", {"t", "arc"});
  EXPECT_EQ(t.status, 0) << t.out << t.err;
}

TEST_F(ExtractTest, AFileThatCannotBeCreatedIsSkipped) {
  make_archive({{"blocked/inner.txt", "x"}, {"free.txt", "y"}});
  box.write_file("blocked", "a file where a directory is needed");
  e2e::RunResult r = box.run({"x", "arc"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("blocked/inner.txt: cannot create"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("Skipping   blocked/inner.txt"), std::string::npos) << r.out;
  EXPECT_EQ(box.read_file("blocked"), "a file where a directory is needed");
  EXPECT_EQ(box.read_file("free.txt"), "y");
}

TEST_F(ExtractTest, ADirectoryInTheWayOfAFileIsKeptAndReported) {
  make_archive({{"taken", "member"}, {"free.txt", "y"}});
  box.write_file("taken/keep", "kept");
  e2e::RunResult r = box.run({"x", "arc", "-y"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("taken: a directory is in the way"), std::string::npos) << r.err;
  EXPECT_EQ(box.read_file("taken/keep"), "kept");
  EXPECT_EQ(box.read_file("free.txt"), "y");
}

TEST_F(ExtractTest, TheArchiveBeingReadIsNeverOverwritten) {
  make_archive({{"arc.kvn", "an older archive"}, {"other.txt", "other"}});
  const std::string before = box.read_file("arc.kvn");
  e2e::RunResult r = box.run({"x", "arc", "-y"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("arc.kvn: is the archive being read"), std::string::npos) << r.err;
  EXPECT_TRUE(box.read_file("arc.kvn") == before);
  EXPECT_EQ(box.read_file("other.txt"), "other");
}

TEST_F(ExtractTest, VolumesAreFollowedAndASplitFileIsJoined) {
  const std::string whole = compressible("split", 6000);
  Member head{"big.txt", whole.substr(0, 2500)};
  head.flags = ENTRY_PIECE;
  Member tail{"big.txt", whole.substr(2500)};
  tail.flags = ENTRY_PIECE;
  tail.pieceOffset = 2500;
  make_archive({{"small.txt", "small"}, head}, GLOBAL_WIDE_WINDOW | GLOBAL_MULTIVOLUME, "arc.kvn");
  // The last volume of a set is the one without the flag.
  make_archive({tail, {"last.txt", "last"}}, GLOBAL_WIDE_WINDOW, "arc.001");

  e2e::RunResult r = box.run({"x", "arc"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Extract from archive arc.001\n"), std::string::npos) << r.out;
  EXPECT_EQ(count(r.out, kQuestion), 0) << r.out;
  EXPECT_EQ(box.read_file("big.txt"), whole);
  EXPECT_EQ(box.read_file("last.txt"), "last");
  EXPECT_EQ(r.out.find("Next volume is"), std::string::npos) << r.out;

  // A missing volume is asked for; "y" looks again, anything else stops
  // with the volume reported, and so does the end of the answers.
  remove(box.path("arc.001").c_str());
  remove(box.path("last.txt").c_str());
  for (const char* answers : {"y\nn\n", "y\n"}) {
    e2e::RunResult missing = box.run({"x", "arc", "-y"}, answers);
    EXPECT_EQ(count(missing.out, "Next volume is arc.001: "), 2) << missing.out;
    EXPECT_EQ(count(missing.err, "arc.001: volume not found"), 1) << missing.err;
    EXPECT_NE(missing.status, 0);
    EXPECT_FALSE(box.exists("last.txt"));
  }
  // Answers that never end are not waited on forever.
  std::string yes;
  for (int i = 0; i < 1000; ++i) yes += "y\n";
  e2e::RunResult endless = box.run({"x", "arc", "-y"}, yes, 20);
  EXPECT_EQ(count(endless.err, "arc.001: volume not found"), 1) << endless.err;
  EXPECT_NE(endless.status, 0);
}

TEST_F(ExtractTest, ALaterPieceWithoutItsFileIsReported) {
  Member tail{"big.txt", "second half"};
  tail.flags = ENTRY_PIECE;
  tail.pieceOffset = 100;
  make_archive({tail});
  e2e::RunResult r = box.run({"x", "arc"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("broken file is not exist"), std::string::npos) << r.err;
  EXPECT_FALSE(box.exists("big.txt"));
}

// An interrupt in the middle of a member leaves no half-written file: the
// file is either complete (the run finished first) or gone.
TEST_F(ExtractTest, InterruptLeavesNoHalfWrittenFile) {
  std::string big(24 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7 + (i >> 13));
  make_archive({{"big.bin", big}});
  // From early in the run to past its end: a signal may also come while the
  // run is already ending, and must not wait on the exit under way.
  for (int delayMs : {5, 10, 15, 20, 30, 45, 80}) {
    SCOPED_TRACE(delayMs);
    remove(box.path("big.bin").c_str());
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (chdir(box.dir().c_str()) != 0) _exit(126);
      FILE* quiet = fopen("/dev/null", "w");
      dup2(fileno(quiet), 1);
      dup2(fileno(quiet), 2);
      execl(box.program().c_str(), "kvx", "x", "arc", static_cast<char*>(nullptr));
      _exit(127);
    }
    usleep(useconds_t(delayMs) * 1000);
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    // A file left under the member's name is the whole member, whether the
    // run finished or was stopped after it; a finished run left it.
    const bool finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (box.exists("big.bin")) {
      EXPECT_TRUE(box.read_file("big.bin") == big);
    } else {
      EXPECT_FALSE(finished);
    }
  }
}

}  // namespace

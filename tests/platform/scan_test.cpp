// Wildcards, packed extensions, directory listings and file specification
// lists built from small trees made in a temporary directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "platform/fatal.h"
#include "platform/settings.h"
#include "platform/console.h"
#include "platform/name_table.h"
#include "platform/scan.h"

namespace {

TEST(WildMatch, Patterns) {
  struct Case {
    const char* text;
    const char* pattern;
    int match;
  } cases[] = {
      {"README", "read*", 1},
      {"a/b", "*b", 1},  // '*' crosses '/'
      {"x", "x?", 0},
      {"xy", "x?", 1},
      {"", "*", 1},
      {"", "", 1},
      {"a", "", 0},
      {"", "?", 0},
      {"abc", "a*c", 1},
      {"abcbc", "a*bc", 1},
      {"abcbd", "a*bc", 0},
      {"mississippi", "*sip*", 1},
      {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*a*a*a*a*a*c", 0},  // must not take exponential time
      {"b", "[a-c]", 1},
      {"b", "[!a-c]", 0},
      {"d", "[!a-c]", 1},
      {"B", "[a-c]", 0},  // sets are case-sensitive
      {"A", "a", 1},      // plain characters are not
      {"q", "[!]", 1},    // a negated empty set takes anything
      {"q", "[]", 0},
      {"", "[a]", 0},
      {"x1y", "x[0-9]y", 1},
      {"x-y", "x[a-]y", 1},  // '-' before ']' is an item of its own
      {"a.c", "[abc].[!x]", 1},
      {"abc", "ab[cd", 1},    // an open set ends the match with its own result
      {"abcXYZ", "ab[cd", 1},
      {"abe", "ab[cd", 0},
      {"xxabe", "*ab[cd", 0},
      {"xxabc", "*ab[cd", 1},
      {"\xe4", "[\xe0-\xef]", 1},  // signed bytes: the range stays in order
      {"a", "[\xe0-\xef]", 0},
      {"file.TXT", "*.txt", 1},
      {"src/sub/deep/d.c", "src/*.c", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(wild_match(c.text, c.pattern), c.match) << c.text << " ~ " << c.pattern;
}

TEST(WildMatch, PathMatchModes) {
  PathName a("dir/sub/file.c");
  PathName by_name("*.c");
  PathName by_path("dir/*.c");
  PathName other_dir("elsewhere/*.c");
  EXPECT_EQ(path_match(&a, &by_name, 0), 1);
  EXPECT_EQ(path_match(&a, &other_dir, 0), 1);  // names alone
  EXPECT_EQ(path_match(&a, &by_path, 1), 1);
  EXPECT_EQ(path_match(&a, &other_dir, 1), 0);
  EXPECT_EQ(path_match(&a, &by_name, 1), 1);  // full paths: '*' takes "dir/sub/file"
  EXPECT_EQ(path_match(nullptr, &by_name, 0), 0);
  EXPECT_EQ(path_match(&a, nullptr, 0), 0);
}

TEST(ExtInList, PackedExtensions) {
  struct Case {
    const char* name;
    bool packed;
  } cases[] = {{"a.ZIP", true}, {"b.tgz", true}, {"x.tar.gz", true}, {"k.kvn", true}, {"c.zix", false},
               {"d.gzz", false}, {"e", false},     {"f.", false},     {"g.z", false},    {"dir.zip/h", false}};
  for (const Case& c : cases) EXPECT_EQ(ext_in_list(PathName(c.name)), c.packed) << c.name;
}

std::vector<std::string> paths_of(const FileSpecList& list) {
  std::vector<std::string> out;
  for (SpecNode* node = list; node; node = node->next) out.push_back(node->path->full_path());
  return out;
}

// Each test works in its own fresh directory. The "listed" marks are kept by
// relative directory text for the whole run, so they are cleared between tests.
void forget_listed_directories() {
  DirectoryPool& pool = directory_pool();
  for (int i = 0; i < pool.snapshot(); ++i) static_cast<DirectoryEntry*>(pool.item_at(i))->mark = 0;
}

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(getcwd(old_dir_, sizeof old_dir_), nullptr);
    char dir_template[] = "/tmp/kvx_scan_XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    base_ = dir_template;
    ASSERT_EQ(chdir(base_.c_str()), 0);
    messages_ = tmpfile();
    errors_ = tmpfile();
    console_use_streams(messages_, errors_, nullptr);
    errors_before_ = error_count();
    saved_path_mode_ = platformSettings.pathMode;
    forget_listed_directories();
  }
  void TearDown() override {
    spec_clear(list_);
    platformSettings.pathMode = saved_path_mode_;
    console_use_streams(stdout, stderr, nullptr);
    fclose(messages_);
    fclose(errors_);
    ASSERT_EQ(chdir(old_dir_), 0);
    std::string command = "rm -rf '" + base_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }

  static void make_file(const std::string& path) {
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    fclose(f);
  }
  static void make_dir(const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0777), 0) << path; }
  static void make_link(const char* target, const std::string& path) {
    ASSERT_EQ(symlink(target, path.c_str()), 0) << path;
  }

  static std::string read_all(FILE* f) {
    fflush(f);
    std::string all;
    rewind(f);
    for (int c; (c = fgetc(f)) != EOF;) all += static_cast<char>(c);
    return all;
  }
  // The "Parsing " lines written so far, one entry per line.
  std::vector<std::string> parsing_lines() {
    std::vector<std::string> lines;
    std::string all = read_all(messages_);
    for (size_t at = 0; (at = all.find("Parsing ", at)) != std::string::npos;) {
      size_t end = all.find('\n', at);
      lines.push_back(all.substr(at + 8, end - at - 8));
      at = end;
    }
    return lines;
  }
  int errors() const { return error_count() - errors_before_; }
  std::string error_text() { return read_all(errors_); }

  int add(const char* text, int flags = SPEC_SCAN) { return spec_add(list_, PathName(text), flags); }

  FileSpecList list_ = nullptr;
  std::string base_;
  char old_dir_[PATH_MAX];
  FILE* messages_ = nullptr;
  FILE* errors_ = nullptr;
  int errors_before_ = 0;
  int saved_path_mode_ = 0;
};

TEST_F(ScanTest, ListingIncludesDotEntries) {
  make_file("one");
  make_dir("two");
  DirScan* scan = dir_open(PathName("*"));
  ASSERT_NE(scan, nullptr);
  std::set<std::string> names;
  while (dir_next(scan)) {
    names.insert(scan->entry.name);
    EXPECT_STREQ(scan->entry.dir, ".");
  }
  EXPECT_EQ(scan->state, 3);
  EXPECT_EQ(dir_next(scan), 0);
  dir_close(scan);
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "one", "two"}));

  EXPECT_EQ(dir_open(PathName("missing/*")), nullptr);
  EXPECT_EQ(dir_next(nullptr), 0);
  dir_close(nullptr);
}

TEST_F(ScanTest, StarGivesSortedDuplicateFreeList) {
  platformSettings.pathMode = 0;
  for (const char* name : {"b", "A", "c", "B"}) make_file(name);
  EXPECT_EQ(add("*"), 1);
  // Names sort ignoring case; names that differ only in case are distinct files here.
  EXPECT_EQ(paths_of(list_), (std::vector<std::string>{"A", "B", "b", "c"}));
  EXPECT_EQ(add("b"), 1);
  EXPECT_EQ(add("./b"), 1);
  EXPECT_EQ(paths_of(list_), (std::vector<std::string>{"A", "B", "b", "c"}));
  EXPECT_EQ(parsing_lines(), (std::vector<std::string>{"*"}));
  EXPECT_EQ(errors(), 0);
}

TEST_F(ScanTest, WithoutScanFlagSpecsAreInsertedAsGiven) {
  EXPECT_EQ(add("no/such/*.txt", SPEC_MATCH | 0x20), 1);
  EXPECT_EQ(add("plain", SPEC_MATCH), 1);
  EXPECT_EQ(add("a/./b"), 0);  // scanned: directory "a" does not exist, nothing listed
  EXPECT_EQ(spec_insert(list_, PathName("a/./b"), 0), 0);
  EXPECT_EQ(spec_insert(list_, PathName("a/b"), 0), 0);  // the same path once
  EXPECT_EQ(paths_of(list_), (std::vector<std::string>{"plain", "a/b", "no/such/*.txt"}));
  EXPECT_EQ(list_->flags, SPEC_MATCH);
  EXPECT_EQ(list_->next->next->flags, SPEC_MATCH | 0x20);
}

TEST_F(ScanTest, MissingSpecificationInsertsNothing) {
  make_file("present");
  platformSettings.pathMode = 1;
  EXPECT_EQ(add("absent.txt"), 1);
  EXPECT_EQ(list_, nullptr);
  EXPECT_EQ(add("nodir/absent.txt"), 0);  // its directory cannot be listed
  EXPECT_EQ(list_, nullptr);
}

// src/{a.c, b.txt, empty/, sub/{c.c, deep/{d.c}}}
void make_tree() {
  for (const char* dir : {"src", "src/empty", "src/sub", "src/sub/deep"}) ASSERT_EQ(mkdir(dir, 0777), 0);
  for (const char* file : {"src/a.c", "src/b.txt", "src/sub/c.c", "src/sub/deep/d.c"}) {
    FILE* f = fopen(file, "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
  }
}

TEST_F(ScanTest, RecursiveDirectoryListsEachDirectoryOnce) {
  make_tree();
  platformSettings.pathMode = 1;
  EXPECT_EQ(add("src"), 1);
  EXPECT_EQ(paths_of(list_), (std::vector<std::string>{"src", "src/a.c", "src/b.txt", "src/empty", "src/sub",
                                                       "src/sub/c.c", "src/sub/deep", "src/sub/deep/d.c"}));
  std::vector<std::string> parsed = parsing_lines();
  EXPECT_EQ(std::set<std::string>(parsed.begin(), parsed.end()),
            (std::set<std::string>{"src/*", "src/empty/*", "src/sub/*", "src/sub/deep/*"}));
  EXPECT_EQ(parsed.size(), 4u);
  for (const char* dir : {"src", "src/empty", "src/sub", "src/sub/deep"}) {
    ASSERT_NE(directory_pool().entry(dir), nullptr) << dir;
    EXPECT_EQ(directory_pool().entry(dir)->mark, 1) << dir;
  }

  // Everything was listed: adding again lists nothing and changes nothing.
  EXPECT_EQ(add("src/*"), 0);
  EXPECT_EQ(add("src"), 0);
  EXPECT_EQ(parsing_lines().size(), 4u);
  EXPECT_EQ(paths_of(list_).size(), 8u);
}

TEST_F(ScanTest, RecursivePatternDescendsWithoutAddingDirectories) {
  make_tree();
  platformSettings.pathMode = 1;
  EXPECT_EQ(add("src/*.c"), 1);
  EXPECT_EQ(paths_of(list_), (std::vector<std::string>{"src/a.c", "src/sub/c.c", "src/sub/deep/d.c"}));
}

TEST_F(ScanTest, NonRecursivePatternStaysInItsDirectory) {
  make_tree();
  platformSettings.pathMode = 0;
  EXPECT_EQ(add("src/*"), 1);
  EXPECT_EQ(paths_of(list_), (std::vector<std::string>{"src/a.c", "src/b.txt", "src/empty", "src/sub"}));
  EXPECT_EQ(parsing_lines(), (std::vector<std::string>{"src/*"}));
}

TEST_F(ScanTest, SymbolicLinksFoundWhileRecursingAreNotFollowed) {
  make_tree();
  make_link("..", "src/up");           // a loop through the parent
  make_link(".", "src/sub/self");      // a loop onto itself
  make_link("missing", "src/dangling");
  make_link("ring2", "src/ring1");     // a link cycle: status fails
  make_link("ring1", "src/ring2");
  make_dir("outside");
  make_file("outside/o.c");
  make_link("../outside", "src/out");
  platformSettings.pathMode = 1;
  EXPECT_EQ(add("src"), 1);
  // The links to directories are entries themselves; nothing below them is
  // listed, and entries whose status cannot be read are passed over.
  EXPECT_EQ(paths_of(list_), (std::vector<std::string>{"src", "src/a.c", "src/b.txt", "src/empty", "src/out",
                                                       "src/sub", "src/up", "src/sub/c.c", "src/sub/deep",
                                                       "src/sub/self", "src/sub/deep/d.c"}));
  EXPECT_EQ(parsing_lines().size(), 4u);

  // A link named on the command line is followed, one level: the links
  // found inside it are not.
  spec_clear(list_);
  EXPECT_EQ(add("src/out"), 1);
  EXPECT_EQ(paths_of(list_), (std::vector<std::string>{"src/out", "src/out/o.c"}));
}

TEST_F(ScanTest, UnreadableEntriesAreInsertedAsFoundWithoutRecursion) {
  make_link("missing", "dangling");
  make_link("ring2", "ring1");
  make_link("ring1", "ring2");
  platformSettings.pathMode = 0;
  EXPECT_EQ(add("*"), 1);
  EXPECT_EQ(paths_of(list_), (std::vector<std::string>{"dangling", "ring1", "ring2"}));
  EXPECT_EQ(parsing_lines().size(), 1u);
}

TEST_F(ScanTest, FileNamesHoldingWildcardsAreNotExpandedAgain) {
  make_file("a*b");
  make_file("q?");
  make_dir("x[1]");
  make_file("x[1]/f");
  for (int mode : {0, 1}) {
    platformSettings.pathMode = mode;
    spec_clear(list_);
    EXPECT_EQ(add("*"), 1);
    std::vector<std::string> expected = {"a*b", "q?", "x[1]"};
    if (mode) expected.push_back("x[1]/f");
    EXPECT_EQ(paths_of(list_), expected) << "pathMode " << mode;
  }
}

TEST_F(ScanTest, NamesTheCanonicalFormWouldChangeAreReported) {
  make_file("back\\slash");
  make_file("dot.");
  make_file("keep");
  make_file("\xff\xfe.bin");  // not UTF-8: kept as bytes
  platformSettings.pathMode = 0;
  EXPECT_EQ(add("*"), 1);
  EXPECT_EQ(paths_of(list_), (std::vector<std::string>{"keep", "\xff\xfe.bin"}));
  EXPECT_EQ(errors(), 2);
  std::string reported = error_text();
  EXPECT_NE(reported.find("file name not supported: back\\slash"), std::string::npos) << reported;
  EXPECT_NE(reported.find("file name not supported: dot."), std::string::npos) << reported;
}

TEST_F(ScanTest, PathsGrowingPastTheLimitAreReportedNotCut) {
  std::string level1(200, 'a'), level2(200, 'b'), level3(200, 'c');
  make_dir("deep");
  make_dir("deep/" + level1);
  make_dir("deep/" + level1 + "/" + level2);
  make_file("deep/" + level1 + "/" + level2 + "/short");
  make_file("deep/" + level1 + "/" + level2 + "/" + level3);
  make_dir("deep/" + level1 + "/" + level2 + "/" + level3 + ".d");
  platformSettings.pathMode = 1;
  EXPECT_EQ(add("deep"), 1);
  std::string middle = "deep/" + level1 + "/" + level2;
  EXPECT_EQ(paths_of(list_),
            (std::vector<std::string>{"deep", "deep/" + level1, middle, middle + "/short"}));
  EXPECT_EQ(errors(), 2);  // the long file and the long directory
  EXPECT_NE(error_text().find("name is too long: "), std::string::npos);

  // A name of 512 bytes and more given directly is refused, and adds nothing.
  spec_clear(list_);
  std::string huge(600, 'z');
  EXPECT_EQ(add(huge.c_str()), 0);
  EXPECT_EQ(list_, nullptr);
  EXPECT_EQ(errors(), 3);
}

TEST_F(ScanTest, RemoveMatchingByNameOrByPath) {
  for (const char* text : {"a.txt", "b.c", "src/c.txt", "src/d.c", "src/sub/e.txt"}) add(text, SPEC_MATCH);
  platformSettings.pathMode = 1;
  EXPECT_EQ(spec_remove_matching(list_, PathName("src/*.txt")), 2);  // '*' crosses into src/sub
  EXPECT_EQ(paths_of(list_), (std::vector<std::string>{"a.txt", "b.c", "src/d.c"}));
  platformSettings.pathMode = 0;
  EXPECT_EQ(spec_remove_matching(list_, PathName("elsewhere/*.C")), 2);  // names alone, case ignored
  EXPECT_EQ(paths_of(list_), (std::vector<std::string>{"a.txt"}));
  EXPECT_EQ(spec_remove_matching(list_, PathName("none")), 0);
  EXPECT_EQ(spec_remove_matching(list_, PathName("a.txt")), 1);
  EXPECT_EQ(list_, nullptr);
}

// Many names in no particular order (in directories whose names differ only in
// case, so that their names interleave), into lists used by turns, one of them
// put aside and brought back, and nodes removed on the way: every list stays
// sorted, without duplicates, and holds exactly what was put into it.
TEST_F(ScanTest, InsertionKeepsEveryListSortedWhateverTheOrder) {
  std::vector<std::string> names;
  for (int i = 0; i < 600; ++i) {
    char text[32];
    snprintf(text, sizeof text, "%s/n%03d", (i % 3 == 0) ? "d" : (i % 3 == 1) ? "D" : ".", (i * 389) % 600);
    names.push_back(text);
  }
  FileSpecList other = nullptr;
  std::set<std::string> inList, inOther;
  auto insert_both = [&](size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      EXPECT_EQ(spec_insert(list_, PathName(names[i].c_str()), SPEC_MATCH), 0);
      EXPECT_EQ(spec_insert(list_, PathName(names[i].c_str()), SPEC_MATCH), 0);   // once only
      inList.insert(PathName(names[i].c_str()).full_path());
      if (i % 4 == 0) {
        spec_insert(other, PathName(names[i].c_str()), 0);
        inOther.insert(PathName(names[i].c_str()).full_path());
      }
    }
  };
  auto expect_sorted = [](const FileSpecList& list, const std::set<std::string>& expected) {
    std::set<std::string> seen;
    const SpecNode* before = nullptr;
    for (const SpecNode* node = list; node; node = node->next) {
      if (before) {
        EXPECT_LT(path_compare(*before->path, *node->path), 0) << node->path->full_path();
      }
      seen.insert(node->path->full_path());
      before = node;
    }
    EXPECT_EQ(seen, expected);
  };

  insert_both(0, 200);
  // The list is put aside while a list of its own takes its place.
  FileSpecList saved = list_;
  list_ = nullptr;
  spec_insert(list_, PathName("zz"), 0);
  spec_insert(list_, PathName("aa"), 0);
  expect_sorted(list_, {"aa", "zz"});
  spec_clear(list_);
  list_ = saved;
  insert_both(200, 400);
  platformSettings.pathMode = 1;
  int removed = spec_remove_matching(list_, PathName("d/*"));
  EXPECT_GT(removed, 0);
  // Matching ignores case: "D/..." goes as well.
  for (auto it = inList.begin(); it != inList.end();) it = (*it)[1] == '/' ? inList.erase(it) : std::next(it);
  insert_both(400, 600);
  expect_sorted(list_, inList);
  expect_sorted(other, inOther);
  spec_clear(other);
}

struct Visit {
  std::vector<std::string> seen;
  int stop_at = -1;  // answer -1 at this visit
};

int visit(FileSpecList&, SpecNode* node, void* user) {
  Visit* v = static_cast<Visit*>(user);
  v->seen.push_back(node->path->name);
  if (static_cast<int>(v->seen.size()) - 1 == v->stop_at) return -1;
  return node->path->name[0] == 'p' ? 2 : 0;  // "positive" names answer 2
}

TEST_F(ScanTest, ForEachFiltersAndMarks) {
  spec_insert(list_, PathName("p1"), SPEC_MATCH);
  spec_insert(list_, PathName("p2"), SPEC_MATCH | SPEC_DONE);
  spec_insert(list_, PathName("q3"), SPEC_MATCH | 0x01);
  spec_insert(list_, PathName("q4"), SPEC_MATCH);

  Visit all;
  EXPECT_EQ(spec_for_each(list_, visit, &all, 0, 0), 4);
  EXPECT_EQ(all.seen, (std::vector<std::string>{"p1", "p2", "q3", "q4"}));

  // Skip the nodes marked done; mark those answering > 0.
  Visit pending;
  EXPECT_EQ(spec_for_each(list_, visit, &pending, SPEC_DONE, -17), 2);
  EXPECT_EQ(pending.seen, (std::vector<std::string>{"p1", "q3", "q4"}));
  std::vector<int> flags;
  for (SpecNode* node = list_; node; node = node->next) flags.push_back(node->flags);
  EXPECT_EQ(flags, (std::vector<int>{SPEC_MATCH | SPEC_DONE, SPEC_MATCH | SPEC_DONE, SPEC_MATCH | 0x01, SPEC_MATCH}));

  // A filter sharing no bit with a node's marks skips it; unmarked nodes always count.
  Visit filtered;
  spec_for_each(list_, visit, &filtered, 0, 0x02);
  EXPECT_EQ(filtered.seen, (std::vector<std::string>{"q4"}));

  Visit stopped;
  stopped.stop_at = 1;
  EXPECT_EQ(spec_for_each(list_, visit, &stopped, 0, 0), -1);
  EXPECT_EQ(stopped.seen.size(), 2u);
}

}  // namespace

// Path texts, PathName splitting and forms, ordering, volume names, and the
// hash table behind the directory pool.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/fatal.h"
#include "platform/settings.h"
#include "platform/console.h"
#include "platform/name_table.h"
#include "platform/paths.h"

namespace {

// Sends counted errors to a scratch file so tests can read what was reported.
class ErrorCapture {
 public:
  ErrorCapture() : file_(tmpfile()), before_(error_count()) { console_use_streams(nullptr, file_, nullptr); }
  ~ErrorCapture() {
    console_use_streams(nullptr, stderr, nullptr);
    fclose(file_);
  }
  int count() const { return error_count() - before_; }
  std::string text() {
    fflush(file_);
    std::string all;
    rewind(file_);
    for (int c; (c = fgetc(file_)) != EOF;) all += static_cast<char>(c);
    return all;
  }

 private:
  FILE* file_;
  int before_;
};

std::string normalized(const char* text, int mode) {
  char buffer[PATH_MAX_TEXT];
  EXPECT_EQ(path_normalize(buffer, text, mode), 0) << text;
  return buffer;
}

TEST(PathNormalize, CanonicalForms) {
  struct Case {
    const char* text;
    int mode;
    const char* expected;
  } cases[] = {
      {"a//b/./c.", 5, "a/b/c"},
      {"./x", 5, "x"},
      {"./y.", 5, "y."},          // a text starting with '.' keeps its final dot
      {"//srv//x", 5, "//srv/x"},  // a leading "//" (network name) stays
      {"///x", 5, "//x"},
      {"A\\B", 0, "a/b"},
      {"A\\B", 5, "A/B"},
      {"c:", 5, "c:."},
      {"C:", 5, "C:"},
      {"c:/", 5, "c:/."},
      {"/", 5, "/."},
      {"dir/.", 5, "dir/"},
      {".", 5, "."},
      {"..", 5, ".."},
      {"", 5, ""},
      {"./", 5, ""},
      {"a/././b", 5, "a/b"},
      {"x/../y", 5, "x/../y"},     // no resolution of ".."
      {"name.\nrest", 5, "name."},  // a line end cuts the text; the final dot then stays
      {"A\\B.", 3, "A\\B."},       // other modes skip the character pass
      {"a\\\\b", 3, "a\\\\b"},
  };
  for (const Case& c : cases) EXPECT_EQ(normalized(c.text, c.mode), c.expected) << c.text << " mode " << c.mode;
}

TEST(PathNormalize, SameBufferAndDuplicate) {
  char buffer[PATH_MAX_TEXT] = "a//b/./c.";
  ASSERT_EQ(path_normalize(buffer, buffer, PATH_MODE_NORMAL), 0);
  EXPECT_STREQ(buffer, "a/b/c");
  char* copy = path_normalize_dup("./q//r");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "q/r");
  free(copy);
}

TEST(PathNormalize, RefusesTooLongText) {
  std::string longest(PATH_MAX_TEXT - 1, 'a');
  char buffer[PATH_MAX_TEXT];
  EXPECT_EQ(path_normalize(buffer, longest.c_str(), PATH_MODE_NORMAL), 0);
  EXPECT_EQ(longest, buffer);
  std::string too_long(PATH_MAX_TEXT, 'a');
  EXPECT_EQ(path_normalize(buffer, too_long.c_str(), PATH_MODE_NORMAL), -1);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(path_normalize_dup(too_long.c_str()), nullptr);
}

// Names from archives and answers are judged as given, before any canonical
// form could hide a way up ("a/.." becomes "a/." there).
TEST(PathLeadsOutside, AbsoluteAndClimbingTexts) {
  const struct {
    const char* text;
    bool outside;
  } cases[] = {
      {"a/b.txt", false},   {"...x", false},      {"a..b/c", false},  {".hidden", false}, {"./a", false},
      {"/etc/passwd", true}, {"\\etc", true},     {"//srv/x", true},  {"c:/x", true},     {"C:x", true},
      {"..", true},          {"a/../../x", true},  {"a\\..\\x", true}, {".../x", true},    {"a/..", true},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(path_leads_outside(c.text), c.outside) << c.text;
}

TEST(PathName, Splitting) {
  struct Case {
    const char* text;
    const char* dir;
    const char* name;
  } cases[] = {
      {"C:\\Work\\a.txt", "C:/Work", "a.txt"},
      {"c:a.txt", "c:.", "a.txt"},
      {"a.txt", ".", "a.txt"},
      {"/a.txt", "/.", "a.txt"},
      {"c:/a.txt", "c:/.", "a.txt"},
      {"C:/a.txt", "C:/", "a.txt"},
      {"dir/", "dir", ""},
      {"c:/dir/", "c:/dir/", ""},
      {"a/b/c.txt", "a/b", "c.txt"},
      {"./x", ".", "x"},
      {"a//b/./c", "a/b/", "c"},  // "a//b/." loses its final dot: the directory keeps a slash
      {"", ".", ""},
      {"x/name.", "x", "name"},
  };
  for (const Case& c : cases) {
    PathName p(c.text);
    EXPECT_FALSE(p.refused) << c.text;
    EXPECT_STREQ(p.dir, c.dir) << c.text;
    EXPECT_STREQ(p.name, c.name) << c.text;
  }
}

TEST(PathName, FullPathAndJoin) {
  struct Case {
    const char* text;
    const char* full;
  } cases[] = {
      {"a", "a"}, {"/a", "/a"}, {"c:/a", "c:/a"}, {"c:a", "c:./a"}, {"src/", "src"}, {"x/y/z", "x/y/z"},
  };
  for (const Case& c : cases) {
    PathName p(c.text);
    char buffer[PATH_MAX_TEXT];
    EXPECT_STREQ(p.full_path(buffer), c.full) << c.text;
    EXPECT_STREQ(p.full_path(), c.full) << c.text;
  }
  EXPECT_STREQ(path_join(".", "a"), "a");
  EXPECT_STREQ(path_join(nullptr, "a"), "a");
  EXPECT_STREQ(path_join("d/", "a"), "d/a");
  EXPECT_STREQ(path_join("d", "./a"), "d/a");
  EXPECT_STREQ(path_join("", "a"), "/a");

  PathName joined("some/dir", "f.txt");
  EXPECT_STREQ(joined.dir, "some/dir");
  EXPECT_STREQ(joined.name, "f.txt");
  PathName copy(joined);
  EXPECT_EQ(copy.dir, joined.dir);
  EXPECT_STREQ(copy.name, "f.txt");
  PathName assigned("other");
  assigned = joined;
  EXPECT_EQ(assigned.dir, joined.dir);
  assigned = assigned;
  EXPECT_STREQ(assigned.full_path(), "some/dir/f.txt");
}

TEST(PathName, DirectoryTextsArePooled) {
  PathName a("x/a");
  PathName b("x/b");
  PathName upper("X/a");
  EXPECT_EQ(a.dir, b.dir);
  EXPECT_NE(a.dir, upper.dir);  // the pool compares texts exactly
  EXPECT_EQ(dir_intern("x"), a.dir);
  EXPECT_EQ(directory_pool().entry("x")->mark, 0);
}

TEST(PathName, StoredForms) {
  struct Case {
    const char* text;
    const char* stored;
  } cases[] = {
      {"c:/tmp/a.txt", "tmp/a.txt"},
      {"C:/tmp/a.txt", "C:/tmp/a.txt"},  // upper-case drives are kept
      {"//server/share/a", "share/a"},
      {"/etc/x", "etc/x"},
      {"rel/a", "rel/a"},
      {"c:b.txt", "./b.txt"},
  };
  ASSERT_NE(platformSettings.stripLeadingSlash, 0);
  for (const Case& c : cases) {
    PathName p(c.text);
    char stored[PATH_MAX_TEXT];
    p.stored_name(stored);
    EXPECT_STREQ(stored, c.stored) << c.text;
  }
  PathName member("placeholder");
  member.assign_stored("c:/tmp/a.txt");
  EXPECT_STREQ(member.dir, "tmp");
  EXPECT_STREQ(member.name, "a.txt");
  member.assign_stored("//server");  // no share part: kept, then the leading slash goes
  EXPECT_STREQ(member.full_path(), "/server");
  member.assign_stored("/etc/passwd");
  EXPECT_STREQ(member.full_path(), "etc/passwd");
}

TEST(PathName, Wildcards) {
  struct Case {
    const char* text;
    bool wild;
  } cases[] = {{"a*.c", true}, {"d?r/x", true}, {"[ab]", true}, {"d*/x", true}, {"plain/name.txt", false}};
  for (const Case& c : cases) EXPECT_EQ(PathName(c.text).has_wildcards(), c.wild) << c.text;
}

TEST(PathName, IsDirectory) {
  char dir_template[] = "/tmp/kvx_paths_XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  std::string base = dir_template;
  ASSERT_EQ(mkdir((base + "/sub").c_str(), 0777), 0);
  FILE* f = fopen((base + "/file").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);

  EXPECT_TRUE(PathName("no/such/dir/").is_directory());  // empty name: no file-system query
  EXPECT_TRUE(PathName((base + "/sub").c_str()).is_directory());
  EXPECT_FALSE(PathName((base + "/file").c_str()).is_directory());
  EXPECT_FALSE(PathName((base + "/missing").c_str()).is_directory());
  EXPECT_FALSE(PathName((base + "/s*").c_str()).is_directory());

  remove((base + "/file").c_str());
  rmdir((base + "/sub").c_str());
  rmdir(base.c_str());
}

TEST(PathName, VolumeNames) {
  PathName volume("arc.kvn");
  for (int expected = 1; expected <= 998; ++expected) {
    ASSERT_EQ(volume.next_volume_name(), &volume);
    char name[16];
    snprintf(name, sizeof name, "arc.%03d", expected);
    ASSERT_STREQ(volume.name, name);
  }
  EXPECT_EQ(volume.next_volume_name(), nullptr);
  EXPECT_STREQ(volume.name, "arc.998");

  struct Case {
    const char* text;
    const char* next;  // null: no successor, name unchanged
  } cases[] = {
      {"arc.kvx", "arc.001"},     {"arc.009x", "arc.010"},  {"arc", nullptr},
      {"a.b.c", "a.b.001"},       {"arc.", nullptr},      {"arc.99999999999999999999", nullptr},
      {"dir/arc.041", "arc.042"},
  };
  for (const Case& c : cases) {
    PathName p(c.text);
    std::string before = p.name;
    PathName* result = p.next_volume_name();
    if (c.next) {
      EXPECT_EQ(result, &p) << c.text;
      EXPECT_STREQ(p.name, c.next) << c.text;
    } else {
      EXPECT_EQ(result, nullptr) << c.text;
      EXPECT_EQ(before, p.name) << c.text;
    }
  }
}

int sign(int v) { return (v > 0) - (v < 0); }

TEST(PathCompare, Ordering) {
  struct Case {
    const char* a;
    const char* b;
    int order;
  } cases[] = {
      {"x/a", "x/b", -1},
      {"x/B", "x/a", 1},    // names ignore case first
      {"x/a", "x/A", 1},    // texts equal but for case still differ, byte order
      {"x/a", "x/a", 0},
      {"a/z", "b/a", -1},   // directory text first
      {"B/a", "a/z", 1},
      {"Src/b", "src/a", 1},  // directories equal but for case: the names decide
      {"Src/a", "src/a", -1},
      {"a", "sub/a", -1},   // "." sorts before letters
      {"x/\xe4", "x/z", 1},  // bytes compare unsigned
  };
  for (const Case& c : cases) {
    PathName a(c.a), b(c.b);
    EXPECT_EQ(sign(path_compare(a, b)), c.order) << c.a << " vs " << c.b;
    EXPECT_EQ(sign(path_compare(b, a)), -c.order) << c.b << " vs " << c.a;
  }
}

TEST(PathName, OverlongTextsAreRefusedWithAnError) {
  ErrorCapture errors;
  std::string longest = "d/" + std::string(PATH_MAX_TEXT - 3, 'n');
  PathName fits(longest.c_str());
  EXPECT_FALSE(fits.refused);
  EXPECT_EQ(longest, fits.full_path());
  EXPECT_EQ(errors.count(), 0);

  std::string too_long = "d/" + std::string(PATH_MAX_TEXT - 2, 'n');
  PathName refused(too_long.c_str());
  EXPECT_TRUE(refused.refused);
  EXPECT_STREQ(refused.name, "");
  EXPECT_FALSE(refused.is_directory());
  EXPECT_STREQ(refused.full_path(), "");
  EXPECT_EQ(errors.count(), 1);
  EXPECT_NE(errors.text().find("name is too long: d/nnn"), std::string::npos);

  // A copy of a refused path stays refused, without a second report.
  PathName copy(refused);
  EXPECT_TRUE(copy.refused);
  EXPECT_EQ(errors.count(), 1);

  // Joining two parts that fit alone but not together.
  std::string half(300, 'h');
  PathName joined(half.c_str(), half.c_str());
  EXPECT_TRUE(joined.refused);
  EXPECT_EQ(path_join(half.c_str(), half.c_str()), nullptr);
  EXPECT_EQ(errors.count(), 2);

  // A drive-relative text grows when joined again ("c:x" is "c:./x").
  std::string drive = "c:" + std::string(PATH_MAX_TEXT - 3, 'x');
  EXPECT_TRUE(PathName(drive.c_str()).refused);
  EXPECT_EQ(errors.count(), 3);

  // A later successful assign clears the refusal.
  refused.assign("fine/name");
  EXPECT_FALSE(refused.refused);
  EXPECT_STREQ(refused.full_path(), "fine/name");

  // A name filled in directly that no longer fits with its directory.
  PathName direct(half.c_str(), "x");
  memset(direct.name, 'q', 300);
  direct.name[300] = '\0';
  char buffer[PATH_MAX_TEXT];
  EXPECT_STREQ(direct.full_path(buffer), "");
  EXPECT_EQ(errors.count(), 4);

  // A volume name that would no longer fit.
  std::string volume = std::string(PATH_MAX_TEXT - 3, 'v') + ".";
  PathName near_limit(volume.c_str());
  EXPECT_FALSE(near_limit.refused);
  EXPECT_EQ(near_limit.next_volume_name(), nullptr);
}

TEST(PathName, NonUtf8BytesPassThrough) {
  PathName p("d\xff\xfe/\x80name\xc3.txt");
  EXPECT_STREQ(p.dir, "d\xff\xfe");
  EXPECT_STREQ(p.name, "\x80name\xc3.txt");
  EXPECT_STREQ(p.full_path(), "d\xff\xfe/\x80name\xc3.txt");
  EXPECT_TRUE(p.next_volume_name() != nullptr);
  EXPECT_STREQ(p.name, "\x80name\xc3.001");
}

class TestItem : public HashItem {
 public:
  TestItem(const char* text, int* destroyed) : text_(text), destroyed_(destroyed) {}
  ~TestItem() override {
    if (destroyed_) ++*destroyed_;
  }
  const char* key() const override { return text_.c_str(); }

 private:
  std::string text_;
  int* destroyed_;
};

TEST(NameHashTable, SizeFromBucketSizes) {
  struct Case {
    int requested;
    int buckets;
  } cases[] = {{-3, 5}, {0, 5}, {5, 5}, {6, 13}, {24, 37}, {203, 203}, {1000, 1501}, {1501, 1501}, {5000, 1501}};
  for (const Case& c : cases) EXPECT_EQ(NameHashTable(c.requested).bucket_count(), c.buckets) << c.requested;
  EXPECT_EQ(directory_pool().bucket_count(), 203);
}

TEST(NameHashTable, HashSpreadsBySignedBytes) {
  NameHashTable table(5);
  EXPECT_EQ(table.bucket_of(""), 0);
  EXPECT_EQ(table.bucket_of("a"), (97 + 17) % 5);
  EXPECT_EQ(table.bucket_of("ab"), (98 + 8 * 114 + 17) % 5);
  EXPECT_EQ(table.bucket_of("\xff"), (-1 + 17) % 5);  // 0xFF counts as -1
  // Large negative sums wrap modulo 2^32 before the bucket is taken.
  EXPECT_EQ(table.bucket_of("\x80"), static_cast<int>(static_cast<uint32_t>(-128 + 17) % 5u));
}

TEST(NameHashTable, InsertFindRemoveSnapshot) {
  int destroyed = 0;
  NameHashTable table(5);
  const int count = 40;  // eight per bucket: long chains
  TestItem* items[count];
  for (int i = 0; i < count; ++i) {
    items[i] = new TestItem(("key" + std::to_string(i)).c_str(), &destroyed);
    ASSERT_EQ(table.insert(items[i]), 0);
  }
  EXPECT_EQ(table.item_count(), count);

  TestItem duplicate("key7", &destroyed);
  EXPECT_EQ(table.insert(&duplicate), -1);
  EXPECT_EQ(table.item_count(), count);
  EXPECT_EQ(table.find("key7"), items[7]);
  EXPECT_EQ(table.get("key39"), items[39]);
  EXPECT_EQ(table.lookup("KEY7"), nullptr);  // case matters
  EXPECT_EQ(table.lookup("nothing"), nullptr);
  EXPECT_GT(table.probes(), 0);
  EXPECT_EQ(table.lookups(), 4);

  // The snapshot holds every item once, bucket by bucket.
  ASSERT_EQ(table.snapshot(), count);
  int last_bucket = -1;
  bool seen[count] = {};
  for (int i = 0; i < count; ++i) {
    HashItem* item = table.item_at(i);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(table.at(i), item);
    int bucket = table.bucket_of(item->key());
    EXPECT_GE(bucket, last_bucket);
    last_bucket = bucket;
    int index = atoi(item->key() + 3);
    EXPECT_FALSE(seen[index]);
    seen[index] = true;
  }
  EXPECT_EQ(table.item_at(count), nullptr);
  EXPECT_EQ(table.item_at(-1), nullptr);

  // Removal goes by key: an equal-keyed stand-in removes the stored item.
  EXPECT_EQ(table.remove(&duplicate), 0);
  EXPECT_EQ(table.item_count(), count - 1);
  EXPECT_EQ(table.lookup("key7"), nullptr);
  EXPECT_EQ(table.remove(&duplicate), -1);
  EXPECT_EQ(table.snapshot(), count - 1);
  for (int i = 0; i < count - 1; ++i) EXPECT_NE(table.item_at(i), items[7]);
  EXPECT_EQ(destroyed, 0);  // removal never destroys items
  delete items[7];
  EXPECT_EQ(destroyed, 1);

  table.release(true);
  EXPECT_EQ(destroyed, count);
  EXPECT_EQ(table.item_count(), 0);
  EXPECT_EQ(table.lookup("key1"), nullptr);
  EXPECT_EQ(table.item_at(0), nullptr);

  // The table can be filled again after a release.
  TestItem again("again", nullptr);
  EXPECT_EQ(table.insert(&again), 0);
  EXPECT_EQ(table.find("again"), &again);
  table.release(false);
}

}  // namespace

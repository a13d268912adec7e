// The command-line parser: command letters, switch arithmetic, names,
// response-file positions, the archive-kind table and the switch checks.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formats/format_table.h"
#include "driver/cmdline.h"
#include "driver/entry.h"
#include "driver/replace.h"
#include "platform/console.h"

namespace {

// Frees what the switch record and the driver state own and starts them afresh.
void reset_state() {
  for (int i = 0; i < options.exclusionCount; ++i) delete options.exclusions[i];
  delete options.workDirectory;
  delete options.outputDirectory;
  delete options.commentFile;
  for (int i = 0; i < options.nameCount; ++i) free(options.names[i]);
  free(options.names);
  free(options.nameTextFlags);
  options = Options{};
  delete driverState.archivePath;
  driverState = DriverState{};
}

class Parser : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_state();
    platformSettings.language = 1;
    select_catalog();
    errors_ = tmpfile();
    console_use_streams(nullptr, errors_, nullptr);
    set_error_count(0);
  }
  void TearDown() override {
    reset_state();
    console_use_streams(nullptr, stderr, nullptr);
    fclose(errors_);
  }
  std::string errors() {
    fflush(errors_);
    rewind(errors_);
    std::string text;
    int c;
    while ((c = fgetc(errors_)) != EOF) text += static_cast<char>(c);
    return text;
  }
  // A file in the test's temporary directory.
  std::string write_temp(const std::string& content) {
    char name[] = "/tmp/kvx_switches_XXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
    temps_.push_back(name);
    return name;
  }
  ~Parser() override {
    for (const std::string& t : temps_) unlink(t.c_str());
  }

  FILE* errors_ = nullptr;
  std::vector<std::string> temps_;
};

TEST_F(Parser, VolumeSize) {
  const struct {
    const char* text;
    int size;
  } rows[] = {
      {"-v", 1450000},        {"-v1440k", 1474560},    {"-v720b", 368640},
      {"-v1.44", 144},        {"-vf", -1},             {"-vx", 1450000},
      {"-v12K34", 12288},     {"-v1B", 512},           {"-v0", 0},
      {"-v99999999999999999999999", 2147483647},        {"-v4194304k", 2147483647},
      {"-v5000000b", 2147483647},
  };
  for (const auto& row : rows) {
    options.volumeSize = 7;
    parse_switch(row.text);
    EXPECT_EQ(options.volumeSize, row.size) << row.text;
  }
}

TEST_F(Parser, CompressionLevelAndHighMethod) {
  const struct {
    const char* text;
    int level;
    int order;
  } rows[] = {
      {"-+", 2, 0},  {"-+0", 2, 0},  {"-+1", 1, 0},  {"-+2", 9, 0},  {"-+3", -1, 0}, {"-+4", -2, 0},
      {"-+x", 9, 0}, {"-++", 9, 4},  {"-++3", 9, 3}, {"-++5", 9, 5}, {"-++4", 9, 4}, {"-++9", 9, 4},
  };
  for (const auto& row : rows) {
    codecSettings.level = 9;
    codecSettings.highMethodOrder = 0;
    parse_switch(row.text);
    EXPECT_EQ(codecSettings.level, row.level) << row.text;
    EXPECT_EQ(codecSettings.highMethodOrder, row.order) << row.text;
  }
}

TEST_F(Parser, ConfirmMask) {
  const struct {
    const char* text;
    unsigned mask;
  } rows[] = {
      {"-q", 0xffff}, {"-qd", 0x01}, {"-qa", 0x02}, {"-qda", 0x03}, {"-qzx", 0x20}, {"-qdafurxw", 0x7f}, {"-qQ", 0},
  };
  for (const auto& row : rows) {
    options.confirmMask = 0;
    parse_switch(row.text);
    EXPECT_EQ(options.confirmMask, row.mask) << row.text;
  }
}

TEST_F(Parser, ExclusionsKeepTheFirst64) {
  for (int i = 0; i < 65; ++i) parse_switch(("-ex" + std::to_string(i)).c_str());
  ASSERT_EQ(options.exclusionCount, 64);
  EXPECT_STREQ(options.exclusions[0]->name, "x0");
  EXPECT_STREQ(options.exclusions[63]->name, "x63");
  EXPECT_EQ(errors(), "");
}

TEST_F(Parser, SwitchesWithNamesAndCounters) {
  for (const char* s : {"-a", "-a", "-b", "-d", "-5", "-/", "-y", "-z", "-s", "-jm", "-ju", "-cg", "-cl", "-cl"}) {
    parse_switch(s);
  }
  EXPECT_EQ(platformSettings.pageOutput, 2);
  EXPECT_EQ(codecSettings.blockMode, 1);
  EXPECT_EQ(options.dirBlock, 1);
  EXPECT_EQ(codecSettings.methodFive, 1);
  EXPECT_EQ(platformSettings.stripLeadingSlash, 2);
  EXPECT_EQ(options.assumeYes, 1);
  EXPECT_EQ(options.storePackedExtensions, 2);
  EXPECT_EQ(archiveSettings.ignoreTextFlags, 1);
  EXPECT_EQ(options.allowWildcardModify, 2);
  EXPECT_EQ(options.editArchiveComment, 1);
  EXPECT_EQ(options.commentPerFile, 2);

  parse_switch("-oout/");
  parse_switch("-oother");
  ASSERT_NE(options.outputDirectory, nullptr);
  EXPECT_STREQ(options.outputDirectory->name, "other");
  parse_switch("-c@notes.txt");
  ASSERT_NE(options.commentFile, nullptr);
  EXPECT_STREQ(options.commentFile->name, "notes.txt");
  EXPECT_EQ(options.commentFileCount, 1);
  parse_switch("-jt");
  EXPECT_EQ(options.textMode, 1);
  parse_switch("-jb");
  EXPECT_EQ(options.textMode, 0);
  parse_switch("-cs");
  EXPECT_EQ(options.showArchiveComment, 0);
  for (const char* s : {"-r", "-t", "-u", "-f", "-k", "-m", "-jc", "-n", "-p", "-g1secret", "-g7"}) parse_switch(s);
  EXPECT_EQ(platformSettings.pathMode + options.testAfter + options.updateOnly + options.freshOnly + options.keepBroken +
                options.moveFiles + codecSettings.narrowWindow,
            7);
  EXPECT_EQ(errors(), "");
  EXPECT_EQ(error_count(), 0);
}

TEST_F(Parser, LanguageSwitchSelectsTheCatalogue) {
  platformSettings.language = 1;
  parse_switch("-lru");
  EXPECT_EQ(platformSettings.language, 0);
  EXPECT_STREQ(message_text(9), catalog_text(0, 9));
  parse_switch("-lEN");   // compared with case: no change
  EXPECT_EQ(platformSettings.language, 0);
  parse_switch("-len");
  EXPECT_EQ(platformSettings.language, 1);
  EXPECT_STREQ(message_text(9), "Unknown command `%'");
}

TEST_F(Parser, UnknownSwitchesAreReported) {
  for (const char* s : {"-", "-X", "-cz", "-j", "-c"}) parse_switch(s);
  EXPECT_EQ(errors(),
            "\aUnknown command `'\n\aUnknown command `X'\n\aUnknown command `cz'\n"
            "\aUnknown command `j'\n\aUnknown command `c'\n");
}

TEST_F(Parser, Commands) {
  const struct {
    const char* text;
    CommandCode command;
    int errors;
  } rows[] = {
      {"a", Add, 0},      {"-a", Add, 0},         {"/a", Add, 0},       {"m", Add, 0},        {"n", Create, 0},
      {"b", Create, 0},   {"d", Delete, 0},       {"f", Fresh, 0},      {"h", Help, 0},       {"?", Help, 0},
      {"hxyz", Help, 0},  {"j", CommandJ, 0},     {"l", List, 0},       {"v", List, 0},       {"(", List, 0},
      {"o", ListO, 0},    {"t", CommandCode::Test, 0},         {"u", Update, 0},     {"e", Extract, 0},    {"x", Extract, 0},
      {"=", CommandEquals, 0}, {"^", CommandCaret, 0}, {"s", CommandS, 0}, {"c", None, 0},     {"q", None, 1},
      {"ax", Add, 1},     {"@list", None, 2},     {"", None, 1},        {"-", None, 1},       {"--", None, 1},
      {"A", None, 1},
  };
  for (const auto& row : rows) {
    reset_state();
    set_error_count(0);
    parse_command(row.text);
    EXPECT_EQ(options.command, row.command) << row.text;
    EXPECT_EQ(error_count(), row.errors) << row.text;
  }
}

TEST_F(Parser, CommandSideSettings) {
  parse_command("b");
  EXPECT_EQ(platformSettings.pathMode, 1);
  EXPECT_EQ(options.testAfter, 1);
  EXPECT_EQ(codecSettings.level, -2);
  parse_command("e");
  EXPECT_EQ(platformSettings.pathMode, 0);
  parse_command("m");
  EXPECT_EQ(options.moveFiles, 1);
  parse_command("v");
  EXPECT_EQ(options.listLayout, 0);
  parse_command("(");
  EXPECT_EQ(options.listLayout, 2);
  parse_command("he");
  EXPECT_EQ(platformSettings.language, 1);
  parse_command("hr");
  EXPECT_EQ(platformSettings.language, 0);
  EXPECT_STREQ(message_text(9), catalog_text(0, 9));
}

TEST_F(Parser, ArgumentsAndNames) {
  parse_argument("@list", 1);   // the command argument, never a response file
  EXPECT_NE(errors().find("Unknown command `@list'"), std::string::npos);
  parse_argument("--v", 2);
  parse_argument("--", 3);
  parse_argument("name", 4);
  parse_argument("-jt", 5);
  parse_argument("", 6);
  ASSERT_EQ(options.nameCount, 4);
  EXPECT_STREQ(options.names[0], "-v");
  EXPECT_STREQ(options.names[1], "-");
  EXPECT_STREQ(options.names[2], "name");
  EXPECT_STREQ(options.names[3], "");
  EXPECT_EQ(options.nameTextFlags[2], 0);
  EXPECT_EQ(options.nameTextFlags[3], 1);
  for (int i = 0; i < 100; ++i) add_name(std::to_string(i).c_str());
  ASSERT_EQ(options.nameCount, 104);
  EXPECT_STREQ(options.names[103], "99");
}

TEST_F(Parser, OptionsFileWordsNeverBecomeTheCommand) {
  std::string file = write_temp("a\t-b\r\n-len");
  read_response_file(file.c_str(), OPTIONS_FILE_BASE);
  EXPECT_EQ(options.command, None);
  ASSERT_EQ(options.nameCount, 1);
  EXPECT_STREQ(options.names[0], "a");
  EXPECT_EQ(codecSettings.blockMode, 1);
  EXPECT_EQ(platformSettings.language, 1);

  std::string second = write_temp("x");
  read_response_file(second.c_str(), 2);   // a response file after the command
  EXPECT_EQ(options.command, None);
  EXPECT_STREQ(options.names[1], "x");
}

TEST_F(Parser, ResponseFileErrors) {
  read_response_file("/nonexistent/list", 2);
  EXPECT_EQ(errors(), "\aResponce file /nonexistent/list did not found\n");
}

TEST_F(Parser, ExtensionTable) {
  const struct {
    const char* word;
    int index;
  } rows[] = {{"kvn", 0}, {"EXE", 0}, {"kvx", 2}, {"ARJ", 3}, {"zip", 4}, {"Lzh", 5}, {"tar", 6},
              {"kv2", 7}, {"", 7},    {"tarx", 7}, {"zi", 7}};
  for (const auto& row : rows) EXPECT_EQ(kind_index_of(row.word), row.index) << row.word;
  const char* extensions[] = {".kvn", ".kv2", ".kvx", ".arj", ".zip", ".lzh", "", ""};
  for (int i = 0; i < ARCHIVE_KIND_COUNT; ++i) EXPECT_STREQ(default_extension(i), extensions[i]);

  set_kind_from_extension("zip");
  set_kind_from_extension("kvn");   // the first setting wins
  EXPECT_EQ(options.archiveKindIndex, 4);
  EXPECT_EQ(archiveSettings.ignoreTextFlags, 0);
  reset_state();
  set_kind_from_extension("Exe");
  EXPECT_EQ(options.archiveKindIndex, 0);
  EXPECT_EQ(archiveSettings.ignoreTextFlags, 1);
}

TEST_F(Parser, ArchiveNameResolution) {
  const struct {
    const char* given;
    const char* kindSwitch;
    const char* path;
    int kind;
  } rows[] = {
      {"arc", nullptr, "arc.kvn", 0},       {"arc", "-izip", "arc.zip", 4}, {"arc", "-itar", "arc", 6},
      {"d/arc.ZIP", nullptr, "d/arc.ZIP", 4}, {"arc.x", nullptr, "arc.x", 7}, {"arc.zip", "-ikvx", "arc.zip", 2},
  };
  for (const auto& row : rows) {
    reset_state();
    if (row.kindSwitch) parse_switch(row.kindSwitch);
    PathName* path = resolve_archive_name(PathName(row.given));
    EXPECT_STREQ(path->full_path(), row.path) << row.given;
    EXPECT_EQ(options.archiveKindIndex, row.kind) << row.given;
    delete path;
  }
}

TEST_F(Parser, UpdateWinsOverFresh) {
  options.command = Extract;
  parse_switch("-u");
  parse_switch("-f");
  check_options();
  EXPECT_EQ(options.freshOnly, 0);
  EXPECT_EQ(options.extractOverwriteMode, 4);
  reset_state();
  options.command = Extract;
  parse_switch("-f");
  check_options();
  EXPECT_EQ(options.extractOverwriteMode, 5);
}

TEST_F(Parser, FailedChecksEndTheRun) {
  const struct {
    const char* switches[3];
    CommandCode command;
    const char* message;
  } rows[] = {
      {{"-b", "-d", nullptr}, List, "Block and dir-block not allowed together"},
      {{"-b", "-izip", nullptr}, List, "Block mode allowed only for kvn archives"},
      {{"-d", "-iarj", nullptr}, List, "Block mode allowed only for kvn archives"},
      {{"-izip", nullptr, nullptr}, Add, "kvx or kvn archives only can modify"},
      {{"-++", "-v", nullptr}, List, "Multivolume yet does not support for high method"},
      {{"-5", "-v", nullptr}, List, "Multivolume does not support method five"},
  };
  console_use_streams(nullptr, stderr, nullptr);
  for (const auto& row : rows) {
    reset_state();
    platformSettings.language = 1;
    options.command = row.command;
    for (const char* s : row.switches) {
      if (s) parse_switch(s);
    }
    EXPECT_EXIT(check_options(), ::testing::ExitedWithCode(1), row.message);
  }
}

TEST_F(Parser, OptionsFileName) {
  char out[PATH_MAX_TEXT];
  ASSERT_TRUE(options_file_name("/usr/local/bin/kvx", out, sizeof out));
  EXPECT_STREQ(out, "/usr/local/bin/kvx.ini");
  ASSERT_TRUE(options_file_name("/x/ARC.EXE", out, sizeof out));
  EXPECT_STREQ(out, "/x/ARC.ini");
  ASSERT_TRUE(options_file_name("/home/u/.local/bin/kvx", out, sizeof out));
  EXPECT_STREQ(out, "/home/u/.local/bin/kvx.ini");
  EXPECT_FALSE(options_file_name("/x/kvx.ini", out, sizeof out));   // never the program itself
  EXPECT_FALSE(options_file_name("", out, sizeof out));
  EXPECT_FALSE(options_file_name("/a/kvx", out, 10));
}

TEST_F(Parser, TemporaryNames) {
  driverState.archivePath = new PathName("sub/arc.kvn");
  PathName* zero = temp_archive_name(0);
  PathName* one = temp_archive_name(1);
  EXPECT_STREQ(zero->dir, driverState.archivePath->dir);
  ASSERT_EQ(strlen(zero->name), 12u);
  EXPECT_EQ(std::string(zero->name, 6), "_kv0##");
  EXPECT_EQ(std::string(one->name, 6), "_kv1##");
  EXPECT_STREQ(zero->name + 6, one->name + 6);
  for (const char* p = zero->name + 6; *p; ++p) EXPECT_TRUE(*p >= '0' && *p <= '7') << zero->name;

  parse_switch("-w/tmp");
  PathName* work = temp_archive_name(0);
  EXPECT_STREQ(work->dir, "/tmp");
  parse_switch("-w/nonexistent/dir");
  PathName* fallback = temp_archive_name(0);
  EXPECT_STREQ(fallback->dir, driverState.archivePath->dir);
  delete zero;
  delete one;
  delete work;
  delete fallback;
}

TEST_F(Parser, OutputDirectoryRule) {
  char dir[] = "/tmp/kvx_outdir_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const struct {
    CommandCode command;
    const char* dashO;        // -o switch, or null
    const char* second;       // the name after the archive, or null
    const char* output;       // resulting output directory, null for none
    int namesLeft;
  } rows[] = {
      {Extract, nullptr, dir, dir, 0},
      {Extract, nullptr, "new/", "new", 0},
      {Extract, nullptr, "file.txt", nullptr, 1},
      {Extract, nullptr, "/tmp/*", nullptr, 1},
      {Extract, nullptr, "", nullptr, 1},
      {Extract, "-oout", "file.txt", nullptr, 1},  // a file specification voids -o
      {Extract, "-oout", dir, dir, 0},
      {Extract, "-oout", nullptr, "out", 0},
      {List, "-oout", dir, nullptr, 1},
  };
  for (const auto& row : rows) {
    reset_state();
    options.command = row.command;
    if (row.dashO) parse_switch(row.dashO);
    if (row.second) add_name(row.second);
    take_output_directory();
    if (row.output) {
      ASSERT_NE(options.outputDirectory, nullptr) << row.second;
      EXPECT_STREQ(options.outputDirectory->full_path(), row.output);
    } else {
      EXPECT_EQ(options.outputDirectory, nullptr) << (row.second ? row.second : "");
    }
    EXPECT_EQ(options.nameCount, row.namesLeft);
  }
  rmdir(dir);
}

}  // namespace

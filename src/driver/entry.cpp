// The start-up sequence of kvx: banner, options file, command line, archive
// name, file specifications, temporary names, dispatch and the exit status.
#include "driver/entry.h"

#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "formats/format_table.h"
#include "archive/resources.h"
#include "driver/cmdline.h"
#include "driver/dispatch.h"
#include "driver/extract.h"
#include "driver/fatal.h"
#include "driver/replace.h"
#include "platform/console.h"
#include "platform/os.h"

#if defined(__clang__)
#define KVX_TOOLCHAIN "clang " __clang_version__ " "
#elif defined(__GNUC__)
#define KVX_TOOLCHAIN "gcc " __VERSION__ " "
#else
#define KVX_TOOLCHAIN "c++ "
#endif

namespace {

const char kBanner[] = "Packing program KVX 2.3 for DOS,*NIX,NT/95 " KVX_TOOLCHAIN "Apr 29 1997\n";
const char* const kEmptyArchiveName = "empty archive name";
const char* const kNothingFound = "%: no such file";

char programPathBuffer[4096];

const char* find_program_path(const char* argv0) {
  ssize_t n = readlink("/proc/self/exe", programPathBuffer, sizeof programPathBuffer - 1);
  if (n > 0) {
    programPathBuffer[n] = 0;
    return programPathBuffer;
  }
  return argv0 ? argv0 : "";
}

// The command argument chooses Print: its data goes to standard output, so
// the banner must not.
bool chooses_print(const char* command) {
  if (*command == '-' || *command == '/') ++command;
  return *command == 'p';
}

void print_banner(bool toErrorStream) {
  if (toErrorStream) {
    fputs(kBanner, error_stream());
    fflush(error_stream());
  } else {
    print_text(kBanner);
  }
}

// Reads an options file when it exists, unless it is the file read before
// (seen, with mode 0 when none was): its words never become the command.
void read_options_file(const char* name, FileStatus& seen) {
  PathName path(name);
  FileStatus status{};
  if (path.refused || path_stat(path, status) != 0) return;
  if (seen.mode != 0 && status.device == seen.device && status.inode == seen.inode) return;
  seen = status;
  read_response_file(name, OPTIONS_FILE_BASE);
}

// The options file beside the program, then the user's own, so that the
// user's choices come after the installation's.
void read_options_files() {
  FileStatus seen{};
  char name[PATH_MAX_TEXT];
  if (options_file_name(driverState.programPath, name, sizeof name)) read_options_file(name, seen);
  if (user_options_file_name(getenv("XDG_CONFIG_HOME"), getenv("HOME"), name, sizeof name))
    read_options_file(name, seen);
}

bool has_wildcard_text(const char* text) { return strpbrk(text, "*?[") != nullptr; }

// Removes names[0] from the name list; the caller keeps the text.
char* take_first_name() {
  char* first = options.names[0];
  --options.nameCount;
  memmove(options.names, options.names + 1, sizeof(char*) * options.nameCount);
  memmove(options.nameTextFlags, options.nameTextFlags + 1, options.nameCount);
  return first;
}

void choose_default_command() {
  if (options.command != None) return;
  if (options.testAfter) {
    options.command = Test;
  } else if (archiveSettings.ignoreTextFlags) {
    options.command = CommandS;
  } else {
    options.command = List;
    options.listLayout = 1;
  }
}

// The exclusions of "-e" go to the scan, which applies them to every name
// found on disk and every member.
void take_exclusions() {
  for (int i = 0; i < options.exclusionCount; ++i) {
    if (spec_insert(platformSettings.exclusions, *options.exclusions[i], 0) != 0) {
      fatal_error(message_text(MSG_NO_MEMORY));
    }
  }
}

void build_file_specs() {
  const int flags = command_spec_flags(options.command);
  if (options.nameCount == 0) {
    if (options.command != Delete) {
      spec_add(driverState.fileSpecs, PathName("*"), flags | (options.textMode ? SPEC_TEXT : 0));
    }
    return;
  }
  for (int i = 0; i < options.nameCount; ++i) {
    PathName spec(options.names[i]);
    if (spec.refused || spec_excluded(spec)) continue;
    const int foundBefore = spec_found_count();
    spec_add(driverState.fileSpecs, spec, flags | SPEC_GIVEN | (options.nameTextFlags[i] ? SPEC_TEXT : 0));
    // A name given to be added that names nothing is not passed over in silence.
    if ((flags & SPEC_SCAN) && spec_found_count() == foundBefore) report_error_path(kNothingFound, spec);
  }
}

// Drops the temporary names (compared by name alone) from the file
// specifications.
void remove_temporary_specs() {
  if (!driverState.usesTempArchive) return;
  const int pathMode = platformSettings.pathMode;
  platformSettings.pathMode = 0;
  spec_remove_matching(driverState.fileSpecs, *driverState.tempArchivePath);
  spec_remove_matching(driverState.fileSpecs, *driverState.backupArchivePath);
  platformSettings.pathMode = pathMode;
}

// The archive and its temporary names are never file specifications of the
// run itself.
void remove_archive_specs() {
  const int pathMode = platformSettings.pathMode;
  platformSettings.pathMode = 0;
  spec_remove_matching(driverState.fileSpecs, *driverState.archivePath);
  if (driverState.usesTempArchive) {
    spec_remove_matching(driverState.fileSpecs, *driverState.tempArchivePath);
    spec_remove_matching(driverState.fileSpecs, *driverState.backupArchivePath);
  }
  platformSettings.pathMode = pathMode;
}

int add_clamped(int total, int count) {
  long long sum = static_cast<long long>(total) + count;
  return sum > INT_MAX ? INT_MAX : static_cast<int>(sum);
}

// An archive name with wildcards: every matching archive is processed in
// turn. The status is the sum of the error counts after each archive.
int run_wildcard_archives() {
  if (!options.allowWildcardModify && (command_is_modifying(options.command) || options.moveFiles)) {
    fatal_error(message_text(MSG_NO_WILDCARD_MODIFY));
  }
  // A name refused while the temporary names were made leaves nothing safe to do.
  if (error_count() != 0) exit(1);

  spec_add(driverState.archiveSpecs, *driverState.archivePath, SPEC_SCAN);
  if (!driverState.archiveSpecs) {
    return report_error_path(message_text(MSG_ARCHIVE_NOT_FOUND), *driverState.archivePath);
  }
  int total = 0;
  // A name counts as found when any of the archives has it.
  clear_spec_marks(driverState.fileSpecs);
  defer_unmatched_specs(true);
  for (SpecNode* node = driverState.archiveSpecs; node; node = node->next) {
    PathName* found = resolve_archive_name(*node->path);
    if (found->refused) {
      delete found;
    } else {
      delete driverState.archivePath;
      driverState.archivePath = found;
      remove_archive_specs();
      dispatch(options.command);
    }
    total = add_clamped(total, error_count());
  }
  defer_unmatched_specs(false);
  const int errorsBefore = error_count();
  report_unmatched_specs(driverState.fileSpecs);
  return add_clamped(total, error_count() - errorsBefore);
}

void show_help(bool full) {
  // Test and print show no help.
  if (options.command == Test || options.command == Print) return;
  platformSettings.pageOutput = 1;
  if (full) {
    show_full_help(driverState.programPath, platformSettings.language);
  } else {
    show_brief_help(driverState.programPath, platformSettings.language);
  }
}

}  // namespace

bool options_file_name(const char* programPath, char* out, int size) {
  const char* slash = strrchr(programPath, '/');
  const char* fileName = slash ? slash + 1 : programPath;
  const char* dot = strrchr(fileName, '.');
  size_t keep = dot ? static_cast<size_t>(dot - programPath) : strlen(programPath);
  if (keep + 5 > static_cast<size_t>(size) || (keep == 0 && !dot)) return false;
  memcpy(out, programPath, keep);
  memcpy(out + keep, ".ini", 5);
  return strcmp(out, programPath) != 0;
}

bool user_options_file_name(const char* configHome, const char* home, char* out, int size) {
  int length;
  // A relative configuration directory is not a valid one: the default holds.
  if (configHome && configHome[0] == '/') {
    length = snprintf(out, static_cast<size_t>(size), "%s/kvx/kvx.ini", configHome);
  } else {
    if (!home || !*home) {
      const passwd* user = getpwuid(getuid());
      home = user ? user->pw_dir : nullptr;
    }
    if (!home || !*home) return false;
    length = snprintf(out, static_cast<size_t>(size), "%s/.config/kvx/kvx.ini", home);
  }
  return length > 0 && length < size;
}

void take_output_directory() {
  if (options.command != Extract) {
    delete options.outputDirectory;
    options.outputDirectory = nullptr;
    return;
  }
  // With no name after the archive, an output directory given by -o stands.
  // Otherwise the second name decides: an existing directory (or a text
  // ending in a separator) becomes the output directory, anything else is a
  // file specification and leaves no output directory at all.
  if (options.nameCount == 0) return;
  delete options.outputDirectory;
  options.outputDirectory = nullptr;
  if (options.names[0][0] == 0 || has_wildcard_text(options.names[0])) return;
  PathName candidate(options.names[0]);
  if (candidate.refused || !candidate.is_directory()) return;
  options.outputDirectory = new (std::nothrow) PathName(candidate);
  if (!options.outputDirectory) fatal_error(message_text(MSG_NO_MEMORY));
  free(take_first_name());
}

PathName* resolve_archive_name(const PathName& given) {
  PathName* path = nullptr;
  const char* dot = strrchr(given.name, '.');
  if (dot) {
    set_kind_from_extension(dot + 1);
    path = new (std::nothrow) PathName(given);
  } else {
    char name[PATH_MAX_TEXT + 8];
    snprintf(name, sizeof name, "%s%s", given.name, default_extension(options.archiveKindIndex));
    path = new (std::nothrow) PathName(given.dir, name);
  }
  if (!path) fatal_error(message_text(MSG_NO_MEMORY));
  return path;
}

int kvx_main(int argc, char** argv) {
  driverState.programPath = find_program_path(argc > 0 ? argv[0] : nullptr);
  console_init();
  print_banner(argc > 1 && chooses_print(argv[1]));
  // The banner is the version line.
  if (argc > 1 && strcmp(argv[1], "--version") == 0) return 0;
  select_catalog();
  install_interrupt_handler();
  install_archive_cleanup();
  read_options_files();

  if (argc < 2) {
    show_help(false);
    return 0;
  }
  for (int i = 1; i < argc; ++i) parse_argument(argv[i], i);
  // Parse errors were shown and are forgotten, except failed arguments (a
  // name refused for its length, an unreadable response file): the run
  // cannot do what was asked without them, and check_options ends it.
  set_error_count(failed_argument_count());
  select_catalog();

  choose_default_command();
  if (options.nameCount == 0) {
    show_help(options.command == Help);
    return 0;
  }
  char* archiveText = take_first_name();
  if (archiveText[0] == 0) {
    report_error(kEmptyArchiveName);
    exit(1);
  }
  driverState.archivePath = new (std::nothrow) PathName(archiveText);
  if (!driverState.archivePath) fatal_error(message_text(MSG_NO_MEMORY));
  free(archiveText);
  if (driverState.archivePath->refused) exit(1);

  take_output_directory();
  check_options();
  take_exclusions();
  build_file_specs();
  if (command_is_modifying(options.command)) {
    driverState.usesTempArchive = 1;
    driverState.tempArchivePath = temp_archive_name(0);
    driverState.backupArchivePath = temp_archive_name(1);
  } else {
    driverState.usesTempArchive = 0;
  }
  remove_temporary_specs();

  if (driverState.archivePath->has_wildcards()) return run_wildcard_archives();

  PathName* archive = resolve_archive_name(*driverState.archivePath);
  delete driverState.archivePath;
  driverState.archivePath = archive;
  remove_archive_specs();
  check_options();

  dispatch(options.command);
  if (error_count() != 0) print_text(message_text(MSG_ERRORS_DETECTED));
  return error_count();
}

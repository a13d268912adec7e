// Extract, test and print: walks the archive and its volumes, selects
// members, decides output paths with the directory and overwrite questions,
// decodes each member and reports its result.
#include "driver/extract.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "formats/format_table.h"
#include "archive/dos_time.h"
#include "archive/member.h"
#include "codec/methods.h"
#include "driver/fatal.h"
#include "driver/formatting.h"
#include "driver/options.h"
#include "driver/prompts.h"
#include "platform/console.h"
#include "platform/fatal.h"
#include "platform/iofile.h"
#include "platform/os.h"

namespace {


const char* const kUnsafePath = "%: path leads outside the output directory, not extracted";
const char* const kLineEndInName = "%: name holds a line end, not extracted";
const char* const kNoName = "member without a file name, not extracted";
const char* const kPieceGap = "%: piece does not continue the file, not extracted";
const char* const kLinkOnTheWay = "%: path leads through a symbolic link, not extracted";
const char* const kCannotSetOwner = "%: cannot set owner";
const char* const kDirectoryInTheWay = "%: a directory is in the way, not extracted";
const char* const kArchiveItself = "%: is the archive being read, not overwritten";
const char* const kVolumeMissing = "%: volume not found";
constexpr int kVolumeQuestionsWithoutTerminal = 3;  // answers read from a pipe or file
constexpr uint32_t HIDDEN_ENTRY = 0x80000000u;

// Values of options.extractOverwriteMode.
enum OverwriteMode : int {
  OVERWRITE_ASK = 0,
  OVERWRITE_ALL = 2,
  OVERWRITE_UPDATE = 4,   // older files are replaced, missing ones created
  OVERWRITE_FRESH = 5,    // older files are replaced, nothing new is created
  OVERWRITE_RENAME = 6,   // the current member was given a new name: ask again for it
  OVERWRITE_SKIP_ALL = 8,
};

// Member modes handed on by extract_selected.
enum MemberMode : int {
  MEMBER_SELECTED = 0,
  MEMBER_BLOCK_UNSELECTED = 1,
  MEMBER_BLOCK_SELECTED = 2,
};

// The directory of the previous member (pooled text, compared by pointer) and
// the answer to the directory question for it.
const char* lastDirectory = nullptr;
bool skipLastDirectory = false;

// The names quoted by "%: read error" and "%: write error" during a member.
PathName& read_source() {
  static PathName name("");
  return name;
}

// Decodes a member only to keep a block-mode stream in step: no output,
// no action line, no result.
void decode_quietly(ArchiveFile* archive) { archive->extract(archive, nullptr, nullptr, nullptr); }

// The result line of a decoded member, unless an error was already counted
// for it: "CRC error" (counted) on a mismatch, else "file OK" or "OK".
void report_result(ArchiveFile* archive, uint32_t check, bool fileWritten, int mode, int errorsBefore) {
  if (error_count() != errorsBefore) return;
  // A member that gave other than its size is damaged even when the bytes it
  // did give check out (a stored member whose two sizes differ, say).
  if (check != archive->entry.dataCrc || transfer.outputCount != archive->entry.unpackedSize) {
    report_error(message_text(MSG_CRC_ERROR));
    note_failure(archive);
    return;
  }
  print_text(message_text(mode != MEMBER_SELECTED && !fileWritten ? MSG_FILE_OK : MSG_OK));
}

// Decodes the member into output (null: test only) with its action line and
// result.
void decode_member(ArchiveFile* archive, IoFile* output, const PathName& target, int mode, int errorsBefore) {
  uint32_t check = archive->extract(archive, output, &archive->entry.name, &target);
  report_result(archive, check, output != nullptr, mode, errorsBefore);
}

}  // namespace

namespace {

// The part of a member's output path below the output directory, in
// canonical form: its stored path when paths are kept, else its name part.
// False when it does not fit a path.
bool member_relative_path(const EntryInfo& entry, char* relative) {
  char text[PATH_MAX_TEXT];
  if (platformSettings.pathMode) {
    entry.name.full_path(text);
  } else {
    strcpy(text, entry.name.name);
  }
  return path_normalize(relative, text, PATH_MODE_NORMAL) == 0;
}

}  // namespace

// Judged on the name as stored (the reader's verdict), on the member's path
// and on the canonical form the output path is made of: the canonical form
// drops the final dot of a name, so "..." becomes "..".
bool member_path_safe(const EntryInfo& entry) {
  if (entry.nameProblem == NAME_OUTSIDE) return false;
  char stored[PATH_MAX_TEXT];
  entry.name.full_path(stored);
  char relative[PATH_MAX_TEXT];
  return !path_leads_outside(stored) && member_relative_path(entry, relative) && !path_leads_outside(relative);
}

namespace {

// Whether a directory on the member's way below the output directory is a
// symbolic link (the output directory itself is trusted as given).
bool link_on_the_way(const EntryInfo& entry) {
  // The directories of the previous member were looked at already; members
  // come in directory order, and extraction makes no links.
  static std::string lastWay;
  char relative[PATH_MAX_TEXT];
  if (!member_relative_path(entry, relative)) return false;
  char base[PATH_MAX_TEXT] = "";
  if (options.outputDirectory) options.outputDirectory->full_path(base);
  const char* last = strrchr(relative, '/');
  const std::string way = std::string(base) + '\n' + std::string(relative, last ? size_t(last - relative) : 0);
  if (way == lastWay) return false;
  for (char* slash = strchr(relative, '/'); slash; slash = strchr(slash + 1, '/')) {
    *slash = '\0';
    const char* part = base[0] ? path_join(base, relative) : relative;
    FileStatus status{};
    bool link = part && text_lstat(part, status) == 0 && status.is_link();
    *slash = '/';
    if (link) {
      lastWay.clear();
      return true;
    }
  }
  lastWay = way;
  return false;
}

}  // namespace

bool build_output_path(const EntryInfo& entry, PathName& output) {
  char relative[PATH_MAX_TEXT];
  if (!member_relative_path(entry, relative)) {
    report_name_too_long(entry.name.full_path());
    return false;
  }
  const char* joined = relative;
  if (options.outputDirectory) {
    char directory[PATH_MAX_TEXT];
    options.outputDirectory->full_path(directory);
    joined = path_join(directory, relative);
    if (!joined) {
      report_name_too_long(relative);
      return false;
    }
  }
  output.assign(joined);
  return !output.refused;
}

namespace {

// The directory question of "-qw": asked once for each new output directory;
// the answer holds for the following members of that directory.
bool directory_accepted(const PathName& output) {
  if (output.dir == lastDirectory) return !skipLastDirectory;
  lastDirectory = output.dir;
  skipLastDirectory = false;
  if (!(options.confirmMask & CONFIRM_EXTRACT_DIR) || options.assumeYes) return true;
  int answer = ask_text(message_text(MSG_EXTRACT_THIS_DIRECTORY), output.dir);
  print_text("\n");
  if (answer == 'a') {
    options.confirmMask &= ~CONFIRM_EXTRACT_DIR;
  } else if (answer != 'y') {
    skipLastDirectory = true;
  }
  return !skipLastDirectory;
}

bool existing_is_older(const FileStatus& status, const EntryInfo& entry) {
  return pack_dos_time(status.mtime) < entry.time;
}

// Replaces the name part of output with a name the user types; an empty
// answer or one that is not a plain name leaves output as it was.
void rename_output(PathName& output) {
  QuestionShown shown;
  print_text(message_text(MSG_RENAME_TO));
  flush_messages();
  char answer[PATH_MAX_TEXT];
  read_answer_line(answer, sizeof answer - 1);
  answer[sizeof answer - 1] = '\0';
  if (!answer[0] || strchr(answer, '/') || strchr(answer, '\\') || path_leads_outside(answer) ||
      strcmp(answer, ".") == 0) {
    return;
  }
  PathName renamed(output.dir, answer);
  if (!renamed.refused) output = renamed;
}

enum class Decision { Write, Skip, AskAgain };

// The overwrite question for an existing file; may rename output.
Decision ask_overwrite(const EntryInfo& entry, PathName& output, const FileStatus& status) {
  QuestionShown shown;  // the two lines about the files belong to the question
  print_path(output);
  print_size_and_date(message_text(MSG_ON_DISK), pack_dos_time(status.mtime), static_cast<uint32_t>(status.size));
  print_path(output);
  print_size_and_date(message_text(MSG_IN_ARCHIVE), entry.time, entry.unpackedSize);
  for (;;) {
    int answer = ask_text(message_text(MSG_OVERWRITE_QUESTION), nullptr);
    print_text("\n");
    switch (answer) {
      case 'y':
        options.extractOverwriteMode = OVERWRITE_ASK;
        return Decision::Write;
      case 'a':
        options.extractOverwriteMode = OVERWRITE_ALL;
        return Decision::Write;
      case 'u':
        options.extractOverwriteMode = OVERWRITE_UPDATE;
        return existing_is_older(status, entry) ? Decision::Write : Decision::Skip;
      case 'f':
        options.extractOverwriteMode = OVERWRITE_FRESH;
        return existing_is_older(status, entry) ? Decision::Write : Decision::Skip;
      case 'r':
        options.extractOverwriteMode = OVERWRITE_RENAME;
        rename_output(output);
        return Decision::AskAgain;
      case 's':
        options.extractOverwriteMode = OVERWRITE_SKIP_ALL;
        return Decision::Skip;
      case 'n':
        return Decision::Skip;
      default:
        break;
    }
  }
}

// Whether the member may be written to output, asking when the overwrite mode
// says so; output may be renamed on the way.
bool target_accepted(const EntryInfo& entry, PathName& output, const FileStatus* known) {
  for (;;) {
    // A symbolic link at the name counts as an existing file: it is asked
    // about, and replaced by the member, never written through. The status
    // the caller found is used once; a renamed target is looked at anew.
    FileStatus status;
    if (known) {
      status = *known;
      known = nullptr;
    } else if (path_lstat(output, status) != 0) {
      return options.extractOverwriteMode != OVERWRITE_FRESH;
    }
    // The directory and what it holds stay; the member is not lost silently.
    if (status.is_directory()) {
      report_error_path(kDirectoryInTheWay, output);
      return false;
    }
    // A piece of a split file goes into the file that holds the earlier
    // pieces (it carries the member's time); later pieces do so whatever the
    // overwrite mode, so that a file is never left with its first piece only.
    const bool earlierPieces = (entry.flags & ENTRY_PIECE) && pack_dos_time(status.mtime) == entry.time;
    if (earlierPieces && entry.pieceOffset != 0) return true;
    if (options.assumeYes && !options.updateOnly && !options.freshOnly) {
      options.extractOverwriteMode = OVERWRITE_ALL;
    }
    switch (options.extractOverwriteMode) {
      case OVERWRITE_ASK:
      case OVERWRITE_RENAME: {
        if (earlierPieces) return true;
        Decision decision = ask_overwrite(entry, output, status);
        if (decision == Decision::AskAgain) continue;
        return decision == Decision::Write;
      }
      case OVERWRITE_UPDATE:
      case OVERWRITE_FRESH:
        return existing_is_older(status, entry);
      case OVERWRITE_SKIP_ALL:
        return false;
      default:
        return true;
    }
  }
}

// Opens the output file: created empty for a whole file or the first piece,
// opened without truncation and positioned for a later piece. Missing parent
// directories are made on the way. known, when given, is what is at the name
// (mode 0: nothing). Null, after its report, on failure.
IoFile* create_output(const EntryInfo& entry, const PathName& output, const FileStatus* known) {
  const bool laterPiece = (entry.flags & ENTRY_PIECE) && entry.pieceOffset != 0;
  const int mode =
      (laterPiece ? IO_MODE_WRITE : IO_MODE_CREATE) | (transfer.textMode ? 0 : IO_MODE_DIRECT) | IO_MODE_NO_FOLLOW;
  char path[PATH_MAX_TEXT];
  output.full_path(path);
  // A link at the name is replaced, never written through; so is anything
  // else that is no plain file (a pipe would swallow the data, a device take
  // it), and a file with other names (hard links), whose other names keep
  // their content.
  FileStatus status{};
  const bool exists = known ? known->mode != 0 : text_lstat(path, status) == 0;
  if (known) status = *known;
  // A later piece goes on where the earlier ones ended (or over them again):
  // one that would leave a hole belongs to no file of this archive.
  if (laterPiece && exists && status.is_regular() && status.size < int64_t(entry.pieceOffset)) {
    report_error_path(kPieceGap, output);
    return nullptr;
  }
  const bool special = exists && !status.is_regular() && !status.is_directory();
  if (special || (exists && !laterPiece && status.is_regular() && status.nlink > 1)) path_unlink(output);
  IoFile* file = io_open(path, mode);
  // A read-only file is not in the way: one the user agreed to overwrite
  // (an earlier extraction made it read-only, say) is replaced, and the
  // earlier pieces of a read-only file take the next one; the member's own
  // permissions are set again once it is written.
  if (!file && errno == EACCES && exists && status.is_regular()) {
    const bool reopen = laterPiece ? path_set_permissions(output, status.mode | FS_WRITABLE) == 0
                                   : path_unlink(output) == 0;
    if (reopen) file = io_open(path, mode);
  }
  if (!file && strcmp(output.name, ".") != 0 && make_parent_directories(path)) file = io_open(path, mode);
  if (!file) {
    if (laterPiece) {
      report_error(message_text(MSG_BROKEN_FILE));
    } else {
      report_error_path_because(message_text(MSG_CANNOT_CREATE), output, strerror(errno));
    }
    return nullptr;
  }
  if (laterPiece && io_seek(file, int64_t(entry.pieceOffset), 0) < 0) {
    report_error_path_because(message_text(MSG_WRITE_ERROR), output, strerror(errno));
    io_close(file);
    return nullptr;
  }
  return file;
}

// What an extracted member gives its file or directory besides the data.
struct Attributes {
  uint32_t host;
  uint32_t mode;     // for hosts 1 and 4: 0 when the member carries no Unix data
  uint32_t dosTime;
  int64_t mtime;     // seconds since 1970, with the Unix data
  uint32_t uid;
  uint32_t gid;
};

Attributes attributes_of(const EntryInfo& entry) {
  return Attributes{entry.host, entry.mode, entry.time, entry.mtime, entry.uid, entry.gid};
}

// Times, attributes and (with "-n") the owner of a cleanly extracted member.
// Members from Unix hosts (1 and 4) carry their exact time, permission bits
// and owner; from other hosts only the DOS time and the writable bit count.
void set_time_and_attributes(const Attributes& a, const PathName& output) {
  const bool unixHost = host_carries_unix_data(a.host);
  if (unixHost && a.mode != 0) {
    // The owner first: changing it may clear permission bits.
    if (options.restoreOwners && set_owner(output, a.uid, a.gid) != 0) {
      report_error_path_because(kCannotSetOwner, output, strerror(errno));
    }
    path_set_permissions(output, static_cast<int>(a.mode));
    path_set_time(output, a.mtime, a.mtime);
    return;
  }
  // Of the attributes of other hosts only the writable bit has an effect:
  // without it the write bits go; with it the file keeps the permissions it
  // was created with.
  if (!unixHost && !(a.mode & FS_WRITABLE)) path_chmod(output, static_cast<int>(a.mode));
  const int64_t seconds = unpack_dos_time(a.dosTime);
  if (seconds > 0) path_set_time(output, seconds, seconds);
}

// Directories made or met by directory members, with their attributes:
// these are set when the extraction is over, since writing the files below
// changes a directory's time and a read-only directory could not take them.
struct UnfinishedDirectory {
  char* path;   // malloc'd
  Attributes attributes;
};
UnfinishedDirectory* unfinishedDirectories = nullptr;
size_t unfinishedCount = 0;
size_t unfinishedCapacity = 0;

void remember_directory(const char* path, const Attributes& attributes) {
  if (unfinishedCount == unfinishedCapacity) {
    const size_t capacity = unfinishedCapacity ? 2 * unfinishedCapacity : 64;
    void* grown = realloc(unfinishedDirectories, capacity * sizeof *unfinishedDirectories);
    if (!grown) fatal_error(message_text(MSG_NO_MEMORY));
    unfinishedDirectories = static_cast<UnfinishedDirectory*>(grown);
    unfinishedCapacity = capacity;
  }
  char* copy = str_dup(path);
  if (!copy) fatal_error(message_text(MSG_NO_MEMORY));
  unfinishedDirectories[unfinishedCount++] = UnfinishedDirectory{copy, attributes};
}

// Deepest first: a path sorts after the directories that hold it, so the
// order is by path, backwards. A name that is no longer a directory is left alone.
void finish_directories() {
  if (unfinishedCount == 0) return;
  qsort(unfinishedDirectories, unfinishedCount, sizeof *unfinishedDirectories, [](const void* a, const void* b) {
    return strcmp(static_cast<const UnfinishedDirectory*>(b)->path, static_cast<const UnfinishedDirectory*>(a)->path);
  });
  for (size_t i = 0; i < unfinishedCount; ++i) {
    PathName path(unfinishedDirectories[i].path);
    FileStatus status;
    if (!path.refused && path_lstat(path, status) == 0 && status.is_directory()) {
      set_time_and_attributes(unfinishedDirectories[i].attributes, path);
    }
    free(unfinishedDirectories[i].path);
  }
  unfinishedCount = 0;
}

// A directory member with paths kept: the directory is made (with the
// directories above it) unless it exists; its attributes follow at the end.
// Without paths the member's name would stand for some unrelated directory,
// so nothing is done.
void extract_directory_member(const EntryInfo& entry, const PathName& output) {
  if (!platformSettings.pathMode || output.name[0] == '\0' || strcmp(output.name, ".") == 0) return;
  char path[PATH_MAX_TEXT];
  output.full_path(path);
  FileStatus status{};
  if (path_lstat(output, status) == 0) {
    // A link at the name is never followed, not even to a directory.
    if (status.is_link()) {
      report_error_path(kLinkOnTheWay, entry.name);
      return;
    }
    if (!status.is_directory()) {
      report_error_path_because(message_text(MSG_CANNOT_CREATE), output, strerror(EEXIST));
      return;
    }
  } else if (!make_parent_directories(path) || (path_mkdir(output) != 0 && errno != EEXIST)) {
    report_error_path_because(message_text(MSG_CANNOT_CREATE), output, strerror(errno));
    return;
  }
  print_action_with(entry.name, ActionKind::Extract, "  ");
  print_text(message_text(MSG_OK));
  remember_directory(path, attributes_of(entry));
}

// Writes the member into its output file and finishes it: times and
// attributes after a clean member, the file removed after an error unless
// broken files are kept. known as for create_output.
void write_member(ArchiveFile* archive, PathName& output, int mode, int errorsBefore, const FileStatus* known) {
  const EntryInfo& entry = archive->entry;
  // The file is recorded for removal at an interrupt as soon as it exists.
  hold_interrupts();
  IoFile* file = create_output(entry, output, known);
  if (file) mark_unfinished(output.full_path());
  release_interrupts();
  if (!file) {
    print_action_with(entry.name, ActionKind::Skip, "\n");
    if (mode == MEMBER_BLOCK_SELECTED) decode_quietly(archive);
    return;
  }
  uint32_t check = archive->extract(archive, file, &entry.name, &output);
  const char* reason = io_error_text(file);
  if (io_close(file) != 0 && error_count() == errorsBefore) {
    report_error_path_because(message_text(MSG_WRITE_ERROR), output, reason ? reason : strerror(errno));
  }
  report_result(archive, check, true, mode, errorsBefore);
  if (error_count() == errorsBefore) {
    set_time_and_attributes(attributes_of(entry), output);
  } else if (!options.keepBroken) {
    path_unlink(output);
  }
  mark_finished();
}

}  // namespace

ArchiveFile* open_next_volume(PathName& volume, ArchiveKind kind) {
  const FormatRow* format = format_of_kind(kind);
  if (volume.next_volume_name(format ? format->volumeLead : 0) == nullptr) return nullptr;
  const bool terminal = isatty(0) != 0;
  for (int asked = 0;; ++asked) {
    ArchiveFile* archive = open_archive(volume, 1, kind, 0, 0);
    if (archive) return archive;
    // Answers that do not come from a person are not waited for forever.
    int answer = !terminal && asked >= kVolumeQuestionsWithoutTerminal ? 'n' : ask(message_text(MSG_NEXT_VOLUME), &volume);
    print_text("\n");
    if (answer != 'y') {
      report_error_path(kVolumeMissing, volume);
      return nullptr;
    }
  }
}

void extract_member(ArchiveFile* archive, int mode) {
  EntryInfo& entry = archive->entry;
  static PathName output("");
  const bool extracting = options.command == Extract;

  const bool unsafe = extracting && !member_path_safe(entry);
  if (unsafe) report_error_path(kUnsafePath, entry.name);
  // A name cut at its line end would stand for another file.
  const bool cutName = extracting && !unsafe && entry.nameProblem == NAME_LINE_END;
  if (cutName) report_error_path(kLineEndInName, entry.name);
  // A file needs a name below the output directory; "." would be the
  // directory itself. (A refused name was reported when it was read.)
  const char* path = entry.name.full_path();
  const bool nameless = extracting && !entry.name.refused && !(entry.flags & ENTRY_DIRECTORY) &&
                        (path[0] == '\0' || strcmp(path, ".") == 0);
  if (nameless) report_error(kNoName);
  const bool throughLink = extracting && !unsafe && !cutName && link_on_the_way(entry);
  if (throughLink) report_error_path(kLinkOnTheWay, entry.name);
  if (!entry.name.name[0] || unsafe || cutName || nameless || throughLink || !build_output_path(entry, output)) {
    if (mode != MEMBER_SELECTED) decode_quietly(archive);
    return;
  }
  read_source() = *archive->path;
  transfer.readSourceName = &read_source();
  transfer.writeTargetName = &output;
  const int errorsBefore = error_count();

  // An unselected block-mode member is only decoded: no question about it
  // could change anything.
  const bool skipped = mode != MEMBER_BLOCK_UNSELECTED &&
                       (!directory_accepted(output) || !confirm(&output, CONFIRM_EXTRACT));
  if (skipped) {
    if (mode != MEMBER_SELECTED) decode_member(archive, nullptr, output, mode, errorsBefore);
    return;
  }
  if (options.command == Print && mode != MEMBER_BLOCK_UNSELECTED) {
    print_text("######  ");
    print_path(output);
    print_text("  ######\n");
    decode_member(archive, ioStandardOutput, output, mode, errorsBefore);
    return;
  }
  if (!extracting || mode == MEMBER_BLOCK_UNSELECTED) {
    decode_member(archive, nullptr, output, mode, errorsBefore);
    return;
  }
  if (entry.flags & ENTRY_DIRECTORY) {
    extract_directory_member(entry, output);
    return;
  }
  if (entry.linkTarget[0] && host_carries_unix_data(entry.host)) {
    if (make_link(entry.linkTarget, output) != 0) {
      print_action_with(entry.name, ActionKind::Skip, "\n");
      return;
    }
    print_action_with(entry.name, ActionKind::Extract, "\n");
    set_time_and_attributes(attributes_of(entry), output);
    return;
  }
  FileStatus existing{};
  const bool exists = path_lstat(output, existing) == 0;
  if (!exists) existing.mode = 0;  // known not to exist
  // A link at the name is replaced, so only the file itself can be the archive.
  const bool archiveItself = exists && !existing.is_link() && existing.device == archive->device &&
                             existing.inode == archive->inode;
  if (archiveItself || (output.dir == archive->path->dir && strcmp(output.name, archive->path->name) == 0)) {
    report_error_path(kArchiveItself, output);
    print_action_with(entry.name, ActionKind::Skip, "\n");
    if (mode == MEMBER_BLOCK_SELECTED) decode_quietly(archive);
    return;
  }
  const char* const askedDir = output.dir;
  char askedName[PATH_MAX_TEXT];
  strcpy(askedName, output.name);
  if (exists ? !target_accepted(entry, output, &existing) : options.extractOverwriteMode == OVERWRITE_FRESH) {
    print_action_with(entry.name, ActionKind::Skip, "\n");
    if (mode == MEMBER_BLOCK_SELECTED) decode_quietly(archive);
    return;
  }
  // What was found at the name still holds unless the user renamed the target.
  const bool sameTarget = output.dir == askedDir && strcmp(output.name, askedName) == 0;
  write_member(archive, output, mode, errorsBefore, sameTarget ? &existing : nullptr);
}

void extract_selected(ArchiveFile* archive, PathName& name, void*) {
  if (archive->entry.hidden & HIDDEN_ENTRY) return;
  const bool selected = spec_matches(driverState.fileSpecs, name);
  if (archive->globalFlags & GLOBAL_BLOCKED) {
    extract_member(archive, selected ? MEMBER_BLOCK_SELECTED : MEMBER_BLOCK_UNSELECTED);
  } else if (selected) {
    extract_member(archive, MEMBER_SELECTED);
  }
}

void extract_archive(int volumeWalk) {
  PathName* path = driverState.usesTempArchive ? driverState.tempArchivePath : driverState.archivePath;
  if (!path) return;
  const ArchiveKind kind = static_cast<ArchiveKind>(options.archiveKindIndex);
  if (volumeWalk) clear_spec_marks(driverState.fileSpecs);
  ArchiveFile* archive = open_archive(*path, 1, kind, 1, 0);
  if (!archive) return;
  if (volumeWalk && (archive->globalFlags & GLOBAL_MULTIVOLUME) && options.volumeSize == 0) {
    options.volumeSize = 1;
  }
  PathName volume(*path);
  while (archive) {
    if (archive->globalFlags & GLOBAL_BLOCKED) {
      codecSettings.blockMode = 1;
      unpack_reset_carry();   // every archive starts a stream of its own
    }
    print_text(message_text(options.command == Test ? MSG_TESTING : MSG_EXTRACT_FROM));
    print_path(*archive->path);
    if (options.showArchiveComment) print_archive_comment(archive);
    print_text("\n");
    for_each_entry(archive, extract_selected);
    // Only a volume with the flag has a next one; the last of a set has not.
    const bool more = (archive->globalFlags & GLOBAL_MULTIVOLUME) != 0;
    archive = close_archive(archive);
    if (!volumeWalk || !more) break;
    archive = open_next_volume(volume, kind);
  }
  finish_directories();
  if (volumeWalk) report_unmatched_specs(driverState.fileSpecs);
}

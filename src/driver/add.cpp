// Adding files: the add command with its volume loop, one file merged with the
// old archive's members, one member packed into the archive, and the record of
// added files that a move deletes afterwards.
#include "driver/add.h"

#include <strings.h>

#include <cerrno>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "formats/format_table.h"
#include "codec/common/transfer.h"
#include "archive/kvn_format.h"
#include "codec/pack.h"
#include "driver/comments.h"
#include "driver/extract.h"
#include "driver/options.h"
#include "driver/prompts.h"
#include "driver/replace.h"
#include "driver/volumes.h"
#include "platform/scan.h"

struct AddedFile {
  PathName path;   // as given in the file specifications
  int directory;   // a directory member was written for it
  int64_t size;    // status when it was added: a file changed since is kept
  int64_t mtime;
};

namespace {

const char* const kTooLarge = "%: too large for an archive member (4 GiB or more), not added";
const char* const kSameStoredName = "%: would be stored under the same name as an earlier file, not added";

std::vector<AddedFile> addedFiles;
// The stored names of the files this run has written, with the file each came from.
std::map<std::string, std::string> storedNames;

bool same_name_part(const PathName& a, const PathName* b) {
  return b != nullptr && strcasecmp(a.name, b->name) == 0;
}

// The archive, its temporary name or the old archive moved aside.
bool is_archive_itself(const PathName& spec) {
  return same_name_part(spec, driverState.archivePath) || same_name_part(spec, driverState.tempArchivePath) ||
         same_name_part(spec, driverState.backupArchivePath);
}

// Writes a member without data (a directory, an empty file in a volume): the
// header alone, with the ratio of nothing saved.
int write_header_only(ArchiveFile* target, ActionKind action) {
  EntryInfo& e = target->entry;
  e.flags |= ENTRY_STORED;
  e.unpackedSize = 0;
  e.packedSize = 0;
  e.dataCrc = 0;
  if (write_member_header(target, io_tell(target->file)) < 0) return -1;
  announce_member(e.name, action);
  finish_member_line(0, 0);
  note_archive_member(e.time);
  return 1;
}

// Records the stored name of the file about to be written; false (after a
// counted error naming both files) when an earlier file of the run has it.
bool claim_stored_name(const PathName& stored, const PathName& file) {
  char key[PATH_MAX_TEXT];
  stored.full_path(key);
  char source[PATH_MAX_TEXT];
  file.full_path(source);
  auto found = storedNames.find(key);
  if (found == storedNames.end()) {
    storedNames.emplace(key, source);
    return true;
  }
  char both[2 * PATH_MAX_TEXT + 8];
  snprintf(both, sizeof both, "%s (%s)", source, found->second.c_str());
  report_error_with(kSameStoredName, both);
  return false;
}

// After an old member that is a piece of a split file: the following pieces
// of the same file go with it, copied when it was kept, left out when it was
// replaced.
int follow_old_pieces(ArchiveFile*& old, ArchiveFile* target, const PathName& name, bool keep) {
  for (;;) {
    int r = next_old_member(old, target);
    if (r < 0) return -1;
    if (r == 0) {
      old = close_archive(old);
      return 0;
    }
    if (!(old->entry.flags & ENTRY_PIECE) || path_compare(old->entry.name, name) != 0) {
      rewind_entry(old);
      return 0;
    }
    if (keep && copy_old_member(old, target) != 0) return -1;
    if (!keep) skip_entry(old);
  }
}

// Copies the old members whose names sort before name; leaves old at the
// data of a member of the same name (answering 1), or at the header of the
// next greater one (0). -1 when the new archive failed.
int merge_old_members(ArchiveFile*& old, ArchiveFile* target, const PathName& name) {
  while (old != nullptr) {
    int r = next_old_member(old, target);
    if (r < 0) return -1;
    if (r == 0) {
      old = close_archive(old);
      return 0;
    }
    int order = path_compare(old->entry.name, name);
    if (order == 0) return 1;
    if (order > 0) {
      rewind_entry(old);
      return 0;
    }
    if (copy_old_member(old, target) != 0) return -1;
  }
  return 0;
}

int64_t volume_limit() {
  if (options.volumeSize > 0) return options.volumeSize - 16;
  if (options.volumeSize == -1) return disk_free(*driverState.archivePath) - 528;
  return INT64_MAX;
}

// Tests the finished temporary archive as the command t would, over all its
// members; answers the number of errors found.
int test_new_archive() {
  int errorsBefore = error_count();
  transfer.inputChecked = 0;
  // Every member is tested, excluded names too.
  FileSpecList saved = driverState.fileSpecs;
  FileSpecList exclusions = platformSettings.exclusions;
  driverState.fileSpecs = nullptr;
  platformSettings.exclusions = nullptr;
  spec_add(driverState.fileSpecs, PathName("*"), SPEC_MATCH);
  options.command = Test;
  extract_archive(0);
  spec_clear(driverState.fileSpecs);
  driverState.fileSpecs = saved;
  platformSettings.exclusions = exclusions;
  return error_count() - errorsBefore;
}

// Asks for the next volume; true to go on.
bool next_volume_wanted() {
  if (driverState.archivePath->next_volume_name() == nullptr) {
    report_error_path(message_text(MSG_CANNOT_CREATE_ARCHIVE), *driverState.archivePath);
    return false;
  }
  int key;
  do {
    key = ask(message_text(MSG_NEXT_VOLUME), driverState.archivePath);
    print_text("\n");  // the line of the next member starts on a line of its own
  } while (key != 'y' && key != 'n');
  if (key == 'y') return true;
  set_error_count(error_count() + 1);
  return false;
}

// Opens the old archive for Add and Update and refuses the combinations that
// cannot update it. Sets ok to false after a counted error.
ArchiveFile* open_old_archive(bool& ok) {
  ok = true;
  if (options.command == Create) return nullptr;
  int errorsBefore = error_count();
  ArchiveFile* old =
      open_archive(*driverState.archivePath, 1, static_cast<ArchiveKind>(options.archiveKindIndex), 0, 0);
  if (error_count() != errorsBefore) {
    ok = false;
    return close_archive(old);
  }
  if (old == nullptr) return nullptr;
  // Members of a block-mode archive depend on those before them, and a volume
  // is one part of a set: neither can take members in place.
  if (codecSettings.blockMode || (old->globalFlags & GLOBAL_BLOCKED)) {
    report_error(message_text(MSG_ONLY_CREATE_BLOCK));
    ok = false;
  } else if (options.volumeSize || (old->globalFlags & GLOBAL_MULTIVOLUME)) {
    report_error(message_text(MSG_CANNOT_UPDATE_VOLUMES));
    ok = false;
  }
  if (!ok) old = close_archive(old);
  return old;
}

}  // namespace

int add_one_file(const PathName& spec, ArchiveFile*& old, ArchiveFile* target, VolumeSpace* space,
                 int noMerge) {
  // A member that goes on from the previous volume is the only way to be
  // unfinished; every other path leaves the space without a continuation.
  const bool continuing = space->unfinished != 0;
  space->unfinished = 0;
  if (!continuing) {
    space->continuationLeft = 0;
    space->continuationOffset = 0;
  }
  if (is_archive_itself(spec)) return 0;
  FileStatus status{};
  if (path_stat(spec, status) != 0) {
    report_error_path_because(message_text(MSG_CANNOT_OPEN), spec, strerror(errno));
    return 0;
  }
  const bool directory = status.is_directory();
  // A directory member in a format without them would come back as a file.
  if ((!directory && !status.is_regular()) || (directory && !target->format->directories)) {
    print_action_with(spec, ActionKind::Skip, "\n");
    return 0;
  }
  if (status.size > int64_t(UINT32_MAX)) {
    report_error_path(kTooLarge, spec);
    return 0;
  }

  char name[PATH_MAX_TEXT];
  if (platformSettings.pathMode)
    spec.full_path(name);
  else
    strcpy(name, spec.name);
  EntryInfo& e = target->entry;
  target->format->fillEntry(name, status, &e);
  if (options.textMode) e.flags |= ENTRY_TEXT;
  comment_member(&e);
  // A name too long for a header is refused before anything is written.
  unsigned char header[KVN_HEADER_CAPACITY];
  if (target->buildHeader(header, int(sizeof header), &e) < 0) {
    report_name_too_long(name);
    return 0;
  }
  // Two files of one run never become two members of one name.
  if (!continuing && !claim_stored_name(e.name, spec)) return 0;

  IoFile* source = nullptr;
  if (directory) {
    e.flags |= ENTRY_DIRECTORY;
    e.unpackedSize = 0;
  } else {
    source = io_open_path(spec, IO_MODE_READ);
    if (source == nullptr) {
      report_error_path_because(message_text(MSG_CANNOT_OPEN), spec, strerror(errno));
      return 0;
    }
  }

  bool sameName = false;
  if (noMerge) {
    sameName = old != nullptr && path_compare(old->entry.name, e.name) == 0;
  } else {
    int merged = merge_old_members(old, target, e.name);
    if (merged < 0) {
      io_close(source);
      return -1;
    }
    sameName = merged == 1;
  }

  const bool keepOld = sameName && (options.updateOnly || options.freshOnly) && old->entry.time >= e.time;
  const bool oldWasPiece = sameName && (old->entry.flags & ENTRY_PIECE);
  int result;
  if (keepOld) {
    result = copy_old_member(old, target) == 0 ? 1 : -1;
  } else {
    if (sameName) skip_entry(old);
    ActionKind action = old != nullptr ? ActionKind::Update : ActionKind::Add;
    if (options.volumeSize == 0) {
      result = directory ? write_header_only(target, action) : pack_into_archive(target, source, action);
    } else if (directory || e.unpackedSize == 0) {
      // A member without data goes whole into the next volume when its header does not fit.
      if (io_tell(target->file) + e.headerSize > space->limit) {
        space->unfinished = 1;
        result = 0;
      } else {
        result = write_header_only(target, action);
      }
    } else {
      result = pack_across_volumes(target, source, space, action);
    }
  }
  if (result >= 0 && oldWasPiece && old != nullptr &&
      follow_old_pieces(old, target, e.name, keepOld) != 0)
    result = -1;
  if (result >= 0 && failure_count(target) != 0) result = -1;
  // The file counts as added when all of it went in as it is now.
  if (result == 1 && !keepOld && (directory || io_tell(source) >= status.size)) remember_added_file(spec, status);
  if (result < 0) space->spaceLeft = 0;
  io_close(source);
  if (space->unfinished) return 0;
  return result;
}

void add_members() {
  if (codecSettings.blockMode && options.volumeSize) {
    report_error(message_text(MSG_BLOCK_AND_VOLUMES));
    return;
  }
  if (check_archive_name() != 0) return;
  bool ok = true;
  ArchiveFile* old = open_old_archive(ok);
  if (!ok) return;
  print_text(message_text(old != nullptr ? MSG_UPDATING : MSG_CREATE));
  print_text(message_text(MSG_ARCHIVE_WORD));
  print_path(*driverState.archivePath);
  print_text("\n");

  forget_added_files();
  driverState.newestMemberTime = 0;
  transfer.inputChecked = 1;
  ArchiveFile* target = open_new_archive();
  if (target == nullptr) {
    close_archive(old);
    return;
  }
  SpecNode* spec = driverState.fileSpecs;
  VolumeSpace space;
  for (;;) {
    space.limit = volume_limit();
    space.spaceLeft = space.limit;
    target->volumeBudget = space.limit;
    codec_buffers_alloc();
    reset_archive_member_count();
    begin_output(target, old, codecSettings.blockMode != 0);
    const int64_t headerEnd = io_tell(target->file);
    if (headerEnd > space.limit) {
      report_error(message_text(MSG_VOLUME_TOO_SMALL));
      discard_new_archive(target);
      close_archive(old);
      return;
    }
    space.spaceLeft -= headerEnd;

    bool failed = false;
    while (spec != nullptr) {
      if (output_failed(target)) {
        failed = true;
        break;
      }
      options.textMode = (spec->flags & SPEC_TEXT) != 0;
      if (space.unfinished || confirm(spec->path, CONFIRM_ADD)) {
        if (add_one_file(*spec->path, old, target, &space, 0) < 0) {
          failed = true;
          break;
        }
        if (space.unfinished) break;
      }
      spec = spec->next;
    }
    // The rest of the old archive follows the last file.
    while (!failed && old != nullptr) {
      int r = next_old_member(old, target);
      if (r == 0) break;
      if (r < 0 || copy_old_member(old, target) != 0) failed = true;
    }
    old = close_archive(old);
    if (!failed && space.unfinished && archive_member_count() == 0) {
      // Not even one piece fits an empty volume: more volumes would not help.
      report_error(message_text(MSG_VOLUME_TOO_SMALL));
      failed = true;
    }
    // The last volume of a set says so: readers ask for no volume after it.
    if (!failed && options.volumeSize != 0 && !space.unfinished && mark_last_volume(target) != 0)
      failed = output_failed(target) != 0;
    if (failed) {
      discard_new_archive(target);
      return;
    }
    if (finish_new_archive(target) != 0) return;
    if (options.testAfter && test_new_archive() != 0) {
      discard_new_archive(nullptr);
      return;
    }
    if (replace_archive() != 0) return;
    set_archive_time();
    if (!space.unfinished) break;
    if (!next_volume_wanted()) return;
    transfer.inputChecked = 1;
    target = open_new_archive();
    if (target == nullptr) return;
  }
  transfer.inputChecked = 0;
  if (options.moveFiles && error_count() == 0) delete_added_files();
}

void forget_added_files() {
  addedFiles.clear();
  storedNames.clear();
}

void remember_added_file(const PathName& path, const FileStatus& status) {
  addedFiles.push_back(AddedFile{path, status.is_directory() ? 1 : 0, status.size, status.mtime});
}

int delete_added_file(const AddedFile& file) {
  FileStatus now{};
  if (path_stat(file.path, now) != 0) return 0;
  if (file.directory) return now.is_directory() && path_rmdir(file.path) == 0 ? 1 : 0;
  if (!now.is_regular() || now.size != file.size || now.mtime != file.mtime) return 0;
  return path_unlink(file.path) == 0 ? 1 : 0;
}

void delete_added_files() {
  // Latest first, so files go before the directories that hold them; passes
  // repeat while they remove something, for directories emptied late.
  std::vector<bool> done(addedFiles.size(), false);
  for (bool progress = true; progress;) {
    progress = false;
    for (size_t i = addedFiles.size(); i-- > 0;) {
      if (!done[i] && delete_added_file(addedFiles[i]) == 1) {
        done[i] = true;
        progress = true;
      }
    }
  }
  addedFiles.clear();
}

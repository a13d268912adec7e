// Delete and fresh: the old archive is walked in order and written anew, each
// member copied unchanged, left out, or replaced by its newer file.
#include "driver/delete_fresh.h"


#include "formats/format_table.h"
#include "codec/common/transfer.h"
#include "archive/dos_time.h"
#include "codec/pack.h"
#include "driver/add.h"
#include "driver/extract.h"
#include "driver/options.h"
#include "driver/prompts.h"
#include "driver/replace.h"
#include "platform/console.h"
#include "platform/os.h"

namespace {

const char* const kNotHere = "%: names no file below the current directory, not freshened";

// The archive to be written anew; null after a counted error, also when
// opening it found damage (such an archive is never rewritten). Volumes of a
// set are refused: only their first would be rewritten.
ArchiveFile* open_existing_archive(int volumeRefusal) {
  driverState.newestMemberTime = 0;
  int errorsBefore = error_count();
  ArchiveFile* old =
      open_archive(*driverState.archivePath, 1, static_cast<ArchiveKind>(options.archiveKindIndex), 1, 0);
  if (old != nullptr && error_count() == errorsBefore &&
      ((old->globalFlags & GLOBAL_MULTIVOLUME) || options.volumeSize != 0)) {
    report_error(message_text(volumeRefusal));
  }
  if (error_count() != errorsBefore) old = close_archive(old);
  return old;
}

// Whether the member's file on disk is newer than the member.
bool file_is_newer(const EntryInfo& member) {
  FileStatus status{};
  return path_stat(member.name, status) == 0 && member.time < pack_dos_time(status.mtime);
}

// Finishes the new archive and puts it in place; 0 when it replaced the old one.
int finish_and_replace(ArchiveFile* target) {
  if (finish_new_archive(target) != 0 || replace_archive() != 0) return -1;
  set_archive_time();
  return 0;
}

// Whether the extraction just run left member on disk at the path extraction
// uses: a directory that exists, or a file of the member's size whose time
// the extraction set from the member (it does so only after a good
// extraction).
bool extracted_copy_on_disk(const EntryInfo& member) {
  if (options.command == Print) return true;
  PathName path("");
  FileStatus status{};
  if (!build_output_path(member, path) || path_stat(path, status) != 0) return false;
  if (member.flags & ENTRY_DIRECTORY) return status.is_directory();
  return status.is_regular() && uint32_t(status.size) == member.unpackedSize &&
         pack_dos_time(status.mtime) == member.time;
}

// Writes the archive anew without the selected members (only those on disk
// again with onlyExtracted).
void delete_selected(bool onlyExtracted) {
  ArchiveFile* old = open_existing_archive(MSG_CANNOT_UPDATE_VOLUMES);
  if (old == nullptr) return;
  if (old->globalFlags & GLOBAL_BLOCKED) {
    report_error(message_text(MSG_NO_DELETE_IN_BLOCK));
    close_archive(old);
    return;
  }
  ArchiveFile* target = open_new_archive();
  if (target == nullptr) {
    close_archive(old);
    return;
  }
  reset_archive_member_count();
  begin_output(target, old, 0);
  clear_spec_marks(driverState.fileSpecs);

  int r = 0;
  int deleted = 0;
  while ((r = next_old_member(old, target)) == 1) {
    const EntryInfo& member = old->entry;
    if (spec_matches(driverState.fileSpecs, member.name) &&
        (!onlyExtracted || extracted_copy_on_disk(member)) && confirm(&member.name, CONFIRM_DELETE)) {
      print_action_with(member.name, ActionKind::Delete, "\n");
      skip_entry(old);
      ++deleted;
    } else if (copy_old_member(old, target) != 0) {
      break;
    }
  }
  close_archive(old);
  if (r == 0 && !onlyExtracted) report_unmatched_specs(driverState.fileSpecs);
  // A copy that failed leaves the old archive as it was; so does a delete
  // that takes nothing out.
  if (r != 0 || failure_count(target) != 0 || deleted == 0) {
    discard_new_archive(target);
    return;
  }
  finish_and_replace(target);
}
}  // namespace

void delete_members() { delete_selected(false); }

void delete_extracted_members() { delete_selected(true); }

void fresh_members() {
  options.freshOnly = 1;
  // A fresh must not split members, so volumes are refused like volume archives.
  ArchiveFile* old = open_existing_archive(MSG_CANNOT_FRESH_VOLUMES);
  if (old == nullptr) return;
  if ((old->globalFlags & GLOBAL_BLOCKED) || codecSettings.blockMode) {
    report_error(message_text(MSG_NO_FRESH_IN_BLOCK));
    close_archive(old);
    return;
  }
  print_text(message_text(MSG_FRESHING));
  print_text(message_text(MSG_ARCHIVE_WORD));
  print_path(*driverState.archivePath);
  print_text("\n");

  forget_added_files();
  transfer.inputChecked = 1;
  ArchiveFile* target = open_new_archive();
  if (target == nullptr) {
    close_archive(old);
    return;
  }
  codec_buffers_alloc();
  reset_archive_member_count();
  begin_output(target, old, 0);
  clear_spec_marks(driverState.fileSpecs);

  int r = 0;
  bool failed = false;
  while (!failed && (r = next_old_member(old, target)) == 1) {
    int written = 0;
    const bool selected = spec_matches(driverState.fileSpecs, old->entry.name);
    // A member whose stored path leads out of the current directory (or was
    // cut at a line end) stands for no file here: none is read, none deleted.
    const bool foreign = selected && (!member_path_safe(old->entry) || old->entry.nameProblem == NAME_LINE_END);
    if (foreign) report_error_path(kNotHere, old->entry.name);
    if (selected && !foreign && file_is_newer(old->entry) && confirm(&old->entry.name, CONFIRM_FRESH)) {
      PathName file(old->entry.name);
      VolumeSpace space;
      written = add_one_file(file, old, target, &space, 1);
      if (written < 0) failed = true;
      if (written == 1) skip_entry(old);
    }
    // A member whose file could not be taken stays as it was.
    if (written == 0 && copy_old_member(old, target) != 0) failed = true;
  }
  if (r < 0) failed = true;
  close_archive(old);
  transfer.inputChecked = 0;
  if (!failed) report_unmatched_specs(driverState.fileSpecs);
  if (failed || failure_count(target) != 0) {
    discard_new_archive(target);
    return;
  }
  if (finish_and_replace(target) == 0 && options.moveFiles && error_count() == 0) delete_added_files();
}

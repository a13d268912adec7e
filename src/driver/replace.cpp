// The new archive under temporary name 0: copying old members into it,
// finishing it on disk, and swapping it in for the old archive.
#include "driver/replace.h"

#include <unistd.h>

#include "archive/check.h"
#include "archive/dos_time.h"
#include "driver/options.h"
#include "platform/console.h"
#include "platform/os.h"

namespace {


int membersWritten = 0;   // members of the new archive (volume) so far

// Copies the finished temporary archive to a staging file beside the archive,
// puts it on disk, and renames it over the archive. For a temporary archive on
// another file system (-w), where renaming cannot move it. 0 or -1.
int replace_by_copy() {
  const PathName& temp = *driverState.tempArchivePath;
  const PathName& archive = *driverState.archivePath;
  FileStatus status{};
  if (path_stat(temp, status) != 0) {
    report_error_path(message_text(MSG_NO_TEMP_STATUS), temp);
    return -1;
  }
  PathName staging(archive.dir, temp.name);
  IoFile* source = io_open_path(temp, IO_MODE_READ);
  if (source == nullptr) {
    report_error_path(message_text(MSG_CANNOT_OPEN), temp);
    return -1;
  }
  IoFile* target = io_open_path(staging, IO_MODE_CREATE);
  if (target == nullptr) {
    io_close(source);
    report_error_path(message_text(MSG_CANNOT_CREATE), staging);
    return -1;
  }
  PathName* savedRead = driverState.readSourceName;
  PathName* savedWrite = driverState.writeTargetName;
  driverState.readSourceName = driverState.tempArchivePath;
  driverState.writeTargetName = &staging;
  int errorsBefore = error_count();
  copy_bytes(source, target, status.size);
  bool ok = error_count() == errorsBefore;
  if (ok && (io_flush(target) != 0 || (target->flags & IO_WRITE_ERROR) || fsync(target->handle) != 0)) {
    report_error_path(message_text(MSG_WRITE_ERROR), staging);
    ok = false;
  }
  driverState.readSourceName = savedRead;
  driverState.writeTargetName = savedWrite;
  io_close(source);
  if (io_close(target) != 0 && ok) {
    report_error_path(message_text(MSG_WRITE_ERROR), staging);
    ok = false;
  }
  if (ok && path_rename(staging, archive) != 0) {
    report_error_path(message_text(MSG_CANNOT_CREATE), archive);
    ok = false;
  }
  if (!ok) path_unlink(staging);
  return ok ? 0 : -1;
}

}  // namespace

ArchiveFile* open_new_archive() {
  ArchiveFile* target =
      open_archive(*driverState.tempArchivePath, 0, static_cast<ArchiveKind>(options.archiveKindIndex), 1, 0);
  if (target != nullptr) driverState.tempArchiveOpen = 1;
  return target;
}

void note_archive_member(uint32_t time) {
  if (time > driverState.newestMemberTime) driverState.newestMemberTime = time;
  ++membersWritten;
}

int archive_member_count() { return membersWritten; }
void reset_archive_member_count() { membersWritten = 0; }

int next_old_member(ArchiveFile* old, ArchiveFile* target) {
  int errorsBefore = error_count();
  int result = next_entry(old);
  if (error_count() == errorsBefore) return result;
  note_failure(target);
  return -1;
}

int copy_old_member(ArchiveFile* old, ArchiveFile* target) {
  if (output_failed(target)) return -1;
  driverState.readSourceName = driverState.archivePath;
  driverState.writeTargetName = driverState.tempArchivePath;
  rewind_entry(old);
  int errorsBefore = error_count();
  copy_bytes(old->file, target->file, int32_t(old->entry.headerSize) + int32_t(old->entry.packedSize));
  if (error_count() != errorsBefore) {
    note_failure(target);
    return -1;
  }
  if (output_failed(target)) return -1;
  note_archive_member(old->entry.time);
  return 0;
}

int output_failed(ArchiveFile* target) {
  if (target == nullptr || target->failures != 0) return 1;
  if (target->file == nullptr || (target->file->flags & IO_WRITE_ERROR)) {
    report_error_path(message_text(MSG_WRITE_ERROR), *driverState.tempArchivePath);
    note_failure(target);
    return 1;
  }
  return 0;
}

int finish_new_archive(ArchiveFile* target) {
  static const unsigned char kEndMarker[2] = {0, 0};
  bool ok = !output_failed(target);
  if (ok) {
    IoFile* f = target->file;
    // The old archive gives way only to an archive that is wholly on the disk.
    if (io_write(f, kEndMarker, 2) != 2 || io_flush(f) != 0 || (f->flags & IO_WRITE_ERROR) ||
        fsync(f->handle) != 0 || io_close(f) != 0) {
      report_error_path(message_text(MSG_WRITE_ERROR), *driverState.tempArchivePath);
      ok = false;
    }
    if (ok) target->file = nullptr;
  }
  if (!ok) {
    discard_new_archive(target);
    return -1;
  }
  // tempArchiveOpen stays set: until the archive is in place, an interrupt
  // still removes the temporary file.
  close_archive(target);
  return 0;
}

void discard_new_archive(ArchiveFile* target) {
  close_archive(target);
  path_unlink(*driverState.tempArchivePath);
  driverState.tempArchiveOpen = 0;
}

int replace_archive() {
  const PathName& archive = *driverState.archivePath;
  const PathName& temp = *driverState.tempArchivePath;
  const PathName& backup = *driverState.backupArchivePath;
  path_unlink(backup);
  FileStatus status{};
  bool oldExists = path_stat(archive, status) == 0;
  if (!oldExists || path_rename(archive, backup) == 0) {
    driverState.archiveMovedAside = oldExists;
    if (path_rename(temp, archive) == 0) {
      driverState.tempArchiveOpen = 0;
      if (oldExists) path_unlink(backup);
      driverState.archiveMovedAside = 0;
      return 0;
    }
    // The old archive goes back before anything else is tried.
    if (oldExists) path_rename(backup, archive);
    driverState.archiveMovedAside = 0;
  }
  int result = replace_by_copy();
  path_unlink(temp);
  driverState.tempArchiveOpen = 0;
  return result;
}

void set_archive_time() {
  const PathName& archive = *driverState.archivePath;
  if (membersWritten == 0) {
    path_unlink(archive);
    return;
  }
  int64_t seconds = unpack_dos_time(driverState.newestMemberTime);
  if (seconds > 0) path_set_time(archive, seconds, seconds);
}

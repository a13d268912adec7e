// The new archive under temporary name 0: copying old members into it,
// finishing it on disk, and swapping it in for the old archive.
#include "driver/replace.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "formats/format_table.h"
#include "codec/common/transfer.h"
#include "archive/dos_time.h"
#include "driver/comments.h"
#include "driver/options.h"
#include "platform/console.h"
#include "platform/os.h"

namespace {

constexpr unsigned kNameAttempts = 64;   // temporary names tried before giving up
const char* const kDataAfterEnd = "%: data after the end of the archive";

int membersWritten = 0;   // members of the new archive (volume) so far

// The file the archive name stands for: the target of a symbolic link, so
// that the link stays and the file it points to is replaced.
PathName archive_in_place() {
  char target[PATH_MAX_TEXT];
  if (!path_resolve_link(*driverState.archivePath, target)) return *driverState.archivePath;
  PathName resolved(target);
  return resolved.refused ? *driverState.archivePath : resolved;
}

// A name of the form of temporary name 1 that nothing has yet; it replaces
// backupArchivePath. False when none could be found.
bool choose_backup_name() {
  for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
    PathName* candidate = temp_archive_name(1, attempt);
    FileStatus status{};
    if (path_lstat(*candidate, status) != 0 && errno == ENOENT) {
      delete driverState.backupArchivePath;
      driverState.backupArchivePath = candidate;
      return true;
    }
    delete candidate;
  }
  return false;
}

// Copies the finished temporary archive to a staging file beside the archive,
// puts it on disk, and renames it over the archive. For a temporary archive on
// another file system (-w), where renaming cannot move it. 0 or -1.
int replace_by_copy(const PathName& archive) {
  const PathName& temp = *driverState.tempArchivePath;
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
  // Removed by the fatal path too, should the run end while it is written.
  hold_interrupts();
  IoFile* target = io_open_path(staging, IO_MODE_CREATE_NEW);
  const int reason = errno;
  if (target != nullptr) driverState.stagingArchivePath = &staging;
  release_interrupts();
  if (target == nullptr) {
    io_close(source);
    report_error_path_because(message_text(MSG_CANNOT_CREATE), staging, strerror(reason));
    return -1;
  }
  const PathName* savedRead = transfer.readSourceName;
  const PathName* savedWrite = transfer.writeTargetName;
  transfer.readSourceName = driverState.tempArchivePath;
  transfer.writeTargetName = &staging;
  int errorsBefore = error_count();
  copy_bytes(source, target, status.size);
  bool ok = error_count() == errorsBefore;
  if (ok && (io_flush(target) != 0 || (target->flags & IO_WRITE_ERROR) || fsync(target->handle) != 0)) {
    report_error_path_because(message_text(MSG_WRITE_ERROR), staging, io_error_text(target));
    ok = false;
  }
  transfer.readSourceName = savedRead;
  transfer.writeTargetName = savedWrite;
  io_close(source);
  if (io_close(target) != 0 && ok) {
    report_error_path(message_text(MSG_WRITE_ERROR), staging);
    ok = false;
  }
  if (ok) path_take_permissions(staging, path_exists(archive) ? &archive : nullptr);
  if (ok && path_rename(staging, archive) != 0) {
    report_error_path(message_text(MSG_CANNOT_CREATE), archive);
    ok = false;
  }
  if (!ok) path_unlink(staging);
  driverState.stagingArchivePath = nullptr;
  return ok ? 0 : -1;
}

}  // namespace

PathName* temp_archive_name(int digit, unsigned attempt) {
  char name[] = "_kv%##XXXXXX";
  name[3] = static_cast<char>('0' + digit);
  make_temp_name(name, attempt);
  char directory[PATH_MAX_TEXT];
  if (options.workDirectory && options.workDirectory->is_directory()) {
    options.workDirectory->full_path(directory);
  } else {
    const char* archiveDir = driverState.archivePath ? driverState.archivePath->dir : nullptr;
    snprintf(directory, sizeof directory, "%s", archiveDir ? archiveDir : ".");
  }
  PathName* path = new (std::nothrow) PathName(directory, name);
  if (!path) fatal_error(message_text(MSG_NO_MEMORY));
  return path;
}

ArchiveFile* open_new_archive() {
  const ArchiveKind kind = static_cast<ArchiveKind>(options.archiveKindIndex);
  for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
    if (attempt > 0) {
      // The name is taken (perhaps by a link planted there): the next one.
      delete driverState.tempArchivePath;
      driverState.tempArchivePath = temp_archive_name(0, attempt);
    }
    errno = 0;
    // The file is recorded for the clean-up as soon as it exists.
    hold_interrupts();
    ArchiveFile* target = open_archive(*driverState.tempArchivePath, 0, kind, 0, 0);
    const int reason = errno;
    if (target != nullptr) driverState.tempArchiveOpen = 1;
    release_interrupts();
    if (target != nullptr) return target;
    errno = reason;
    if (errno != EEXIST) break;
  }
  report_error_path_because(message_text(MSG_CANNOT_CREATE_ARCHIVE), *driverState.tempArchivePath,
                            strerror(errno ? errno : EEXIST));
  return nullptr;
}

bool path_exists(const PathName& path) {
  FileStatus status{};
  return path_stat(path, status) == 0;
}

int check_archive_name() {
  FileStatus status{};
  if (path_stat(*driverState.archivePath, status) != 0) {
    if (errno == ENOENT) return 0;
    report_error_path_because(message_text(MSG_CANNOT_OPEN), *driverState.archivePath, strerror(errno));
    return -1;
  }
  if (status.is_regular()) return 0;
  report_error_path("%: not a regular file", *driverState.archivePath);
  return -1;
}

void note_archive_member(uint32_t time) {
  if (time > driverState.newestMemberTime) driverState.newestMemberTime = time;
  ++membersWritten;
}

void begin_output(ArchiveFile* target, ArchiveFile* old, int blockMode) {
  const char* oldComment = nullptr;
  if (old != nullptr) {
    if (old->prefixLength != 0) {
      // A self-extracting program in front of the old archive is carried over.
      int64_t saved = io_tell(old->file);
      io_seek(old->file, 0, 0);
      copy_bytes(old->file, target->file, old->prefixLength);
      target->prefixLength = old->prefixLength;
      io_seek(old->file, saved, 0);
    }
    oldComment = old->comment;
  } else {
    target->prefixLength = 0;
  }
  archiveSettings.multivolume = options.volumeSize != 0;
  char* edited = options.editArchiveComment ? edit_archive_comment(oldComment) : nullptr;
  target->writeGlobal(target, options.editArchiveComment ? edited : oldComment, blockMode);
  free(edited);
}

int archive_member_count() { return membersWritten; }
void reset_archive_member_count() { membersWritten = 0; }

int next_old_member(ArchiveFile* old, ArchiveFile* target) {
  int errorsBefore = error_count();
  int result = next_entry(old);
  if (error_count() == errorsBefore) {
    if (result == 1 && (old->entry.flags & ENTRY_PIECE) && old->entry.pieceOffset != 0) {
      // The rest of a file begun in an earlier volume: this is one volume of a set.
      report_error(message_text(MSG_CANNOT_UPDATE_VOLUMES));
    } else if (result == 0 && io_tell(old->file) < old->file->length) {
      // Bytes after the end marker would not go into the new archive.
      report_error_path(kDataAfterEnd, *old->path);
    } else {
      return result;
    }
  }
  note_failure(target);
  return -1;
}

int copy_old_member(ArchiveFile* old, ArchiveFile* target) {
  if (output_failed(target)) return -1;
  transfer.readSourceName = driverState.archivePath;
  transfer.writeTargetName = driverState.tempArchivePath;
  rewind_entry(old);
  int errorsBefore = error_count();
  copy_bytes(old->file, target->file, int64_t(old->entry.headerSize) + int64_t(old->entry.packedSize));
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
    report_error_path_because(message_text(MSG_WRITE_ERROR), *driverState.tempArchivePath,
                              io_error_text(target->file));
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
    bool written = io_write(f, kEndMarker, 2) == 2 && io_flush(f) == 0 && !(f->flags & IO_WRITE_ERROR);
    if (written && fsync(f->handle) != 0) {
      f->error = errno;
      written = false;
    }
    if (!written) {
      report_error_path_because(message_text(MSG_WRITE_ERROR), *driverState.tempArchivePath, io_error_text(f));
      ok = false;
    } else {
      target->file = nullptr;
      if (io_close(f) != 0) {
        report_error_path(message_text(MSG_WRITE_ERROR), *driverState.tempArchivePath);
        ok = false;
      }
    }
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
  static PathName archive("");
  archive = archive_in_place();
  const PathName& temp = *driverState.tempArchivePath;
  FileStatus status{};
  bool oldExists = path_stat(archive, status) == 0;
  // The new archive takes the place of the old one with its permissions.
  path_take_permissions(temp, oldExists ? &archive : nullptr);
  if (!choose_backup_name()) {
    report_error_path(message_text(MSG_CANNOT_CREATE), *driverState.backupArchivePath);
    discard_new_archive(nullptr);
    return -1;
  }
  const PathName& backup = *driverState.backupArchivePath;
  // Each move and the record of it happen together for the clean-up.
  hold_interrupts();
  if (!oldExists || path_rename(archive, backup) == 0) {
    driverState.movedArchivePath = &archive;
    driverState.archiveMovedAside = oldExists;
    if (path_rename(temp, archive) == 0) {
      driverState.tempArchiveOpen = 0;
      driverState.archiveMovedAside = 0;
      release_interrupts();
      if (oldExists) path_unlink(backup);
      return 0;
    }
    // The old archive goes back before anything else is tried.
    if (oldExists) path_rename(backup, archive);
    driverState.archiveMovedAside = 0;
  }
  release_interrupts();
  int result = replace_by_copy(archive);
  path_unlink(temp);
  driverState.tempArchiveOpen = 0;
  return result;
}

void set_archive_time() {
  const PathName archive = archive_in_place();
  if (membersWritten == 0) {
    path_unlink(archive);
    return;
  }
  int64_t seconds = unpack_dos_time(driverState.newestMemberTime);
  if (seconds > 0) path_set_time(archive, seconds, seconds);
}

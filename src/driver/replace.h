// The life of a new archive written under temporary name 0: old members copied
// into it, the finish that puts it safely on disk, and the swap that puts it in
// the place of the old archive (or its removal when anything failed).
#pragma once

#include <cstdint>

#include "archive/archive.h"

// Temporary archive name 0 (the new archive) or 1 (the old one moved aside):
// "_kv0##" or "_kv1##" and six digits, in the -w directory when that exists,
// else beside the archive. A later attempt gives another name of the same
// form, for when the first is taken. A new PathName owned by the caller.
PathName* temp_archive_name(int digit, unsigned attempt = 0);

// Opens the new archive under tempArchivePath for writing, of the run's archive
// kind, and marks it for removal by the fatal path. The file is created anew
// (mode 0600 until it takes the archive's place); when the name is taken, the
// next temporary name is tried. Null after a counted error.
ArchiveFile* open_new_archive();

// Whether anything (a link followed) exists at path.
bool path_exists(const PathName& path);
// Before anything is written: 0 when archivePath is a regular file or does
// not exist; -1 after a counted error when it is something else (a
// directory, FIFO or device) or cannot be looked at.
int check_archive_name();

// Starts a new archive: copies the old archive's prefix (self-extracting
// program) if any, then writes the global header with the old archive's
// comment (or an edited / asked one), the block-mode flag and the volume flag.
void begin_output(ArchiveFile* target, ArchiveFile* old, int blockMode);

// One member more in the new archive; raises newestMemberTime to its time.
void note_archive_member(uint32_t time);
// Members written into the new archive (volume) since the last reset.
int archive_member_count();
void reset_archive_member_count();

// next_entry on the old archive; damage it reports (a counted error) is noted
// on target, so that a damaged archive is never replaced by what could be
// read of it. A member continued from an earlier volume and bytes after the
// end marker count as such damage. 1 a member, 0 the end, -1 damage.
int next_old_member(ArchiveFile* old, ArchiveFile* target);

// Copies the current member of old (header and data, from its header on)
// unchanged into target and counts it. 0, or -1 after a counted error, which
// is then noted on target.
int copy_old_member(ArchiveFile* old, ArchiveFile* target);

// 1 when nothing more may be written to target: a failure was noted, or its
// file shows a write error (reported and noted here the first time).
int output_failed(ArchiveFile* target);

// Writes the end marker, flushes the new archive to the disk and closes it.
// 0 when the whole archive is safely on disk (it stays marked for removal by
// the fatal path until replace_archive or discard_new_archive); otherwise -1
// after a counted error, with the temporary archive removed. Releases target.
int finish_new_archive(ArchiveFile* target);
// Releases target (null allowed) and removes the temporary archive.
void discard_new_archive(ArchiveFile* target);

// Puts the finished temporary archive in the place of archivePath (of the
// file a symbolic link there points to), with the old archive's permissions.
// 0, or -1 after a counted error; the old archive is never lost: on failure
// it is still (or again) under its own name and the temporary archive is gone.
int replace_archive();

// Gives the archive the newest member time; an archive without members is
// removed instead. Only for an archive that replace_archive put in place.
void set_archive_time();

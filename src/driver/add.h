// Adding files to an archive (the commands a, m, n, b and u): the files are
// merged with the old archive's members in name order into a new archive,
// which may be split into volumes; moved files are deleted afterwards.
#pragma once

#include <cstdint>

#include "archive/archive.h"
#include "driver/member_writer.h"
#include "platform/console.h"
#include "platform/os.h"

// The command; called by the dispatcher for Add, Create and Update.
void add_members();

// Adds one file, copying before it the old members whose names sort first
// (unless noMerge). An old member of the same name is replaced, or kept when
// -u/-f is given and it is not older. old is advanced, or closed at its end.
// 1 when a member for the file (new or kept) was written, 0 when the file was
// left out, -1 when the new archive failed.
int add_one_file(const PathName& spec, ArchiveFile*& old, ArchiveFile* target, VolumeSpace* space,
                 int noMerge);

// The record of the files whose current content went into the new archive:
// only these may be deleted when files are moved into an archive.
void forget_added_files();
void remember_added_file(const PathName& path, const FileStatus& status);
// Deletes one remembered file (unless it changed since it was added) or
// directory (when it is empty); 1 when it was removed.
struct AddedFile;
int delete_added_file(const AddedFile& file);
// Deletes every remembered file, then the directories this leaves empty.
void delete_added_files();

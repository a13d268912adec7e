// Extract, test and print: walks the members of an archive (and of its
// following volumes), selects them, decides output paths and overwrites,
// decodes them and reports each member's result.
#pragma once

#include "archive/archive.h"
#include "platform/paths.h"
#include "platform/scan.h"

// The commands e, x, t and p on the archive of the run. The test of a freshly
// written archive calls it with usesTempArchive set and volumeWalk 0; with
// volumeWalk set, a multivolume archive is followed into its next volumes.
void extract_archive(int volumeWalk);

// Member walker callback: passes over hidden entries, and hands each member
// to extract_member with mode 0 (selected), 1 (block mode, not selected:
// decoded without output) or 2 (block mode, selected).
void extract_selected(ArchiveFile* archive, PathName& name, void* context);

// One member of archive with the mode of extract_selected.
void extract_member(ArchiveFile* archive, int mode);

// Whether the member's path stays inside the output (or current) directory:
// neither its name as stored, nor its path, nor the output path made of it
// leads outside (path_leads_outside).
bool member_path_safe(const EntryInfo& entry);

// The output path of a member: its stored path when paths are kept, else its
// name part, under the output directory when there is one. False (reported)
// when the result does not fit a path.
bool build_output_path(const EntryInfo& entry, PathName& output);

// Advances volume to the name of the next volume and opens it, asking while
// it is missing; null after a counted error naming it when the user gives up
// (or answers come from no terminal and it stays missing), or when there is
// no next name.
ArchiveFile* open_next_volume(PathName& volume, ArchiveKind kind);

// Writing one member into a new archive: the steps every way of adding
// shares (names, text flag, packed extensions), its header written before
// and after the data, and a whole member packed or stored; also the room of
// the volume being written, which adding and volumes share.
#pragma once

#include <cstdint>

#include "archive/archive.h"
#include "platform/console.h"

// The room of the volume being written, and a member that goes on in the next.
struct VolumeSpace {
  int64_t limit = INT64_MAX;       // the volume's data must end at or before this position
  int64_t spaceLeft = INT64_MAX;   // bytes still allowed in this volume
  int64_t continuationOffset = 0;  // source offset where the next piece starts
  int64_t continuationLeft = 0;    // bytes of the member still to be written
  int unfinished = 0;              // the current file goes on in the next volume
};

// Writes target->entry with the data of source (null for a member without
// data) as one member: a provisional header, the data, the final header.
// A member that does not shrink is stored instead (not in block mode).
// 1 written, -1 after a failure noted on target.
int pack_into_archive(ArchiveFile* target, IoFile* source, ActionKind action);

// The action line of a member: the action word and the name, left open
// while its data is written (a terminal sees the progress figure there),
// then ended by finish_member_line with the saving ratio. Written once per
// member, so redirected output gets one finished line each.
void announce_member(const PathName& name, ActionKind action);
void finish_member_line(int64_t unpacked, int64_t packed);

// Steps shared by every way of writing a member: the names quoted by read and
// write errors, the text flag (never in kvx archives) and storing files whose
// extension marks them as packed already.
void prepare_member(ArchiveFile* target);
// Writes the header of target->entry at position at of the new archive and
// leaves the file after it; the header's length, or -1 after a failure noted
// on target.
int write_member_header(ArchiveFile* target, int64_t at);
// Completes target->entry with the method flags, the sizes and the check
// value of the data just written, and writes its final header over the
// provisional one of the same length at position at, leaving the new
// archive's position after the member's data; length, or -1 after a failure
// noted on target.
int rewrite_member_header(ArchiveFile* target, int64_t at, int length, uint32_t crc, int64_t unpacked,
                          int64_t packed);


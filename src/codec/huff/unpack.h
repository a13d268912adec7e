// Member extraction for own, older own and ARJ archives: the action line,
// dispatch by method number, the stored copy and the block-mode window carry.
#pragma once

#include <cstdint>

struct ArchiveFile;
struct IoFile;
struct PathName;

// Decodes the current member of `archive` (its stream stands at the member's
// data) into `output` (null when testing). Prints the action line when
// `displayName` is given, with " TO " and `outputName` when that differs.
// Answers the finished check value of the bytes produced (the value of no data
// for a member that is not decoded).
uint32_t unpack_member(ArchiveFile* archive, IoFile* output, const PathName* displayName,
                       const PathName* outputName);

// Copies `size` bytes of the transfer state's input stream (check.h) unchanged
// to the output through the check value and the output sink; the ZIP and TAR
// readers use it too, after setting the input and output themselves. Stops
// early at end of input or on a write failure.
void copy_stored(uint32_t size);

// Forgets the window position carried between block-mode members, so that the
// next member starts from position 0.
void unpack_reset_carry();

// Member extraction for own, older own and ARJ archives: the action line,
// features no decoder handles, and the decoder of the member's method.
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

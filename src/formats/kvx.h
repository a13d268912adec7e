// The older own format (.kvx): no archive header, one small little-endian
// header per member with a marker byte, and the 16-bit sum as the check.
// Read and written.
#pragma once

#include "archive/archive.h"

// There is no archive header: always 0.
int kvx_open(ArchiveFile* archive);
// 1 a member (the stream at its data), 0 the end (end of file after the
// terminator), or an ENTRY_* damage code (a wrong marker, a header cut short,
// data past the end of the file).
int kvx_next(ArchiveFile* archive);
// Writes the header of entry: 24 + name length bytes; -1 when it does not fit
// the capacity or the name is longer than 255 bytes.
int kvx_build_header(unsigned char* buffer, int capacity, EntryInfo* entry);
// Writes nothing: the format has no archive header.
void kvx_write_global(ArchiveFile* archive, const char* comment, int blockMode);
// Headers cannot be found again after damage: -1.
int64_t kvx_resync(IoFile* file, int64_t from);

extern const FormatOps kKvxOps;

// The ARJ reader: archives of arj 2.x and 3.x, listed, tested and extracted
// through the default extractor (never written). Volumes are named .a01,
// .a02, ... after the first.
#pragma once

#include "archive/archive.h"

// 0 when a header id with a valid header was found in the first 32768 bytes
// (the stream left on it), 1 otherwise.
int arj_open(ArchiveFile* archive);
// Reads the next header: 1 member (the stream at its data; the main header
// and comment headers come as hidden entries), 0 end, or an ENTRY_* damage
// code for a header whose CRC does not hold or that is cut short.
int arj_next(ArchiveFile* archive);
// After damage at from: the next header id with a valid header; -1 when none.
int64_t arj_resync(IoFile* file, int64_t from);

extern const FormatOps kArjOps;

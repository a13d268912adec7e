// The ZIP reader: local headers in file order, stored and deflated members
// decoded (never written). Members written with data descriptors take their
// check value and sizes from the central directory.
#pragma once

#include "archive/archive.h"

// 0 when a local header signature was found in the first 32768 bytes (the
// stream left on it), 1 otherwise. Reads the central directory when there is one.
int zip_open(ArchiveFile* archive);
// 1 a member (the stream at its data), 0 the end (a central directory header
// or the end of the file), or an ENTRY_* damage code.
int zip_next(ArchiveFile* archive);
// Decodes the member to output (null: test); answers the CRC-32 of the bytes
// produced. Encrypted members and unknown methods are reported, not decoded.
uint32_t zip_extract(ArchiveFile* archive, IoFile* output, const PathName* displayName, const PathName* outputName);
// After damage at from: the next local header signature; -1 when none.
int64_t zip_resync(IoFile* file, int64_t from);

extern const FormatOps kZipOps;

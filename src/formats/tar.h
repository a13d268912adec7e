// The TAR reader: uncompressed TAR archives of the v7, ustar, GNU and pax
// forms, listed, tested and extracted (never written).
#pragma once

#include "archive/archive.h"

// Header blocks and data come in blocks of this size.
constexpr int TAR_BLOCK = 512;

// 0 when the buffer starts with a TAR header (its checksum holds and its type
// is one this reader knows), -1 otherwise.
int tar_detect(const unsigned char* buffer, int length);
// There is no archive header: always 0.
int tar_open(ArchiveFile* archive);
// Reads the headers of the next member, taking long names and extended
// headers (GNU "L"/"K", pax "x"/"g") for the member they precede. 1 member
// (the stream at its data), 0 end (zero block or end of file), or an ENTRY_*
// damage code: a checksum that does not hold, a type this reader does not
// know, a header cut short, data past the end of the file.
int tar_next(ArchiveFile* archive);
// Copies the member's data to output (null: test); answers 0, as TAR keeps no
// check value of the data.
uint32_t tar_extract(ArchiveFile* archive, IoFile* output, const PathName* displayName, const PathName* outputName);
// After damage at from: the next block boundary whose block is a valid header;
// -1 when there is none.
int64_t tar_resync(IoFile* file, int64_t from);

extern const FormatOps kTarOps;

// The own archive format: global header, entry headers, reserved features and
// the entry of a file about to be added. All integers are big-endian.
#pragma once

#include <cstdint>

#include "archive/archive.h"
#include "platform/os.h"

constexpr int KVN_GLOBAL_SCAN_LIMIT = 0x20000;  // the global magic must start within this many bytes
constexpr int KVN_MAX_BODY = 1024;              // header bodies are shorter than this
constexpr int KVN_MAX_NAME = 256;               // stored names with their zero are shorter than this
constexpr int KVN_MAX_COMMENT = 255;            // longest member comment
constexpr int KVN_HEADER_CAPACITY = 1024;       // buffer size callers pass to build_entry_header

// The operations of the own format, for the archive handle, and its row of
// the format table.
extern const FormatOps kKvnOps;
extern const FormatRow kKvnFormat;

// 0 when FF 4B 56 47 starts at an offset below length - 4, else -1.
int find_global_magic(const unsigned char* buffer, int length);
// Finds and reads the global header from the current position; 0 accepted,
// 1 not an archive of this format (reserved flags are reported first).
int read_global_header(ArchiveFile* archive);
// 1 a member was read, 0 end of archive, or one of the ENTRY_* damage codes
// of archive.h.
int read_entry_header(ArchiveFile* archive);
// Writes the entry header of entry into buffer; answers its length L + 10,
// or -1 when it does not fit the capacity.
int build_entry_header(unsigned char* buffer, int capacity, EntryInfo* entry);
void write_global_header(ArchiveFile* archive, const char* comment, int blockMode);
// Clears the multivolume flag in the global header already written to the
// archive: the volume is the last of its set. 0, or -1 when writing failed.
int mark_last_volume(ArchiveFile* archive);

// The reserved feature names in use, separated by ", ", or null when none.
// Both share one static buffer: use the answer before asking again.
const char* reserved_global_features(unsigned flags);
const char* reserved_local_features(unsigned flags);

// Prepares entry for a file about to be added.
void fill_entry_from_file(const char* name, const FileStatus& status, EntryInfo* entry);


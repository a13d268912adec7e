// The archive formats, one row each (archive/archive.h has the row's shape):
// the extension table of the command line, detection by content, which
// formats can be written, and opening an archive by kind all read this
// table. A new format is one row here and its reader in formats/.
#pragma once

#include "archive/archive.h"

constexpr int ARCHIVE_KIND_COUNT = 8;  // kinds 0..7; 7 (Detect) is chosen by content

// The row of kind; null for Detect and for codes outside the table.
const FormatRow* format_of_kind(int kind);
// The kind an extension word chooses (regardless of case); Detect for any other word.
int kind_index_of(const char* word);
// The extension given to an archive name without one (with its dot; "" for none).
const char* default_extension(int kind);

// Opens path for reading (mode 1) or creates it (mode 0) as an archive of
// kind; Detect reads the first bytes and tries the detectors in table order
// (the own format when none matches). As open_archive_as otherwise.
ArchiveFile* open_archive(const PathName& path, int mode, ArchiveKind kind, int report, int64_t startOffset);

// The listing commands: an archive header line, one line per selected member
// (short or verbose layout), and a totals line; volumes are listed in turn.
#include "driver/list.h"

#include <cstdio>
#include <cstring>

#include "formats/format_table.h"
#include "archive/dos_time.h"
#include "driver/extract.h"
#include "driver/formatting.h"
#include "driver/options.h"
#include "driver/prompts.h"
#include "platform/console.h"
#include "platform/os.h"

namespace {

// Catalogue messages of the listing.

const char* const kShortSeparator = "-------- -------- --------- ----- -----------------\n";
const char* const kVerboseSeparator = "- ---------- -------- -------- ------ -------- --------- ----- -------\n";

// The archive header's tags, in the order they are shown.
struct ArchiveTag {
  uint16_t flag;
  int message;         // catalogue message, or 0 for text
  const char* text;
};
const ArchiveTag kArchiveTags[] = {
    {GLOBAL_BLOCKED, 90, nullptr},       // "[blocked] "
    {GLOBAL_BACKUP, 91, nullptr},        // "[backup] "
    {GLOBAL_MULTIVOLUME, 92, nullptr},   // "[multivolume] "
    {GLOBAL_LEARNED, 93, nullptr},       // "[learned] "
    {GLOBAL_WIDE_WINDOW, 0, " [64K buffer]"},
};

// Running totals of one listing command, kept across volumes.
struct ListTotals {
  uint64_t unpacked;  // sum of the listed unpacked sizes
  uint64_t packed;    // sum of the listed packed sizes
  uint64_t members;   // listed members
  uint64_t matched;   // members that matched (headers and totals appear once it is non-zero)
};
ListTotals totals;

bool verbose_layout() { return options.listLayout == 0; }

// Saving ratio of packed in unpacked in the long percent form; values too big
// for the formatter are scaled down together, which keeps the ratio.
void print_ratio(uint64_t unpacked, uint64_t packed) {
  while (unpacked > 0x7fffffff || packed > 0x7fffffff) {
    unpacked >>= 1;
    packed >>= 1;
  }
  int32_t total = static_cast<int32_t>(unpacked);
  int32_t saved = static_cast<int32_t>(unpacked) - static_cast<int32_t>(packed);
  char text[8];
  format_percent(total, saved, text, true);
  print_text(text);
}

void print_hex8(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "%08X", value);
  print_text(text);
}

// Host system and access rights, 13 characters.
void print_host_and_access(const EntryInfo& entry) {
  switch (entry.host) {
    case HOST_DOS:
      print_text("DOS          ");
      return;
    case HOST_WIN32:
      print_text("WIN32        ");
      return;
    case HOST_UNIX:
    case HOST_UNIX_Q:
      break;
    default:
      print_text("?            ");
      return;
  }
  char field[14];
  field[0] = entry.host == HOST_UNIX ? 'U' : 'Q';
  field[1] = ' ';
  uint32_t mode = entry.mode;
  field[2] = (mode & 0x4000) ? 'd' : (mode & 0x1000) ? 'f' : (mode & 0x2000) ? 'c' : '-';
  const char* letters = "rwxrwxrwx";
  for (int i = 0; i < 9; ++i) field[3 + i] = (mode & (0x100u >> i)) ? letters[i] : '-';
  field[12] = ' ';
  field[13] = '\0';
  print_text(field);
}

// The nine-character flags field: method, G, piece, text, key, directory, extension.
void print_entry_flags(const EntryInfo& entry) {
  char field[] = " ?--B--- ";
  uint16_t flags = entry.flags;
  if (flags & ENTRY_STORED) {
    field[1] = 'C';
  } else if (flags & ENTRY_FIVE) {
    field[1] = 'H';
  } else {
    // Foreign formats show their own method numbers; beyond one printable
    // character the method is shown as '?'.
    field[1] = entry.methodCode <= '~' - '0' ? static_cast<char>('0' + entry.methodCode) : '?';
  }
  if (flags & ENTRY_G) field[2] = 'G';
  if (flags & ENTRY_PIECE) field[3] = 'B';
  if (flags & ENTRY_TEXT) field[4] = 'T';
  if (flags & ENTRY_PUBLIC_KEY) {
    field[5] = 'P';
  } else if (flags & ENTRY_CONV_KEY) {
    field[5] = 'C';
  }
  if (flags & ENTRY_DIRECTORY) field[6] = 'D';
  if (flags & ENTRY_EXTENSION) field[7] = 'E';
  print_text(field);
}

void print_column_header() {
  if (verbose_layout()) {
    print_text(message_text(MSG_VERBOSE_COLUMNS));
    print_text(kVerboseSeparator);
  } else {
    print_text(message_text(MSG_SHORT_COLUMNS));
    print_text(kShortSeparator);
  }
}

void print_archive_header(ArchiveFile* archive) {
  print_text(message_text(MSG_LISTING_OF));
  print_path(*archive->path);
  print_text(" ");
  for (const ArchiveTag& tag : kArchiveTags) {
    if (archive->globalFlags & tag.flag) print_text(tag.message ? message_text(tag.message) : tag.text);
  }
  if (options.showArchiveComment) print_archive_comment(archive);
  print_text("\n");
}

// The archive file's own modification time as a DOS date and time; 0 when
// its status cannot be read.
uint32_t archive_file_time(const PathName& path) {
  FileStatus status;
  if (path_stat(path, status) != 0) return 0;
  return pack_dos_time(status.mtime);
}

void print_totals(const PathName& archivePath) {
  if (verbose_layout()) {
    print_text(kVerboseSeparator);
    print_repeated(' ', 13);
    print_number(totals.unpacked, 8, ' ');
    print_text(" ");
    print_number(totals.packed, 8, ' ');
    print_text(" ");
    print_ratio(totals.unpacked, totals.packed);
    print_repeated(' ', 10);
  } else {
    print_text(kShortSeparator);
    print_number(totals.unpacked, 8, ' ');
    print_text(" ");
    print_number(totals.packed, 8, ' ');
  }
  print_dos_date(archive_file_time(archivePath));
  print_text(message_text(MSG_TOTAL_WORD));
  print_number(totals.members, 5, ' ');
}

}  // namespace

void list_member(ArchiveFile* archive, PathName& name, void* /*context*/) {
  const EntryInfo& entry = archive->entry;
  if (!spec_matches(driverState.fileSpecs, name)) return;
  if (entry.hidden & 0x80000000u) return;

  if (totals.matched == 0) {
    if (options.listVariantO) {
      print_text(message_text(MSG_ARCHIVE_WORD));
      print_path(*archive->path);
      print_text("\n");
    } else {
      print_column_header();
    }
  }
  ++totals.matched;

  if (verbose_layout()) print_host_and_access(entry);
  print_number(entry.unpackedSize, 8, ' ');
  print_text(" ");
  print_number(entry.packedSize, 8, ' ');
  if (verbose_layout()) {
    print_text(" ");
    print_ratio(entry.unpackedSize, entry.packedSize);
    print_text("  ");
    print_hex8(entry.dataCrc);
  }
  print_dos_date(entry.time);
  print_entry_flags(entry);
  if (verbose_layout()) print_text("\n");

  char stored[PATH_MAX_TEXT];
  name.stored_name(stored);
  print_name(stored);
  if (entry.linkTarget[0]) {
    print_text(" --> ");
    print_name(entry.linkTarget);
  }
  if ((entry.flags & ENTRY_PIECE) && entry.pieceOffset != 0) {
    print_text(message_text(MSG_BREAK_AT));
    print_number(entry.pieceOffset, -1, ' ');
    print_text("]");
  }
  if (options.showArchiveComment && entry.commentText[0]) {
    print_text("  ");
    print_comment(entry.commentText);
  }
  print_text("\n");

  totals.packed += entry.packedSize;
  totals.unpacked += entry.unpackedSize;
  ++totals.members;
}

void list_archive() {
  totals = ListTotals{};
  PathName volume(*driverState.archivePath);
  ArchiveFile* archive =
      open_archive(volume, 1, static_cast<ArchiveKind>(options.archiveKindIndex), 1, 0);
  if (!archive) return;
  const ArchiveKind kind = archive->kind;
  clear_spec_marks(driverState.fileSpecs);

  while (archive) {
    if (!options.listVariantO) print_archive_header(archive);
    for_each_entry(archive, list_member);
    // Each volume but the last of a set carries the flag.
    const bool more = (archive->globalFlags & GLOBAL_MULTIVOLUME) != 0;
    archive = close_archive(archive);
    if (more) archive = open_next_volume(volume, kind);
  }
  report_unmatched_specs(driverState.fileSpecs);

  if (totals.matched != 0 && !options.listVariantO) print_totals(*driverState.archivePath);
  if (!options.listVariantO) print_text("\n");
  flush_messages();
}

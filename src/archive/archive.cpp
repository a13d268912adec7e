// The archive handle: opening with format dispatch, the member walk with its
// resynchronising search, and beginning and closing an output archive.
#include "archive/archive.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <new>

#include "archive/kvn_format.h"
#include "archive/settings.h"
#include "platform/fatal.h"
#include "platform/console.h"

namespace {

constexpr unsigned char kEntryMagic[4] = {0xFF, 0x4B, 0x56, 0x58};

// Positions f at the next entry magic at or after `from`; -1 at end of file.
// Only the first magic byte is 0xFF, so a mismatching byte is retried as a
// first byte simply by testing it for 0xFF.
int seek_entry_magic(IoFile* f, int64_t from) {
  io_seek(f, from, 0);
  int matched = 0;
  while (matched < 4) {
    int c = io_get_byte(f);
    if (c < 0) return -1;
    if (matched > 0 && c == kEntryMagic[matched])
      matched++;
    else
      matched = c == 0xFF ? 1 : 0;
  }
  io_seek(f, io_tell(f) - 4, 0);
  return 0;
}

}  // namespace

void clear_entry(EntryInfo& entry) { entry = EntryInfo{}; }

NameProblem stored_name_problem(const char* text) {
  if (strchr(text, '\n')) return NAME_LINE_END;
  return path_leads_outside(text) ? NAME_OUTSIDE : NAME_FINE;
}

void take_member_name(EntryInfo& entry, const char* text) {
  entry.name.assign_stored(text);
  entry.nameProblem = stored_name_problem(text);
}

void take_directory_name(EntryInfo& entry, std::string text) {
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  take_member_name(entry, text.c_str());
  entry.flags |= ENTRY_DIRECTORY;
}

int refuse_build_header(unsigned char*, int, EntryInfo*) { fatal_error(message_text(MSG_ONLY_OWN_WRITABLE)); }

void refuse_write_global(ArchiveFile*, const char*, int) { fatal_error(message_text(MSG_ONLY_OWN_WRITABLE)); }

int install_format(ArchiveFile* archive, const FormatRow* format) {
  if (format == nullptr || !format->readerPlanned) fatal_error("bad select archiver\n");
  const FormatOps* ops = format->ops;
  if (ops == nullptr) {
    // A format whose reader is not part of this build yet.
    report_error("bad select archiver");
    return -1;
  }
  archive->kind = format->kind;
  archive->format = format;
  archive->open = ops->open;
  archive->next = ops->next;
  archive->extract = ops->extract;
  archive->checksum = ops->checksum;
  archive->buildHeader = ops->buildHeader;
  archive->writeGlobal = ops->writeGlobal;
  transfer.checkUpdate = ops->checksum;
  return 0;
}

namespace {

const char* const kNotRegularFile = "%: not a regular file";

// Opens an existing archive for reading; null after the report, or silently
// when it does not exist and report is not set. Anything that exists but
// cannot be read is always reported, with the system's reason.
IoFile* open_existing(const PathName& path, int report, ArchiveFile* archive) {
  FileStatus status{};
  if (path_stat(path, status) != 0) {
    const int reason = errno;
    if (reason == ENOENT || reason == ENOTDIR) {
      if (report) report_error_path(message_text(MSG_ARCHIVE_NOT_FOUND), path);
    } else {
      report_error_path_because(message_text(MSG_CANNOT_OPEN), path, strerror(reason));
    }
    return nullptr;
  }
  // A directory, FIFO or device is no archive: it is never read, and never
  // moved aside for a new archive.
  if (!status.is_regular()) {
    report_error_path(kNotRegularFile, path);
    return nullptr;
  }
  IoFile* file = io_open_path(path, IO_MODE_READ);
  if (file == nullptr) {
    report_error_path_because(message_text(MSG_CANNOT_OPEN), path, strerror(errno));
    return nullptr;
  }
  archive->device = status.device;
  archive->inode = status.inode;
  return file;
}

}  // namespace

ArchiveFile* open_archive_as(const PathName& path, int mode, const FormatRow* format, FormatChooser choose,
                             int report, int64_t startOffset) {
  if (mode != 0 && mode != 1) return nullptr;
  ArchiveFile* archive = new (std::nothrow) ArchiveFile;
  if (archive == nullptr) {
    report_error_path(message_text(MSG_OUT_OF_MEMORY), path);
    return nullptr;
  }
  if (mode == 1) {
    archive->file = open_existing(path, report, archive);
  } else {
    // A new archive is always a file of its own: never one that exists, nor
    // what a link planted at its name points to.
    archive->file = io_open_path(path, IO_MODE_CREATE_NEW);
    if (archive->file == nullptr && report)
      report_error_path_because(message_text(MSG_CANNOT_CREATE_ARCHIVE), path, strerror(errno));
  }
  if (archive->file == nullptr) {
    delete archive;
    return nullptr;
  }
  if (format == nullptr && mode == 1 && choose != nullptr) format = choose(archive->file);
  archive->path = new (std::nothrow) PathName(path);
  if (archive->path == nullptr || install_format(archive, format) != 0) {
    if (archive->path == nullptr) report_error_path(message_text(MSG_OUT_OF_MEMORY), path);
    close_archive(archive);
    if (mode == 0) path_unlink(path);  // the new file made for it goes too
    return nullptr;
  }
  if (mode == 1) {
    // A start offset past the end must not leave the stream where it was.
    bool placed = io_seek(archive->file, startOffset, 0) >= 0;
    if (!placed || archive->open(archive) != 0) {
      close_archive(archive);
      report_error_path(message_text(MSG_NOT_ARCHIVE), path);
      return nullptr;
    }
    archive->state = ARCHIVE_STATE_READ;
  } else {
    archive->state = ARCHIVE_STATE_WRITE;
    archive->dataPos = 0;
    archive->headerPos = 0;
    archive->prefixLength = 0;
  }
  archive->volumeBudget = -1;
  archive->failures = 0;
  return archive;
}

ArchiveSettings archiveSettings;

ArchiveFile* close_archive(ArchiveFile* archive) {
  if (archive == nullptr) return nullptr;
  free(archive->comment);
  archive->comment = nullptr;
  if (archive->file != nullptr) io_close(archive->file);
  archive->file = nullptr;
  archive->state &= ~ARCHIVE_OPEN;
  delete archive->path;
  delete archive;
  return nullptr;
}

void print_archive_comment(ArchiveFile* archive) {
  if (archive == nullptr || !(archive->state & ARCHIVE_OPEN) || archive->comment == nullptr) return;
  print_text(" -\n");
  print_comment(archive->comment);
  flush_messages();
}

namespace {

// The reason a damaged stretch was skipped, as the user reads it.
const char* damage_reason(int result) {
  switch (result) {
    case ENTRY_BAD_HEADER_CRC: return message_text(MSG_HEADER_CRC_ERROR);
    case ENTRY_DATA_PAST_END: return "member data past the end of the archive";
    default: return message_text(MSG_BAD_HEADER);
  }
}

// Counted error for the bytes [from, to) of the archive that the walk passes over.
void report_skipped(ArchiveFile* archive, int result, int64_t from, int64_t to) {
  char text[ERROR_TEXT_MAX + 1];
  if (result == ENTRY_NO_END_MARKER)
    snprintf(text, sizeof text, "%%: archive ends at offset %lld without its end marker",
             static_cast<long long>(from));
  else
    snprintf(text, sizeof text, "%%: %s at offset %lld, %lld bytes skipped", damage_reason(result),
             static_cast<long long>(from), static_cast<long long>(to - from));
  report_error_with(text, archive->path ? archive->path->full_path() : "");
}

}  // namespace

int next_entry(ArchiveFile* archive) {
  if (archive == nullptr || !(archive->state & ARCHIVE_OPEN) || (archive->state & ARCHIVE_ENDED)) return 0;
  for (;;) {
    archive->headerPos = io_tell(archive->file);
    int result = archive->next(archive);
    if (result == 0) archive->state |= ARCHIVE_ENDED;
    if (result >= 0) return result;
    const int64_t from = archive->headerPos;
    if (result == ENTRY_NO_END_MARKER) {
      report_skipped(archive, result, from, from);
      archive->state |= ARCHIVE_ENDED;
      return 0;
    }
    // The search starts one byte after the failed header, so a magic that
    // began inside the bytes the reader consumed is still found.
    const ResyncFunction resync = archive->format ? archive->format->resync : nullptr;
    bool found = resync ? resync(archive->file, from + 1) >= 0 : seek_entry_magic(archive->file, from + 1) == 0;
    int64_t to = found ? io_tell(archive->file) : archive->file->length;
    report_skipped(archive, result, from, to);
    if (!found) {
      archive->state |= ARCHIVE_ENDED;
      return 0;
    }
  }
}

int for_each_entry(ArchiveFile* archive, EntryVisitor visitor, void* context) {
  while (next_entry(archive) == 1) {
    visitor(archive, archive->entry.name, context);
    if (!(archive->state & ARCHIVE_OPEN)) break;
    if (archive->nextPos != -1) io_seek(archive->file, archive->nextPos, 0);
  }
  return 0;
}

void skip_entry(ArchiveFile* archive) {
  if (archive != nullptr && (archive->state & ARCHIVE_OPEN) && archive->nextPos != -1)
    io_seek(archive->file, archive->nextPos, 0);
}

void rewind_entry(ArchiveFile* archive) {
  if (archive != nullptr && (archive->state & ARCHIVE_OPEN)) io_seek(archive->file, archive->headerPos, 0);
}

uint32_t failure_count(ArchiveFile* archive) { return archive == nullptr ? 1 : archive->failures; }

void note_failure(ArchiveFile* archive) {
  if (archive != nullptr) archive->failures++;
}

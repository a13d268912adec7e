// One member written into the new archive: a provisional header, the data
// (packed, or stored when it does not shrink), the final header.
#include "driver/member_writer.h"

#include "archive/kvn_format.h"
#include "codec/common/transfer.h"
#include "codec/methods.h"
#include "codec/pack.h"
#include "driver/options.h"
#include "driver/replace.h"
#include "platform/scan.h"

namespace {

const char* const kTooLarge = "%: too large for an archive member (4 GiB or more), not added";

// A header that could not be written: reported and noted once; answers -1.
int header_write_failed(ArchiveFile* target) {
  if (!output_failed(target)) {
    report_error_path_because(message_text(MSG_WRITE_ERROR), *driverState.tempArchivePath,
                              io_error_text(target->file));
    note_failure(target);
  }
  return -1;
}

}  // namespace

void announce_member(const PathName& name, ActionKind action) { print_action_with(name, action, "  "); }

void finish_member_line(int64_t unpacked, int64_t packed) {
  char ratio[16];
  format_percent(unpacked, unpacked - packed, ratio, true);
  print_text(ratio);
  print_text("\n");
}

void prepare_member(ArchiveFile* target) {
  EntryInfo& e = target->entry;
  transfer.readSourceName = &e.name;
  transfer.writeTargetName = driverState.tempArchivePath;
  if (!target->format->textFlags) e.flags &= uint16_t(~ENTRY_TEXT);
  if (options.storePackedExtensions && ext_in_list(e.name)) e.flags |= ENTRY_STORED;
  transfer.textMode = (e.flags & ENTRY_TEXT) != 0;
}

int write_member_header(ArchiveFile* target, int64_t at) {
  unsigned char header[KVN_HEADER_CAPACITY];
  int length = target->buildHeader(header, int(sizeof header), &target->entry);
  if (length < 0) {
    report_name_too_long(target->entry.name.full_path());
    note_failure(target);
    return -1;
  }
  if (io_seek(target->file, at, 0) < 0 || io_write(target->file, header, length) != length) {
    return header_write_failed(target);
  }
  return output_failed(target) ? -1 : length;
}

int rewrite_member_header(ArchiveFile* target, int64_t at, int length, uint32_t crc, int64_t unpacked,
                          int64_t packed) {
  EntryInfo& e = target->entry;
  if (unpacked > int64_t(UINT32_MAX) || packed > int64_t(UINT32_MAX)) {
    // A size the header cannot hold would be cut: the member is refused.
    report_error_path(kTooLarge, e.name);
    note_failure(target);
    return -1;
  }
  const MethodRow& method = method_for_packing();
  if (!(e.flags & ENTRY_STORED) || method.flagsWhenStored) e.flags |= method.entryFlags;
  e.unpackedSize = uint32_t(unpacked);
  e.packedSize = uint32_t(packed);
  e.dataCrc = crc;
  unsigned char header[KVN_HEADER_CAPACITY];
  // The header keeps its length: only sizes, check value and flags change.
  if (target->buildHeader(header, int(sizeof header), &e) != length ||
      io_write_at(target->file, at, header, length) != length) {
    return header_write_failed(target);
  }
  return output_failed(target) ? -1 : length;
}

int pack_into_archive(ArchiveFile* target, IoFile* source, ActionKind action) {
  if (output_failed(target)) return -1;
  EntryInfo& e = target->entry;
  prepare_member(target);
  IoFile* f = target->file;
  const int64_t headerPos = io_tell(f);
  const int headerLength = write_member_header(target, headerPos);
  if (headerLength < 0) return -1;
  const int64_t dataPos = headerPos + headerLength;
  if (e.unpackedSize == 0 || (e.flags & ENTRY_DIRECTORY) || source == nullptr) e.flags |= ENTRY_STORED;

  const int64_t size = e.unpackedSize;
  int64_t unpacked = 0;
  int64_t packed = 0;
  uint32_t crc;
  int errorsBefore = error_count();
  announce_member(e.name, action);
  if (e.flags & ENTRY_STORED) {
    crc = store_member(source, f, 0, nullptr, 0, source ? size : 0, &unpacked, &packed);
  } else {
    crc = pack_member(source, f, 0, size, &unpacked, &packed);
    // Data that did not shrink is stored; block mode keeps the stream whole.
    // The line stays as it is: only its ratio tells.
    if (error_count() == errorsBefore && !output_failed(target) && !codecSettings.blockMode && packed >= unpacked) {
      e.flags |= ENTRY_STORED;
      io_seek(source, 0, 0);
      io_seek(f, dataPos, 0);
      io_truncate(f, dataPos);
      crc = store_member(source, f, 0, nullptr, 0, size, &unpacked, &packed);
    }
  }
  finish_member_line(unpacked, packed);
  // A method this build cannot pack, or a read error while storing, is a
  // counted error: the member is not in the archive as it should be.
  if (error_count() != errorsBefore) note_failure(target);
  if (output_failed(target)) return -1;

  if (rewrite_member_header(target, headerPos, headerLength, crc, unpacked, packed) != headerLength) return -1;
  note_archive_member(e.time);
  return 1;
}


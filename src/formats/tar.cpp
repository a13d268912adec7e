// Reading TAR archives. Trusted: nothing read from the archive. Every header
// is checked against its checksum before a field of it is used, numeric
// fields never read past their width, and extended headers are bounded.
#include "formats/tar.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "archive/dos_time.h"
#include "codec/common/transfer.h"
#include "platform/console.h"

namespace {

constexpr int kNameField = 100;
constexpr int kModeAt = 100, kUidAt = 108, kGidAt = 116, kSizeAt = 124, kMtimeAt = 136;
constexpr int kChecksumAt = 148, kTypeAt = 156, kLinkAt = 157, kMagicAt = 257, kPrefixAt = 345;
constexpr int kPrefixField = 155;
constexpr int64_t kExtendedLimit = 1 << 20;  // largest long name or extended header read

const char* const kTooLarge = "%: TAR member of 4 GiB or more, skipped";
const char* const kSparse = "%: sparse member, not extracted";

// GNU's sparse members: the old header type, its extension blocks of map
// entries (each says at its end whether another follows).
constexpr unsigned char kTypeSparse = 'S';
constexpr int kSparseExtendedAt = 482, kSparseBlockExtendedAt = 504;
// GNU's other kinds of header: a volume label (no member), and a directory
// of an incremental dump whose data lists its contents.
constexpr unsigned char kTypeLabel = 'V', kTypeDumpDirectory = 'D';

// What the long-name and extended headers say about the member that follows
// (and, for "g", about every member that follows).
struct Pending {
  std::string name;        // from "L" or a pax path
  std::string link;        // from "K" or a pax linkpath
  int64_t size = -1;       // from a pax size
  int64_t mtime = -1;      // from a pax mtime
  int64_t globalMtime = -1;
  bool sparse = false;     // from GNU.sparse.* keys: the data is a map and pieces
  std::string sparseName;  // the sparse file's own name (GNU.sparse.name)
};
Pending pending;
bool sparse = false;  // the current member holds a sparse file's pieces, not the file

bool all_zero(const unsigned char* block) {
  for (int i = 0; i < TAR_BLOCK; i++)
    if (block[i] != 0) return false;
  return true;
}

// An octal field: leading spaces skipped (they count against the width), then
// octal digits while the width lasts. A first byte with its high bit set
// starts a base-256 number (big-endian, the rest of that byte included).
int64_t numeric_field(const unsigned char* field, int width) {
  if (field[0] & 0x80) {
    int64_t v = field[0] & 0x3F;
    if (field[0] & 0x40) return -1;  // negative: no size or time of ours
    for (int i = 1; i < width; i++) {
      if (v > (INT64_MAX >> 8)) return -1;
      v = (v << 8) | field[i];
    }
    return v;
  }
  int i = 0;
  while (i < width && field[i] == ' ') i++;
  int64_t v = 0;
  for (; i < width && field[i] >= '0' && field[i] <= '7'; i++) {
    if (v > (INT64_MAX >> 3)) return -1;
    v = v * 8 + (field[i] - '0');
  }
  return v;
}

// The header's checksum holds: the sum of its bytes with the checksum field
// counted as spaces, unsigned (or, as some writers have it, signed).
bool checksum_holds(const unsigned char* block) {
  int64_t stored = numeric_field(block + kChecksumAt, 8);
  int64_t sum = 0, signedSum = 0;
  for (int i = 0; i < TAR_BLOCK; i++) {
    unsigned char c = (i >= kChecksumAt && i < kChecksumAt + 8) ? ' ' : block[i];
    sum += c;
    signedSum += static_cast<signed char>(c);
  }
  return stored >= 0 && (stored == sum || stored == signedSum);
}

bool known_type(unsigned char type) {
  return type == 0 || (type >= '0' && type <= '7') || type == 'L' || type == 'K' || type == 'x' || type == 'g' ||
         type == kTypeSparse || type == kTypeLabel || type == kTypeDumpDirectory;
}

bool valid_header(const unsigned char* block) {
  return !all_zero(block) && checksum_holds(block) && known_type(block[kTypeAt]);
}

// A zero-ended text of at most width bytes.
std::string field_text(const unsigned char* field, int width) {
  const void* end = memchr(field, 0, size_t(width));
  size_t n = end ? size_t(static_cast<const unsigned char*>(end) - field) : size_t(width);
  return std::string(reinterpret_cast<const char*>(field), n);
}

int64_t padded(int64_t size) { return (size + TAR_BLOCK - 1) / TAR_BLOCK * TAR_BLOCK; }

// Reads the data of a long-name or extended header into text; false when it
// is larger than any name or header this reader takes, or cut short.
bool read_extension(IoFile* f, int64_t size, std::string& text) {
  if (size < 0 || size > kExtendedLimit) return false;
  text.assign(size_t(size), '\0');
  if (size > 0 && io_read(f, &text[0], int(size)) != int(size)) return false;
  int64_t rest = padded(size) - size;
  return io_seek(f, rest, 1) >= 0;
}

// The records of a pax extended header: "LENGTH key=value\n" each, LENGTH
// counting the whole record. Malformed records end the parse.
void take_pax(const std::string& text, bool global) {
  size_t at = 0;
  while (at < text.size()) {
    size_t space = text.find(' ', at);
    if (space == std::string::npos) return;
    size_t length = 0;
    for (size_t i = at; i < space; i++) {
      if (text[i] < '0' || text[i] > '9' || length > text.size()) return;
      length = length * 10 + size_t(text[i] - '0');
    }
    if (length <= space - at + 1 || at + length > text.size() || text[at + length - 1] != '\n') return;
    std::string record = text.substr(space + 1, at + length - 1 - (space + 1));
    size_t equals = record.find('=');
    if (equals != std::string::npos) {
      std::string key = record.substr(0, equals), value = record.substr(equals + 1);
      int64_t number = -1;
      if (!value.empty() && value[0] >= '0' && value[0] <= '9') number = strtoll(value.c_str(), nullptr, 10);
      if (key == "mtime" && number >= 0) (global ? pending.globalMtime : pending.mtime) = number;
      if (!global) {
        if (key == "path") pending.name = value;
        if (key == "linkpath") pending.link = value;
        if (key == "size" && number >= 0) pending.size = number;
        if (key.compare(0, 11, "GNU.sparse.") == 0) pending.sparse = true;
        if (key == "GNU.sparse.name") pending.sparseName = value;
      }
    }
    at += length;
  }
}

void clear_member_pending() {
  pending.name.clear();
  pending.link.clear();
  pending.size = -1;
  pending.mtime = -1;
  pending.sparse = false;
  pending.sparseName.clear();
}

}  // namespace

const FormatOps kTarOps = {tar_open, tar_next, tar_extract, crc32_update, refuse_build_header, refuse_write_global};

int tar_detect(const unsigned char* buffer, int length) {
  unsigned char block[TAR_BLOCK] = {};
  memcpy(block, buffer, size_t(length < TAR_BLOCK ? length : TAR_BLOCK));
  return valid_header(block) ? 0 : -1;
}

int tar_open(ArchiveFile* archive) {
  archive->globalFlags = 0;
  archive->prefixLength = 0;
  pending = Pending{};
  return 0;
}

int64_t tar_resync(IoFile* f, int64_t from) {
  unsigned char block[TAR_BLOCK];
  for (int64_t at = padded(from); io_seek(f, at, 0) >= 0; at += TAR_BLOCK) {
    if (io_read(f, block, TAR_BLOCK) != TAR_BLOCK) return -1;
    if (valid_header(block)) {
      io_seek(f, at, 0);
      return at;
    }
  }
  return -1;
}

int tar_next(ArchiveFile* archive) {
  IoFile* f = archive->file;
  EntryInfo& e = archive->entry;
  for (;;) {
    clear_entry(e);
    unsigned char block[TAR_BLOCK] = {};
    const int got = io_read(f, block, TAR_BLOCK);
    if (got <= 0) {
      archive->nextPos = -1;
      clear_member_pending();
      return 0;  // the end of the file ends an archive without end blocks
    }
    if (got < TAR_BLOCK) return ENTRY_CUT_SHORT;
    if (all_zero(block)) {
      archive->nextPos = -1;
      return 0;
    }
    if (!checksum_holds(block)) return ENTRY_BAD_HEADER_CRC;
    const unsigned char type = block[kTypeAt];
    if (!known_type(type)) return ENTRY_BAD_FIELD;
    int64_t size = numeric_field(block + kSizeAt, 12);
    if (size < 0) return ENTRY_BAD_FIELD;

    if (type == 'L' || type == 'K' || type == 'x' || type == 'g') {
      std::string text;
      if (!read_extension(f, size, text)) return ENTRY_BAD_FIELD;
      if (type == 'L') pending.name = field_text(reinterpret_cast<const unsigned char*>(text.data()), int(text.size()));
      if (type == 'K') pending.link = field_text(reinterpret_cast<const unsigned char*>(text.data()), int(text.size()));
      if (type == 'x' || type == 'g') take_pax(text, type == 'g');
      continue;  // the member they describe follows
    }
    if (type == kTypeLabel) {
      clear_member_pending();
      if (io_seek(f, padded(size), 1) < 0) return ENTRY_CUT_SHORT;
      continue;
    }

    std::string name = field_text(block, kNameField);
    // POSIX ustar (not GNU's "ustar  ") keeps the start of a long path in the prefix field.
    if (memcmp(block + kMagicAt, "ustar", 6) == 0) {
      std::string prefix = field_text(block + kPrefixAt, kPrefixField);
      if (!prefix.empty()) name = prefix + "/" + name;
    }
    if (!pending.name.empty()) name = pending.name;
    if (!pending.sparseName.empty()) name = pending.sparseName;
    std::string link = pending.link.empty() ? field_text(block + kLinkAt, kNameField) : pending.link;
    if (pending.size >= 0) size = pending.size;
    int64_t mtime = pending.mtime >= 0 ? pending.mtime : pending.globalMtime;
    if (mtime < 0) mtime = numeric_field(block + kMtimeAt, 12);
    sparse = pending.sparse || type == kTypeSparse;
    clear_member_pending();
    // The old sparse header's map may go on in blocks of its own before the data.
    for (bool more = type == kTypeSparse && block[kSparseExtendedAt] != 0; more;) {
      unsigned char extension[TAR_BLOCK];
      if (io_read(f, extension, TAR_BLOCK) != TAR_BLOCK) return ENTRY_CUT_SHORT;
      more = extension[kSparseBlockExtendedAt] != 0;
    }

    const bool isLink = type == '1' || type == '2';
    if (isLink) size = 0;  // a link's size field says nothing of data here
    archive->dataPos = io_tell(f);
    archive->nextPos = archive->dataPos + padded(size);
    e.headerSize = TAR_BLOCK;
    e.host = HOST_UNIX;
    e.methodCode = 0;
    if (type == '5' || type == kTypeDumpDirectory || (!name.empty() && name.back() == '/')) {
      take_directory_name(e, name);
    } else {
      take_member_name(e, name.c_str());
    }
    e.nameLength = uint16_t(name.size() > 0xFFFF ? 0xFFFF : name.size());
    // The mode with the type of the member, as a Unix host gives it.
    int64_t mode = numeric_field(block + kModeAt, 8);
    const uint32_t kind = (e.flags & ENTRY_DIRECTORY) ? 0040000u : type == '2' ? 0120000u : 0100000u;
    e.mode = mode < 0 ? 0 : kind | uint32_t(mode & 07777);
    int64_t uid = numeric_field(block + kUidAt, 8), gid = numeric_field(block + kGidAt, 8);
    e.uid = uid < 0 || uid > UINT32_MAX ? 0 : uint32_t(uid);
    e.gid = gid < 0 || gid > UINT32_MAX ? 0 : uint32_t(gid);
    if (mtime < 0) mtime = 0;
    e.mtime = mtime;
    e.time = pack_dos_time(mtime);
    if (isLink) {
      size_t n = link.size() < sizeof e.linkTarget - 1 ? link.size() : sizeof e.linkTarget - 1;
      memcpy(e.linkTarget, link.data(), n);
      e.linkTarget[n] = '\0';
      if (n == 0) memcpy(e.linkTarget, "?", 2);  // a link without a target is still no file
    }
    if (archive->dataPos + size > f->length) return ENTRY_DATA_PAST_END;
    if (size > int64_t(UINT32_MAX)) {
      // A member size holds 32 bits: this one cannot be shown or extracted.
      report_error_path(kTooLarge, e.name);
      io_seek(f, archive->nextPos, 0);
      continue;
    }
    // A dump directory's data lists its contents: passed over, not extracted.
    e.unpackedSize = e.packedSize = type == kTypeDumpDirectory ? 0 : uint32_t(size);
    e.dataCrc = 0;
    return 1;
  }
}

uint32_t tar_extract(ArchiveFile* archive, IoFile* output, const PathName* displayName, const PathName* outputName) {
  transfer_begin(archive->file, output, archive->entry.unpackedSize);
  transfer_announce(displayName, outputName);
  if (sparse) {
    // Its data are a map and the pieces: written out as they stand they
    // would make another file than the one archived.
    print_text("\n");
    report_error_path(kSparse, archive->entry.name);
    transfer_finish();
    return 0;
  }
  copy_stored(archive->entry.unpackedSize);
  transfer_finish();
  return 0;
}

// Reading ZIP archives. Trusted: nothing read from the archive. Lengths of
// names, extra fields and the central directory are checked against the file
// before anything is read with them.
#include "formats/zip.h"

#include <cstring>
#include <map>
#include <string>

#include "archive/dos_time.h"
#include "codec/common/transfer.h"
#include "formats/inflate.h"
#include "formats/little_endian.h"
#include "formats/signature_scan.h"
#include "platform/console.h"

namespace {

constexpr int kScanLimit = 32768;
constexpr int kEndRecordSearch = 65536 + 22;  // the end record lies within this many bytes of the end

constexpr unsigned kEncrypted = 0x0001;
constexpr unsigned kDescriptor = 0x0008;  // CRC and sizes follow the data

const char* const kEncryptedMember = "%: encrypted member, not extracted";

constexpr uint32_t kZip64Marker = 0xFFFFFFFFu;  // the value stands in a Zip64 extra field
constexpr uint32_t kZip64ExtraId = 0x0001;
constexpr uint32_t kTimestampExtraId = 0x5455;
constexpr uint32_t kOwnerExtraId = 0x7875;
constexpr uint32_t kMadeOnUnix = 3;  // the upper byte of "version made by"

// The data of the extra field block with the given id (its size in *size),
// or nullptr when the fields hold none.
const unsigned char* extra_block(const unsigned char* extra, uint32_t length, uint32_t id, uint32_t* size) {
  for (uint32_t at = 0; at + 4 <= length;) {
    const uint32_t blockId = le16(extra + at), blockSize = le16(extra + at + 2);
    if (at + 4 + blockSize > length) return nullptr;
    if (blockId == id) {
      *size = blockSize;
      return extra + at + 4;
    }
    at += 4 + blockSize;
  }
  return nullptr;
}

// Gives each of the fields that hold the Zip64 marker, in the order listed,
// the next 64-bit value of the Zip64 block (one past 32 bits leaves the
// marker, which no file of this size satisfies). Answers whether the block
// is there.
bool take_zip64(const unsigned char* extra, uint32_t length, uint32_t* const* fields, int count) {
  uint32_t left;
  const unsigned char* value = extra_block(extra, length, kZip64ExtraId, &left);
  if (value == nullptr) return false;
  for (int i = 0; i < count && left >= 8; i++) {
    if (*fields[i] != kZip64Marker) continue;
    const uint64_t v = le64(value);
    if (v <= kZip64Marker) *fields[i] = uint32_t(v);
    value += 8;
    left -= 8;
  }
  return true;
}

// What Unix zip tools keep of a member beyond the DOS time: the modification
// time in seconds (extended timestamp block) and the owner ids (block "ux").
void take_unix_extras(const unsigned char* extra, uint32_t length, EntryInfo& e) {
  uint32_t size;
  const unsigned char* stamp = extra_block(extra, length, kTimestampExtraId, &size);
  if (stamp != nullptr && size >= 5 && (stamp[0] & 1)) e.mtime = int32_t(le32(stamp + 1));
  const unsigned char* owner = extra_block(extra, length, kOwnerExtraId, &size);
  if (owner != nullptr && size >= 3 && owner[0] == 1) {
    const uint32_t uidSize = owner[1];
    if ((uidSize == 2 || uidSize == 4) && 3 + uidSize <= size) {
      const uint32_t gidSize = owner[2 + uidSize];
      if ((gidSize == 2 || gidSize == 4) && 3 + uidSize + gidSize <= size) {
        e.uid = uidSize == 4 ? le32(owner + 2) : le16(owner + 2);
        e.gid = gidSize == 4 ? le32(owner + 3 + uidSize) : le16(owner + 3 + uidSize);
      }
    }
  }
}

// What the central directory says of a member, by its local header's offset.
struct Central {
  uint32_t crc, packed, unpacked;
  uint32_t unixMode;  // the mode a Unix host keeps in the external attributes, 0 for none
};
std::map<int64_t, Central> central;
bool encrypted = false;   // the current member

bool signature_at(const unsigned char* p, unsigned char third, unsigned char fourth) {
  return p[0] == 'P' && p[1] == 'K' && p[2] == third && p[3] == fourth;
}

// Reads the central directory through the end record, if the file has one.
void read_central(IoFile* f) {
  central.clear();
  const int64_t length = f->length;
  const int64_t from = length > kEndRecordSearch ? length - kEndRecordSearch : 0;
  std::string tail(size_t(length - from), '\0');
  if (tail.empty() || io_seek(f, from, 0) < 0 || io_read(f, &tail[0], int(tail.size())) != int(tail.size())) return;
  const unsigned char* t = reinterpret_cast<const unsigned char*>(tail.data());
  int64_t at = -1;
  for (int64_t i = int64_t(tail.size()) - 22; i >= 0; --i)
    if (signature_at(t + i, 5, 6)) {
      at = i;
      break;
    }
  if (at < 0) return;
  uint64_t size = le32(t + at + 12), offset = le32(t + at + 16);
  int64_t endPos = from + at;
  // A Zip64 end record (of the usual 56 bytes) and its locator stand between
  // the directory and the end record; the record holds the directory's size
  // and offset when the end record has the marker.
  constexpr int kLocator = 20, kZip64End = 56;
  if (at >= kLocator + kZip64End && signature_at(t + at - kLocator, 6, 7)) {
    const unsigned char* z = t + at - kLocator - kZip64End;
    if (signature_at(z, 6, 6) && le64(z + 4) == kZip64End - 12) {
      if (size == kZip64Marker) size = le64(z + 40);
      if (offset == kZip64Marker) offset = le64(z + 48);
      endPos -= kLocator + kZip64End;
    }
  }
  if (size > uint64_t(endPos) || size > 0x7FFFFFFF || offset > uint64_t(INT64_MAX)) return;
  const int64_t start = endPos - int64_t(size);
  // A prefix in front of the archive moves every offset the records hold.
  const int64_t shift = start - int64_t(offset);
  std::string dir(size, '\0');
  if (size == 0 || io_seek(f, start, 0) < 0 || io_read(f, &dir[0], int(size)) != int(size)) return;
  const unsigned char* d = reinterpret_cast<const unsigned char*>(dir.data());
  for (uint32_t p = 0; p + 46 <= size && signature_at(d + p, 1, 2);) {
    const uint32_t nameLength = le16(d + p + 28), extraLength = le16(d + p + 30);
    const uint64_t next = uint64_t(p) + 46 + nameLength + extraLength + le16(d + p + 32);
    if (next > size) break;
    const uint32_t madeOn = le16(d + p + 4) >> 8;
    Central c{le32(d + p + 16), le32(d + p + 20), le32(d + p + 24), madeOn == kMadeOnUnix ? le32(d + p + 38) >> 16 : 0};
    uint32_t local = le32(d + p + 42);
    uint32_t* const fields[] = {&c.unpacked, &c.packed, &local};
    take_zip64(d + p + 46 + nameLength, extraLength, fields, 3);
    central[int64_t(local) + shift] = c;
    p = uint32_t(next);
  }
}

// An archive of no members: the file begins with an end record that counts none.
bool empty_archive(IoFile* f) {
  unsigned char end[22];
  return io_seek(f, 0, 0) >= 0 && io_read(f, end, 22) == 22 && signature_at(end, 5, 6) && le16(end + 10) == 0;
}

}  // namespace

const FormatOps kZipOps = {zip_open, zip_next, zip_extract, crc32_update, refuse_build_header, refuse_write_global};

int zip_open(ArchiveFile* archive) {
  IoFile* f = archive->file;
  read_central(f);
  const int64_t at = find_header(f, 0, kScanLimit, 4, [](IoFile*, const unsigned char* p, int64_t) {
    return signature_at(p, 3, 4);
  });
  if (at < 0 && !empty_archive(f)) return 1;
  archive->globalFlags = 0;
  archive->prefixLength = at < 0 ? 0 : at;
  return 0;
}

// The next local header, or the central directory that ends the walk.
int64_t zip_resync(IoFile* f, int64_t from) {
  return find_header(f, from, INT64_MAX, 4, [](IoFile*, const unsigned char* p, int64_t) {
    return signature_at(p, 3, 4) || signature_at(p, 1, 2);
  });
}

int zip_next(ArchiveFile* archive) {
  IoFile* f = archive->file;
  EntryInfo& e = archive->entry;
  clear_entry(e);
  encrypted = false;
  const int64_t start = io_tell(f);
  unsigned char h[30];
  int got = io_read(f, h, 4);
  if (got == 0) return 0;
  if (got == 4 && (signature_at(h, 1, 2) || signature_at(h, 5, 6))) return 0;  // the central directory
  if (got < 4 || !signature_at(h, 3, 4)) return got < 4 ? ENTRY_CUT_SHORT : ENTRY_NOT_A_HEADER;
  if (io_read(f, h + 4, 26) != 26) return ENTRY_CUT_SHORT;
  const unsigned flags = le16(h + 6);
  e.methodCode = uint16_t(le16(h + 8));
  e.time = le32(h + 10);
  e.dataCrc = le32(h + 14);
  e.packedSize = le32(h + 18);
  e.unpackedSize = le32(h + 22);
  const uint32_t nameLength = le16(h + 26), extraLength = le16(h + 28);
  // A name past the path limit is read whole, and refused with its report
  // when it is taken; the walk goes on.
  std::string name(nameLength, '\0');
  std::string extra(extraLength, '\0');
  if (io_read(f, &name[0], int(nameLength)) != int(nameLength) ||
      io_read(f, &extra[0], int(extraLength)) != int(extraLength))
    return ENTRY_CUT_SHORT;
  uint32_t* const sizes[] = {&e.unpackedSize, &e.packedSize};
  const bool zip64 = take_zip64(reinterpret_cast<const unsigned char*>(extra.data()), extraLength, sizes, 2);
  // Data descriptors and sizes beyond the header: the central directory has
  // the values the local header lacks.
  auto record = central.find(start);
  if (record != central.end() &&
      ((flags & kDescriptor) || e.packedSize == kZip64Marker || e.unpackedSize == kZip64Marker)) {
    e.dataCrc = record->second.crc;
    e.packedSize = record->second.packed;
    e.unpackedSize = record->second.unpacked;
  }
  encrypted = (flags & kEncrypted) != 0;
  e.host = HOST_DOS;
  e.mode = 0644;
  e.nameLength = uint16_t(nameLength);
  if (nameLength > 0 && name[nameLength - 1] == '/') {
    take_directory_name(e, name);
  } else {
    take_member_name(e, name.c_str());
  }
  // Files and directories from Unix hosts keep their permission bits, exact
  // time and owner, as TAR members do; other members the DOS time alone.
  const uint32_t unixMode = record != central.end() ? record->second.unixMode : 0;
  const uint32_t type = unixMode & 0170000;
  if ((unixMode & 07777) != 0 && (type == 0 || type == 0100000 || type == 0040000)) {
    e.host = HOST_UNIX;
    e.mode = ((e.flags & ENTRY_DIRECTORY) ? 0040000u : 0100000u) | (unixMode & 07777);
    const int64_t dosSeconds = unpack_dos_time(e.time);
    e.mtime = dosSeconds < 0 ? 0 : dosSeconds;
    take_unix_extras(reinterpret_cast<const unsigned char*>(extra.data()), extraLength, e);
  }
  archive->dataPos = io_tell(f);
  if (type == 0120000) {
    // A symbolic link holds its target as data. Links are not made here: it
    // is listed with its target (when stored) and passed over, as in TAR.
    e.host = HOST_UNIX;
    e.mode = unixMode;
    uint32_t n = e.methodCode == 0 && e.packedSize < sizeof e.linkTarget ? e.packedSize : 0;
    if (n > 0 && (io_read(f, e.linkTarget, int(n)) != int(n) || memchr(e.linkTarget, 0, n) != nullptr)) n = 0;
    e.linkTarget[n] = '\0';
    if (n == 0) memcpy(e.linkTarget, "?", 2);
    io_seek(f, archive->dataPos, 0);
  }
  archive->nextPos = archive->dataPos + e.packedSize;
  if (archive->nextPos > f->length) return ENTRY_DATA_PAST_END;
  if (flags & kDescriptor) {
    // The descriptor after the data: an optional signature, CRC, two sizes
    // (of 8 bytes each for a Zip64 member).
    unsigned char sig[4];
    if (io_seek(f, archive->nextPos, 0) >= 0 && io_read(f, sig, 4) == 4 && signature_at(sig, 7, 8))
      archive->nextPos += 4;
    archive->nextPos += zip64 ? 20 : 12;
    if (archive->nextPos > f->length) archive->nextPos = f->length;
    io_seek(f, archive->dataPos, 0);
  }
  return 1;
}

uint32_t zip_extract(ArchiveFile* archive, IoFile* output, const PathName* displayName, const PathName* outputName) {
  const EntryInfo& e = archive->entry;
  transfer_begin(archive->file, output, e.unpackedSize);
  transfer_announce(displayName, outputName);
  if (encrypted) {
    // Never decoded as if it were plain: the data would be garbage.
    print_text("\n");
    report_error_path(kEncryptedMember, e.name);
    transfer_finish();
    return e.dataCrc;
  }
  if (e.methodCode == 0) {
    copy_stored(e.unpackedSize < e.packedSize ? e.unpackedSize : e.packedSize);
  } else if (e.methodCode == 8) {
    inflate_member(archive->file, e.packedSize, e.unpackedSize);
  } else {
    print_text(message_text(MSG_BAD_METHOD));
  }
  return transfer_finish();
}

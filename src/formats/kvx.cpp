// Reading and writing the older own format. Trusted: nothing read from the
// archive; a member whose data would run past the end of the file is damage.
#include "formats/kvx.h"

#include <cstring>

#include "archive/member.h"
#include "codec/common/transfer.h"

namespace {

constexpr unsigned char kMarker = 0xAE;
constexpr int kFixedHeader = 23;  // the fields before the name
constexpr int kMaxName = 255;

void put_le(unsigned char* p, uint32_t v, int count) {
  for (int i = 0; i < count; i++) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

const FormatOps kKvxOps = {kvx_open, kvx_next, unpack_member, sum16_update, kvx_build_header, kvx_write_global};

int kvx_open(ArchiveFile* archive) {
  archive->globalFlags = 0;
  archive->prefixLength = 0;
  return 0;
}

int64_t kvx_resync(IoFile*, int64_t) { return -1; }

void kvx_write_global(ArchiveFile*, const char*, int) {}

int kvx_next(ArchiveFile* archive) {
  IoFile* f = archive->file;
  EntryInfo& e = archive->entry;
  clear_entry(e);
  unsigned char h[kFixedHeader];
  int got = io_read(f, h, 3);
  // The two zero bytes at the end come where a header's first two bytes would.
  if (got == 0 || (got == 2 && h[0] == 0 && h[1] == 0)) {
    archive->nextPos = -1;
    return got == 0 ? ENTRY_NO_END_MARKER : 0;
  }
  if (got < 3) return ENTRY_CUT_SHORT;
  if (h[2] != kMarker) return ENTRY_NOT_A_HEADER;
  if (io_read(f, h + 3, kFixedHeader - 3) != kFixedHeader - 3) return ENTRY_CUT_SHORT;
  auto le = [&](int at, int count) {
    uint32_t v = 0;
    for (int i = count - 1; i >= 0; i--) v = v << 8 | h[at + i];
    return v;
  };
  e.methodCode = h[3];
  e.packedSize = le(4, 4);
  e.unpackedSize = le(8, 4);
  e.time = le(12, 4);
  e.dataCrc = le(16, 2);
  e.mode = (le(20, 2) & 1) ? 0444 : 0777;
  const int n = h[22];
  char name[kMaxName + 2];
  if (io_read(f, name, n + 1) != n + 1) return ENTRY_CUT_SHORT;
  name[n] = '\0';
  take_member_name(e, name);
  e.nameLength = uint16_t(n);
  archive->dataPos = io_tell(f);
  e.headerSize = uint16_t(archive->dataPos - archive->headerPos);
  archive->nextPos = archive->dataPos + e.packedSize;
  if (archive->nextPos > f->length) return ENTRY_DATA_PAST_END;
  transfer.textMode = 0;
  return 1;
}

int kvx_build_header(unsigned char* buffer, int capacity, EntryInfo* entry) {
  char name[PATH_MAX_TEXT];
  entry->name.stored_name(name);
  const int n = int(strlen(name));
  const int length = kFixedHeader + n + 1;
  if (n > kMaxName || length > capacity) return -1;
  memset(buffer, 0, size_t(length));
  buffer[2] = kMarker;
  buffer[3] = (entry->flags & ENTRY_STORED) ? 0 : 7;
  put_le(buffer + 4, entry->packedSize, 4);
  put_le(buffer + 8, entry->unpackedSize, 4);
  put_le(buffer + 12, entry->time, 4);
  put_le(buffer + 16, entry->dataCrc & 0xFFFF, 2);
  buffer[22] = static_cast<unsigned char>(n);
  memcpy(buffer + kFixedHeader, name, size_t(n) + 1);
  buffer[0] = static_cast<unsigned char>((length - 2) % 256);
  entry->headerSize = uint16_t(length);
  entry->nameLength = uint16_t(n);
  return length;
}

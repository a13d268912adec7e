// Reading ARJ archives. Trusted: nothing read from the archive. A header is
// used only after its CRC holds; every field is read within the basic header.
#include "formats/arj.h"

#include <cstring>

#include "archive/dos_time.h"
#include "archive/member.h"
#include "codec/common/transfer.h"
#include "formats/little_endian.h"
#include "formats/signature_scan.h"
#include "platform/paths.h"

namespace {

constexpr int kScanLimit = 32768;   // the first header must start within this many bytes
constexpr int kMaxBasicHeader = 2600;
constexpr int kFirstPart = 30;      // the fixed fields every arj writes

// ARJ flags.
constexpr unsigned kGarbled = 0x01;
constexpr unsigned kVolume = 0x04;    // continued in the next volume
constexpr unsigned kExtFile = 0x08;   // continued from the previous volume
constexpr unsigned kBackup = 0x20;

constexpr int kArjHostUnix = 2;
constexpr int kArjHostOs2 = 5;
constexpr int kTypeText = 1;
constexpr int kTypeComment = 2;     // the main header and comment headers
constexpr int kTypeDirectory = 3;
constexpr int kTypeLabel = 4;       // a volume label: no member
constexpr uint32_t HIDDEN_ENTRY = 0x80000000u;

struct Header {
  unsigned char basic[kMaxBasicHeader];
  int size = 0;   // bytes of basic
};

// Reads the header at the current position: 1 read (the stream after its
// extended headers), 0 the end-of-archive header, or an ENTRY_* damage code.
int read_header(IoFile* f, Header& h) {
  unsigned char start[4];
  int got = io_read(f, start, 4);
  if (got == 0) return ENTRY_NO_END_MARKER;
  if (got < 4) return ENTRY_CUT_SHORT;
  if (start[0] != 0x60 || start[1] != 0xEA) return ENTRY_NOT_A_HEADER;
  h.size = int(le16(start + 2));
  if (h.size == 0) return 0;
  if (h.size > kMaxBasicHeader) return ENTRY_NOT_A_HEADER;
  unsigned char crc[4];
  if (io_read(f, h.basic, h.size) != h.size || io_read(f, crc, 4) != 4) return ENTRY_CUT_SHORT;
  if (le32(crc) != crc32_of(h.basic, size_t(h.size))) return ENTRY_BAD_HEADER_CRC;
  // Extended headers: a size, then that many bytes and their CRC; 0 ends them.
  for (;;) {
    int size = io_read_le16(f);
    if (size < 0 || io_at_end(f)) return ENTRY_CUT_SHORT;
    if (size == 0) return 1;
    if (io_seek(f, size + 4, 1) < 0 || io_tell(f) > f->length) return ENTRY_CUT_SHORT;
  }
}

// A zero-ended text of the basic header from at, cut to limit bytes (out
// holds limit + 1); at moves past it.
void take_text(const Header& h, int& at, char* out, int limit) {
  int n = 0;
  while (at < h.size && h.basic[at] != 0) {
    if (n < limit) out[n++] = char(h.basic[at]);
    at++;
  }
  out[n] = '\0';
  at++;
}

// Whether a valid header (id, size and CRC) starts at offset. A header id
// alone is two bytes anything may hold: the header must hold too.
bool arj_header_at(IoFile* f, const unsigned char* piece, int64_t offset) {
  if (piece[0] != 0x60 || piece[1] != 0xEA) return false;
  static Header h;
  if (io_seek(f, offset, 0) < 0) return false;
  const int result = read_header(f, h);
  io_seek(f, offset, 0);
  return result == 1 || result == 0;
}

}  // namespace

const FormatOps kArjOps = {arj_open, arj_next, unpack_member, crc32_update, refuse_build_header, refuse_write_global};

int arj_open(ArchiveFile* archive) {
  const int64_t at = find_header(archive->file, 0, kScanLimit, 2, arj_header_at);
  if (at < 0) return 1;
  archive->globalFlags = 0;
  archive->prefixLength = at;
  return 0;
}

int64_t arj_resync(IoFile* f, int64_t from) { return find_header(f, from, INT64_MAX, 2, arj_header_at); }

int arj_next(ArchiveFile* archive) {
  IoFile* f = archive->file;
  EntryInfo& e = archive->entry;
  static Header h;
  clear_entry(e);
  const int result = read_header(f, h);
  if (result != 1) {
    archive->nextPos = -1;
    return result;
  }
  const int first = h.basic[0];
  if (first < kFirstPart || first > h.size) return ENTRY_BAD_FIELD;
  const unsigned char* b = h.basic;
  const int host = b[3];
  const unsigned arjFlags = b[4];
  const int type = b[6];
  e.host = host == kArjHostUnix ? HOST_UNIX : host == kArjHostOs2 ? HOST_OS2 : HOST_DOS;
  e.methodCode = b[5];
  // Archives from Unix hosts keep seconds since 1970 where others keep a DOS date.
  const uint32_t stamp = le32(b + 8);
  if (host == kArjHostUnix) {
    e.mtime = stamp;
    e.time = pack_dos_time(stamp);
  } else {
    e.time = stamp;
  }
  e.packedSize = le32(b + 12);
  e.unpackedSize = le32(b + 16);
  e.dataCrc = le32(b + 20);
  const uint32_t access = le16(b + 26);
  e.mode = host == kArjHostUnix ? access : (access & 1) ? 0444 : 0777;
  if (arjFlags & kGarbled) e.flags |= ENTRY_CONV_KEY;
  if (arjFlags & kBackup) e.flags |= ENTRY_G;
  if ((arjFlags & kExtFile) && first >= 34) {
    e.flags |= ENTRY_PIECE;
    e.pieceOffset = le32(b + 30);
  }
  if (type == kTypeText) e.flags |= ENTRY_TEXT;
  if (type == kTypeDirectory) e.flags |= ENTRY_DIRECTORY;
  if (type == kTypeLabel) e.hidden = HIDDEN_ENTRY;
  if (type == kTypeComment) {
    e.packedSize = 0;
    e.hidden = HIDDEN_ENTRY;
    // The main header says whether the set goes on in a next volume.
    if (arjFlags & kVolume) archive->globalFlags |= GLOBAL_MULTIVOLUME;
  }
  int at = first;
  // One byte more than a path holds: a longer name is refused, never cut.
  char name[PATH_MAX_TEXT + 1];
  take_text(h, at, name, PATH_MAX_TEXT);
  char normal[PATH_MAX_TEXT];
  if (path_normalize(normal, name, e.host) == 0) {
    e.name.assign(normal);
  } else {
    e.name.assign(name);  // refused with its report
  }
  e.nameProblem = stored_name_problem(name);
  e.nameLength = uint16_t(strlen(name));
  take_text(h, at, e.commentText, int(sizeof e.commentText) - 1);
  transfer.textMode = 0;

  archive->dataPos = io_tell(f);
  archive->nextPos = archive->dataPos + e.packedSize;
  e.headerSize = uint16_t(archive->dataPos - archive->headerPos > 0xFFFF ? 0xFFFF : archive->dataPos - archive->headerPos);
  if (archive->nextPos > f->length) return ENTRY_DATA_PAST_END;
  return 1;
}

// Reading and writing the headers of the own archive format.
// Trusted: nothing read from the archive. Every length taken from a header is
// checked against the 1024-byte body buffer before it is used.
#include "archive/kvn_format.h"

#include <cstdlib>
#include <cstring>

#include "archive/dos_time.h"
#include "archive/member.h"
#include "codec/methods.h"
#include "archive/settings.h"
#include "codec/common/settings.h"
#include "platform/console.h"

namespace {

constexpr uint32_t kEntryMagic = 0xFF4B5658u;   // FF "KVX"
const char* const kDamagedComment = "%: damaged archive comment, its length runs over the members";

// The global magic is FF "KVG". The help reader finds the archive appended to
// the program file by the first FF "KVG" after byte 55000, so those four bytes
// must never stand together in the program image: the lead byte is kept apart
// (volatile, so no store of it is folded into a four-byte constant) and only
// the tail "KVG" is a constant.
constexpr unsigned char kGlobalMagicLead = 0xFF;
const char kGlobalMagicTail[] = "KVG";
volatile unsigned char globalMagicLead = kGlobalMagicLead;

// Results of read_entry_header.
constexpr int kEntryRead = 1;
constexpr int kEndOfArchive = 0;
constexpr int kNotAHeader = ENTRY_NOT_A_HEADER;
constexpr int kCutShort = ENTRY_CUT_SHORT;
constexpr int kBadField = ENTRY_BAD_FIELD;
constexpr int kBadHeaderCrc = ENTRY_BAD_HEADER_CRC;
constexpr int kDataPastEnd = ENTRY_DATA_PAST_END;
constexpr int kNoEndMarker = ENTRY_NO_END_MARKER;

// One shared answer buffer for both reserved-feature lists.
char featureText[160];

struct FeatureName {
  unsigned bits;
  const char* name;
};

const char* list_features(unsigned flags, const FeatureName* table, int count) {
  featureText[0] = '\0';
  for (int i = 0; i < count; i++) {
    if (!(flags & table[i].bits)) continue;
    if (featureText[0]) strcat(featureText, ", ");
    strcat(featureText, table[i].name);
  }
  return featureText[0] ? featureText : nullptr;
}

uint32_t get_be32(const unsigned char* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
uint16_t get_be16(const unsigned char* p) { return uint16_t(p[0] << 8 | p[1]); }
void put_be32(unsigned char* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}
void put_be16(unsigned char* p, uint32_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}

uint32_t mode_from_attribute(unsigned attribute) { return (attribute & 1) ? 0444 : 0777; }

// The attribute byte beside a Unix block, for readers that look at it alone:
// read-only when the owner may not write, and the directory bit.
unsigned attribute_from_mode(uint32_t mode) {
  return ((mode & 0200) ? 0u : 0x01u) | ((mode & 0170000) == 0040000 ? 0x10u : 0u);
}

// The Unix block: mode, modification time, user id, group id (4 bytes each);
// a link target would follow, but links are archived as what they lead to.
constexpr int kUnixBlockSize = 16;

// The block's time field holds unsigned seconds since 1970, that is up to
// 2106-02-07 06:28:15 UTC: a time before 1970 is written as 0 and one after
// that second as that second.
uint32_t unix_block_time(int64_t seconds) {
  if (seconds < 0) return 0;
  if (seconds > int64_t(UINT32_MAX)) return UINT32_MAX;
  return uint32_t(seconds);
}

// Reads the optional blocks after the fixed fields (comment, extension block)
// from body[pos, length). kEntryRead or kBadField.
int read_optional_blocks(const unsigned char* body, int pos, int length, EntryInfo& e) {
  if (e.flags & (ENTRY_COMMENT | ENTRY_COMMENT_ALT)) {
    if (pos + 2 > length) return kBadField;
    int n = get_be16(body + pos);
    pos += 2;
    if (n > KVN_MAX_COMMENT || pos + n > length) return kBadField;
    memcpy(e.commentText, body + pos, size_t(n));
    e.commentText[n] = '\0';
    e.commentLength = uint16_t(n);
    pos += n;
  }
  if ((e.flags & ENTRY_EXTENSION) && e.host >= HOST_UNIX && e.host <= HOST_WIN32) {
    if (pos + 2 > length) return kBadField;
    int m = get_be16(body + pos);
    pos += 2;
    if (pos + m > length) return kBadField;
    const unsigned char* block = body + pos;
    if (host_carries_unix_data(e.host)) {
      // Unix block: mode, mtime, uid, gid, then the link target.
      memset(e.linkTarget, 0, sizeof e.linkTarget);
      if (m >= 16) {
        e.mode = get_be32(block);
        e.mtime = get_be32(block + 4);
        e.uid = get_be32(block + 8);
        e.gid = get_be32(block + 12);
      }
      if (m >= 17) {
        // Links are not created on this platform; an over-long target is cut to the area.
        size_t n = size_t(m - 16);
        if (n > sizeof e.linkTarget - 1) n = sizeof e.linkTarget - 1;
        memcpy(e.linkTarget, block + 16, n);
      }
    } else if (e.host == HOST_LONG_NAME || e.host == HOST_WIN32) {
      // Long name replacing the body's name; one that does not fit a path is refused, not cut.
      if (m > int(sizeof e.linkTarget) - 1) return kBadField;
      memcpy(e.linkTarget, block, size_t(m));
      e.linkTarget[m] = '\0';
      if (e.linkTarget[0] != '\0') {  // an empty block keeps the body's name
        take_member_name(e, e.linkTarget);
        e.nameLength = uint16_t(strlen(e.linkTarget));
      }
      e.linkTarget[0] = '\0';
    }
  }
  return kEntryRead;
}

}  // namespace

const FormatOps kKvnOps = {
    read_global_header, read_entry_header,  unpack_member,
    crc32_update,       build_entry_header, write_global_header,
};

// "exe" chooses it too (and makes text flags ignored, see the command line).
const FormatRow kKvnFormat = {Kvn,  ".kvn", {"kvn", "exe", nullptr}, find_global_magic, true, true, true, true, true,
                              &kKvnOps, fill_entry_from_file, nullptr, 0};

int find_global_magic(const unsigned char* buffer, int length) {
  for (int i = 0; i < length - 4; i++)
    if (buffer[i] == kGlobalMagicLead && memcmp(buffer + i + 1, kGlobalMagicTail, 3) == 0) return 0;
  return -1;
}

const char* reserved_global_features(unsigned flags) {
  // The window flag counts as reserved only for a reader limited to the narrow window.
  const FeatureName kNames[] = {
      {codecSettings.narrowWindow ? GLOBAL_WIDE_WINDOW : 0u, "64K buffer"},
      {GLOBAL_RESERVED_TOP, "res"},
      {GLOBAL_LEARNED, "learn"},
      {GLOBAL_CONV_KEY, "block conv. key"},
      {GLOBAL_PUBLIC_KEY, "block public key"},
      {GLOBAL_DIR_BLOCK, "dir-block"},
  };
  return list_features(flags, kNames, int(sizeof kNames / sizeof kNames[0]));
}

const char* reserved_local_features(unsigned flags) {
  static const FeatureName kNames[] = {
      {ENTRY_LOCAL_TAILER, "local tailer"}, {ENTRY_CONV_KEY, "conv. key"},
      {ENTRY_PUBLIC_KEY, "public key"},     {ENTRY_VERSION_BLOCK, "version block"},
      {ENTRY_OWNER_DIR, "owner dir block"}, {ENTRY_LEARN_DICT, "learn_dict"},
  };
  return list_features(flags, kNames, int(sizeof kNames / sizeof kNames[0]));
}

int read_global_header(ArchiveFile* archive) {
  IoFile* f = archive->file;
  if (f == ioStandardOutput) return 0;
  // Scan for FF 4B 56 47 starting within KVN_GLOBAL_SCAN_LIMIT bytes. Only the
  // first magic byte is 0xFF, so a mismatching 0xFF restarts the match.
  int matched = 0;
  int candidate = 0;
  for (int i = 0; matched < 4; i++) {
    int c = io_get_byte(f);
    if (c < 0) return 1;
    if (matched > 0 && c == static_cast<unsigned char>(kGlobalMagicTail[matched - 1])) {
      matched++;
    } else if (c == kGlobalMagicLead) {
      if (i >= KVN_GLOBAL_SCAN_LIMIT) return 1;
      matched = 1;
      candidate = i;
    } else {
      matched = 0;
      if (i >= KVN_GLOBAL_SCAN_LIMIT) return 1;
    }
  }
  archive->prefixLength = candidate;
  archive->globalFlags = uint16_t(io_read_be16(f));
  if (io_at_end(f)) return 1;  // the flags themselves are cut off
  if (archive->globalFlags & (GLOBAL_COMMENT | GLOBAL_COMMENT_ALT)) {
    uint32_t n = uint32_t(io_read_be32(f));
    const int64_t textStart = io_tell(f);
    const int64_t left = f->length - textStart;
    // A comment longer than the rest of the file means the header is damaged.
    if (io_at_end(f) || left < 0 || n > uint64_t(left)) return 1;
    if (n != 0) {
      char* text = static_cast<char*>(malloc(size_t(n) + 1));
      if (text == nullptr) {
        io_seek(f, n, 1);
      } else {
        int got = io_read(f, text, int(n));
        text[got > 0 ? got : 0] = '\0';
        free(archive->comment);
        archive->comment = text;
        // The comment is text with one zero at its end; a length that runs
        // over members (their headers hold zeros and the entry magic) is
        // damage: reported, and the members are searched for after the length.
        if (got != int(n) || memchr(text, '\0', n - 1) != nullptr) {
          report_error_with(kDamagedComment, archive->path ? archive->path->full_path() : "");
          free(archive->comment);
          archive->comment = nullptr;
          io_seek(f, textStart, 0);
        }
      }
    }
  }
  if (const char* reserved = reserved_global_features(archive->globalFlags)) {
    report_error_with(message_text(MSG_RESERVED_GLOBAL), reserved);
    return 1;
  }
  return 0;
}

int read_entry_header(ArchiveFile* archive) {
  IoFile* f = archive->file;
  EntryInfo& e = archive->entry;
  clear_entry(e);
  const int64_t start = io_tell(f);
  // Two zero bytes end the archive, unless a member follows them at once
  // (then they are damage that would hide the members after them).
  int first = io_get_byte(f);
  int second = first < 0 ? -1 : io_get_byte(f);
  if (first < 0 || second < 0) return kNoEndMarker;
  if (first == 0 && second == 0) {
    uint32_t after = uint32_t(io_read_be32(f));
    bool memberFollows = !io_at_end(f) && after == kEntryMagic;
    io_seek(f, start + 2, 0);
    return memberFollows ? kNotAHeader : kEndOfArchive;
  }
  uint32_t magic = uint32_t(first) << 24 | uint32_t(second) << 16 | uint32_t(io_read_be16(f) & 0xFFFF);
  if (io_at_end(f)) return kCutShort;
  if (magic != kEntryMagic) return kNotAHeader;
  int length = io_read_be16(f);
  if (length < 0 || length >= KVN_MAX_BODY) return kNotAHeader;
  unsigned char body[KVN_MAX_BODY];
  int got = io_read(f, body, length);
  if (got < length) return kCutShort;
  uint32_t crc = crc32_of(body, size_t(length));
  if (uint32_t(io_read_be32(f)) != crc || io_at_end(f)) return kBadHeaderCrc;

  archive->dataPos = start + length + 10;
  io_seek(f, archive->dataPos, 0);

  // Fixed part: flags, host, attribute, time stamp, then the name.
  if (length < 8) return kBadField;
  e.magic = magic;
  e.headerSize = uint16_t(length + 10);
  e.flags = get_be16(body);
  e.host = body[2];
  e.time = get_be32(body + 4);
  if (e.host == HOST_DOS || e.host == HOST_OS2 || e.host == HOST_WIN32) e.mode = mode_from_attribute(body[3]);

  const unsigned char* nameEnd =
      static_cast<const unsigned char*>(memchr(body + 8, '\0', size_t(length - 8)));
  if (nameEnd == nullptr) return kBadField;
  int nameBytes = int(nameEnd - (body + 8)) + 1;  // with its zero
  if (nameBytes >= KVN_MAX_NAME) return kBadField;
  take_member_name(e, reinterpret_cast<const char*>(body + 8));
  e.nameLength = uint16_t(nameBytes - 1);
  int pos = 8 + nameBytes;

  int fixed = (e.flags & ENTRY_PIECE) ? 16 : 12;
  if (pos + fixed > length) return kBadField;
  if (e.flags & ENTRY_PIECE) {
    e.pieceOffset = get_be32(body + pos);
    pos += 4;
  }
  transfer.textMode = archiveSettings.ignoreTextFlags ? 0 : (e.flags & ENTRY_TEXT);
  e.unpackedSize = get_be32(body + pos);
  e.packedSize = get_be32(body + pos + 4);
  e.dataCrc = get_be32(body + pos + 8);
  pos += 12;
  archive->nextPos = archive->dataPos + e.packedSize;
  e.methodCode = uint16_t(method_code_of_flags(e.flags));
  int result = read_optional_blocks(body, pos, length, e);
  // Data that would run past the end of the file belongs to no intact member.
  if (result == kEntryRead && f != ioStandardOutput && archive->nextPos > f->length) return kDataPastEnd;
  return result;
}

int build_entry_header(unsigned char* buffer, int capacity, EntryInfo* entry) {
  char name[PATH_MAX_TEXT];
  entry->name.stored_name(name);
  int nameBytes = int(strlen(name)) + 1;
  if (entry->pieceOffset != 0) entry->flags |= ENTRY_PIECE;
  // Members of Unix hosts carry the Unix block; any other entry is written
  // as host 5 with attribute 0, without a block.
  const bool unixBlock = host_carries_unix_data(entry->host);
  if (unixBlock) {
    entry->flags |= ENTRY_EXTENSION;
  } else {
    entry->flags &= uint16_t(~ENTRY_EXTENSION);
  }
  int commentBytes = 0;
  if (entry->flags & ENTRY_COMMENT) {
    commentBytes = int(strnlen(entry->commentText, sizeof entry->commentText));
    if (entry->commentLength < commentBytes) commentBytes = entry->commentLength;
    if (commentBytes > KVN_MAX_COMMENT) commentBytes = KVN_MAX_COMMENT;
  }
  int length = 8 + nameBytes + ((entry->flags & ENTRY_PIECE) ? 4 : 0) + 12 +
               ((entry->flags & ENTRY_COMMENT) ? 2 + commentBytes : 0) + (unixBlock ? 2 + kUnixBlockSize : 0);
  // A header this reader would refuse is not written at all.
  if (nameBytes >= KVN_MAX_NAME || length >= KVN_MAX_BODY || length + 10 > capacity) return -1;

  memset(buffer, 0, size_t(length + 10));
  put_be32(buffer, kEntryMagic);
  put_be16(buffer + 4, uint32_t(length));
  unsigned char* p = buffer + 6;
  put_be16(p, entry->flags);
  p[2] = uint8_t(unixBlock ? entry->host : HOST_WIN32);
  p[3] = uint8_t(unixBlock ? attribute_from_mode(entry->mode) : 0);
  put_be32(p + 4, entry->time);
  memcpy(p + 8, name, size_t(nameBytes));
  p += 8 + nameBytes;
  if (entry->flags & ENTRY_PIECE) {
    put_be32(p, entry->pieceOffset);
    p += 4;
  }
  put_be32(p, entry->unpackedSize);
  put_be32(p + 4, entry->packedSize);
  put_be32(p + 8, entry->dataCrc);
  p += 12;
  if (entry->flags & ENTRY_COMMENT) {
    put_be16(p, uint32_t(commentBytes));
    memcpy(p + 2, entry->commentText, size_t(commentBytes));
    p += 2 + commentBytes;
  }
  if (unixBlock) {
    put_be16(p, kUnixBlockSize);
    put_be32(p + 2, entry->mode);
    put_be32(p + 6, unix_block_time(entry->mtime));
    put_be32(p + 10, entry->uid);
    put_be32(p + 14, entry->gid);
  }
  put_be32(buffer + 6 + length, crc32_of(buffer + 6, size_t(length)));
  entry->headerSize = uint16_t(length + 10);
  entry->nameLength = uint16_t(nameBytes - 1);
  entry->commentLength = uint16_t(commentBytes);
  return length + 10;
}

void write_global_header(ArchiveFile* archive, const char* comment, int blockMode) {
  unsigned flags = codecSettings.narrowWindow ? 0 : GLOBAL_WIDE_WINDOW;
  bool hasComment = comment != nullptr && comment[0] != '\0';
  if (hasComment) flags |= GLOBAL_COMMENT;
  if (blockMode) flags |= GLOBAL_BLOCKED;
  if (archiveSettings.multivolume) flags |= GLOBAL_MULTIVOLUME;
  archive->globalFlags = uint16_t(flags);
  unsigned char head[6];
  head[0] = globalMagicLead;
  memcpy(head + 1, kGlobalMagicTail, 3);
  put_be16(head + 4, flags);
  io_write(archive->file, head, 6);
  if (hasComment) {
    int count = int(strlen(comment)) + 1;  // with its zero
    io_write_be32(archive->file, count);
    io_write(archive->file, comment, count);
  }
}

int mark_last_volume(ArchiveFile* archive) {
  archive->globalFlags = uint16_t(archive->globalFlags & ~GLOBAL_MULTIVOLUME);
  unsigned char flags[2];
  put_be16(flags, archive->globalFlags);
  // The flags follow the four magic bytes.
  return io_write_at(archive->file, archive->prefixLength + 4, flags, 2) == 2 ? 0 : -1;
}

void fill_entry_from_file(const char* name, const FileStatus& status, EntryInfo* entry) {
  clear_entry(*entry);
  entry->magic = kEntryMagic;
  entry->unpackedSize = uint32_t(status.size);
  entry->time = pack_dos_time(status.mtime);
  entry->name.assign_stored(name);
  entry->nameLength = uint16_t(strlen(name));
  entry->linkTarget[0] = '\0';  // links are archived as the file they lead to
  entry->mtime = status.mtime;
  entry->mode = uint32_t(status.mode);
  entry->uid = status.uid;
  entry->gid = status.gid;
  entry->host = HOST_UNIX;
}

// Build-time tool: packs the help texts and the default options text into an
// archive of kvx's own format, and checks that a program file carries that
// archive where the help reader looks for it (between bytes 55000 and 186071).
//
//   kvx_pack_resources pack  OUTPUT.kvn RESOURCE-DIR
//   kvx_pack_resources check PROGRAM ARCHIVE.kvn [--strict]
//
// "check" only notes a program too large for the window; with --strict
// (release builds) that is an error.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "formats/format_table.h"
#include "archive/archive.h"
#include "codec/common/transfer.h"
#include "archive/kvn_format.h"
#include "codec/pack.h"
#include "driver/options.h"
#include "platform/console.h"
#include "platform/iofile.h"
#include "platform/os.h"
#include "platform/paths.h"

namespace {

// Where the help reader starts and how far it looks for the global header.
constexpr long kWindowStart = 55000;
constexpr long kWindowLength = 0x20000;

// Fixed member times keep the archive identical from build to build.
constexpr uint32_t kOptionsTime = 0x1E8994E2;  // 1995-04-09 18:39:04
constexpr uint32_t kHelpTime = 0x224FAB2F;     // 1997-02-15 21:25:30

struct Member {
  const char* name;
  bool stored;
};

// Archive order: the options text first, then the helps.
constexpr Member kMembers[] = {
    {"kvx.ini", true},     {"first0.hlp", false}, {"first1.hlp", false},
    {"first9.hlp", false}, {"full0.hlp", false},  {"full1.hlp", false},
};

// The global magic of the own format: FF "KVG".
constexpr unsigned char kGlobalMagic[4] = {0xFF, 'K', 'V', 'G'};

bool read_whole(const char* path, std::vector<unsigned char>& out) {
  FILE* f = fopen(path, "rb");
  if (!f) return false;
  out.clear();
  unsigned char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) out.insert(out.end(), buffer, buffer + n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

// Writes one member: provisional header, data, final header over the first.
bool add_member(ArchiveFile* archive, const char* dir, const Member& member) {
  const char* path = path_join(dir, member.name);
  if (!path) return false;
  char source[PATH_MAX_TEXT];
  snprintf(source, sizeof source, "%s", path);
  PathName sourcePath(source);
  FileStatus status{};
  if (path_stat(sourcePath, status) != 0 || !status.is_regular()) {
    fprintf(stderr, "pack_resources: %s: cannot open\n", source);
    return false;
  }
  IoFile* input = io_open(source, IO_MODE_READ);
  if (!input) {
    fprintf(stderr, "pack_resources: %s: cannot open\n", source);
    return false;
  }

  EntryInfo& entry = archive->entry;
  clear_entry(entry);
  fill_entry_from_file(member.name, status, &entry);
  // The help archive has fixed bytes: host 5, attribute 0, no Unix block.
  entry.host = 5;
  entry.time = member.stored ? kOptionsTime : kHelpTime;
  if (member.stored) entry.flags |= ENTRY_STORED;

  unsigned char header[KVN_HEADER_CAPACITY];
  IoFile* out = archive->file;
  int64_t headerPos = io_tell(out);
  int headerLength = build_entry_header(header, sizeof header, &entry);
  if (headerLength <= 0 || io_write(out, header, headerLength) != headerLength) {
    io_close(input);
    return false;
  }
  int64_t dataPos = io_tell(out);

  int64_t unpacked = 0;
  int64_t packed = 0;
  uint32_t crc;
  if (member.stored) {
    crc = store_member(input, out, 0, nullptr, 0, status.size, &unpacked, &packed);
  } else {
    crc = pack_member(input, out, 0, status.size, &unpacked, &packed);
    if (packed >= unpacked) {  // did not shrink: keep it stored instead
      entry.flags |= ENTRY_STORED;
      io_seek(input, 0, 0);
      io_seek(out, dataPos, 0);
      io_truncate(out, dataPos);
      crc = store_member(input, out, 0, nullptr, 0, status.size, &unpacked, &packed);
    }
  }
  io_close(input);
  if (unpacked != status.size) {
    fprintf(stderr, "pack_resources: %s: read %lld of %lld bytes\n", source, static_cast<long long>(unpacked),
            static_cast<long long>(status.size));
    return false;
  }

  entry.unpackedSize = static_cast<uint32_t>(unpacked);
  entry.packedSize = static_cast<uint32_t>(packed);
  entry.dataCrc = crc;
  int64_t endPos = io_tell(out);
  if (build_entry_header(header, sizeof header, &entry) != headerLength) return false;
  io_seek(out, headerPos, 0);
  if (io_write(out, header, headerLength) != headerLength) return false;
  io_seek(out, endPos, 0);
  printf("  %-10s %6lld -> %6lld%s\n", member.name, static_cast<long long>(unpacked), static_cast<long long>(packed),
         (entry.flags & ENTRY_STORED) ? " (stored)" : "");
  return (out->flags & IO_WRITE_ERROR) == 0;
}

int pack(const char* output, const char* dir) {
  console_init();
  codec_buffers_alloc();
  transfer.inputChecked = 1;  // the member reader computes the data check while packing
  PathName outputPath(output);
  unlink(output);  // archives are always created anew
  ArchiveFile* archive = open_archive(outputPath, 0, Kvn, 1, 0);
  if (!archive) {
    fprintf(stderr, "pack_resources: %s: cannot create\n", output);
    return 1;
  }
  write_global_header(archive, nullptr, 0);
  bool ok = true;
  for (const Member& member : kMembers) {
    if (!add_member(archive, dir, member)) {
      fprintf(stderr, "pack_resources: %s: not packed\n", member.name);
      ok = false;
      break;
    }
  }
  const unsigned char terminator[2] = {0, 0};
  if (ok) ok = io_write(archive->file, terminator, 2) == 2;
  if (ok) ok = io_flush(archive->file) == 0;
  close_archive(archive);
  if (!ok) {
    remove(output);
    return 1;
  }
  return 0;
}

// Offset of the first global magic in data[from, to), or -1.
long find_magic(const std::vector<unsigned char>& data, long from, long to) {
  for (long i = from; i + 4 <= to; ++i)
    if (memcmp(&data[i], kGlobalMagic, 4) == 0) return i;
  return -1;
}

// Checks that the program file carries the help archive where the help
// reader finds it: the first copy of the global magic anywhere in the file
// is the start of the whole archive, inside the window.
int check(const char* program, const char* archivePath, bool strict) {
  std::vector<unsigned char> image;
  std::vector<unsigned char> archive;
  if (!read_whole(program, image)) {
    fprintf(stderr, "pack_resources: %s: cannot read\n", program);
    return 1;
  }
  if (!read_whole(archivePath, archive) || archive.size() < 6 || find_magic(archive, 0, 4) != 0) {
    fprintf(stderr, "pack_resources: %s: not a resource archive\n", archivePath);
    return 1;
  }
  const long size = static_cast<long>(image.size());
  const long at = find_magic(image, 0, size);
  const char* problem = nullptr;
  if (at < 0) {
    problem = "carries no help archive";
  } else if (at + static_cast<long>(archive.size()) > size ||
             memcmp(&image[static_cast<size_t>(at)], archive.data(), archive.size()) != 0) {
    problem = "holds the archive magic FF 4B 56 47 before its help archive";
  } else if (at < kWindowStart || at >= kWindowStart + kWindowLength) {
    problem = "carries its help archive outside bytes 55000..186071, where the reader looks";
  }
  if (problem == nullptr) {
    printf("pack_resources: %s: help archive of %zu bytes at byte %ld\n", program, archive.size(), at);
    return 0;
  }
  fprintf(stderr, "pack_resources: %s %s (first magic at byte %ld, file of %ld bytes)\n", program, problem, at,
          size);
  if (strict) return 1;
  printf("pack_resources: this build shows no help from its program file\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && strcmp(argv[1], "pack") == 0) return pack(argv[2], argv[3]);
  if (argc >= 4 && strcmp(argv[1], "check") == 0)
    return check(argv[2], argv[3], argc >= 5 && strcmp(argv[4], "--strict") == 0);
  fprintf(stderr,
          "use: kvx_pack_resources pack  OUTPUT.kvn RESOURCE-DIR\n"
          "     kvx_pack_resources check PROGRAM ARCHIVE.kvn [--strict]\n");
  return 2;
}

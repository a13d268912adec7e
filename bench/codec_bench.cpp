// One pass of the default method over one file, for bench/run.sh to time next
// to the peers: the same pack_member / unpack_member the archiver runs, called
// in-process on IoFiles. One operation per process, so that the script
// measures every engine alike (wall time and peak resident memory).
//
// Usage:
//   kvx_codec_bench pack LEVEL INPUT MEMBER   pack INPUT at LEVEL (2..-2) into MEMBER
//   kvx_codec_bench test MEMBER               decode MEMBER without output, check the CRC
//   kvx_codec_bench unpack MEMBER OUTPUT      decode MEMBER into OUTPUT, check the CRC
//   kvx_codec_bench size MEMBER               print the coded size of MEMBER
//
// MEMBER is a bench-only container, not an archive: a 12-byte header (unpacked
// size, coded size, CRC-32, each little-endian) followed by the coded stream.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/archive.h"
#include "codec/methods.h"
#include "codec/common/transfer.h"
#include "codec/huff/huff_format.h"
#include "codec/pack.h"
#include "archive/member.h"
#include "driver/options.h"
#include "platform/console.h"
#include "platform/iofile.h"

namespace {

constexpr int HEADER_SIZE = 12;

struct MemberHeader {
  int32_t unpacked;  // bytes of the original file
  int32_t packed;    // bytes of the coded stream after the header
  uint32_t crc;      // CRC-32 of the original file
};

int usage() {
  fprintf(stderr,
          "usage: kvx_codec_bench pack LEVEL INPUT MEMBER\n"
          "       kvx_codec_bench test MEMBER\n"
          "       kvx_codec_bench unpack MEMBER OUTPUT\n"
          "       kvx_codec_bench size MEMBER\n");
  return 2;
}

// What the driver sets up before a command: English messages, the CRC-32
// check, and action lines and progress sent nowhere (errors still reach
// stderr), as when the archiver's output is redirected.
void start_run(CommandCode command) {
  platformSettings.language = 1;
  options.command = command;
  select_catalog();
  FILE* sink = fopen("/dev/null", "w");
  console_use_streams(sink != nullptr ? sink : stdout, stderr, nullptr);
  transfer.checkUpdate = crc32_update;
  transfer.inputChecked = 1;
}

// Opens MEMBER and reads its header; null (after a message) when it is not one.
IoFile* open_member(const char* name, MemberHeader* header) {
  IoFile* member = io_open(name, IO_MODE_READ);
  if (member == nullptr) {
    fprintf(stderr, "%s: cannot open\n", name);
    return nullptr;
  }
  header->unpacked = io_read_le32(member);
  header->packed = io_read_le32(member);
  header->crc = static_cast<uint32_t>(io_read_le32(member));
  if (io_at_end(member) || header->unpacked < 0 || header->packed < 0 ||
      header->packed != member->length - HEADER_SIZE) {
    fprintf(stderr, "%s: not a member written by kvx_codec_bench pack\n", name);
    io_close(member);
    return nullptr;
  }
  return member;
}

int pack(const char* levelText, const char* inputName, const char* memberName) {
  char* end = nullptr;
  const long level = strtol(levelText, &end, 10);
  if (*levelText == '\0' || *end != '\0' || level < -2 || level > 2) return usage();
  start_run(Add);
  codecSettings.level = static_cast<int>(level);

  IoFile* input = io_open(inputName, IO_MODE_READ);
  if (input == nullptr) {
    fprintf(stderr, "%s: cannot open\n", inputName);
    return 1;
  }
  IoFile* member = io_open(memberName, IO_MODE_CREATE);
  if (member == nullptr) {
    fprintf(stderr, "%s: cannot create\n", memberName);
    io_close(input);
    return 1;
  }
  codec_buffers_alloc();
  // Room for the header, written once the sizes are known.
  for (int i = 0; i < HEADER_SIZE; i++) io_put_byte(member, 0);
  const int64_t size = input->length;
  int64_t unpacked = 0;
  int64_t packed = 0;
  const uint32_t crc = pack_member(input, member, 0, size, &unpacked, &packed, nullptr);
  io_seek(member, 0, 0);
  io_write_le32(member, static_cast<int>(unpacked));
  io_write_le32(member, static_cast<int>(packed));
  io_write_le32(member, static_cast<int>(crc));
  const int closed = io_close(member);
  io_close(input);
  if (closed != 0 || error_count() != 0 || unpacked != size) {
    fprintf(stderr, "%s: packing failed (%lld of %lld bytes)\n", inputName, static_cast<long long>(unpacked),
            static_cast<long long>(size));
    return 1;
  }
  return 0;
}

// Decodes MEMBER into outputName, or without output when it is null.
int unpack(const char* memberName, const char* outputName) {
  start_run(outputName != nullptr ? Extract : Test);
  MemberHeader header;
  IoFile* member = open_member(memberName, &header);
  if (member == nullptr) return 1;
  IoFile* output = nullptr;
  if (outputName != nullptr) {
    output = io_open(outputName, IO_MODE_CREATE);
    if (output == nullptr) {
      fprintf(stderr, "%s: cannot create\n", outputName);
      io_close(member);
      return 1;
    }
  }
  ArchiveFile archive;
  archive.file = member;
  archive.kind = Kvn;
  archive.entry.methodCode = METHOD_DEFAULT;
  archive.entry.packedSize = static_cast<uint32_t>(header.packed);
  archive.entry.unpackedSize = static_cast<uint32_t>(header.unpacked);
  const uint32_t crc = unpack_member(&archive, output, nullptr, nullptr);
  const uint32_t produced = transfer.outputCount;
  const int closed = output != nullptr ? io_close(output) : 0;
  io_close(member);
  archive.file = nullptr;
  if (closed != 0 || error_count() != 0 || crc != header.crc ||
      produced != static_cast<uint32_t>(header.unpacked)) {
    fprintf(stderr, "%s: decoding failed (%u of %d bytes, CRC %08X, stored %08X)\n", memberName,
            produced, header.unpacked, crc, header.crc);
    return 1;
  }
  return 0;
}

int print_size(const char* memberName) {
  MemberHeader header;
  IoFile* member = open_member(memberName, &header);
  if (member == nullptr) return 1;
  io_close(member);
  printf("%d\n", header.packed);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && strcmp(argv[1], "pack") == 0) return pack(argv[2], argv[3], argv[4]);
  if (argc == 3 && strcmp(argv[1], "test") == 0) return unpack(argv[2], nullptr);
  if (argc == 4 && strcmp(argv[1], "unpack") == 0) return unpack(argv[2], argv[3]);
  if (argc == 3 && strcmp(argv[1], "size") == 0) return print_size(argv[2]);
  return usage();
}

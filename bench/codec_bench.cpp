// One pass of one engine (a method at a setting) over one file, for
// bench/run.sh to time next to the peers: the same pack_member and method
// decoders the archiver runs, called in-process on IoFiles. One operation
// per process, so that the script measures every engine alike (wall time and
// peak resident memory). A new method is one row of kEngines.
//
// Usage:
//   kvx_codec_bench engines                    the engines, one "NAME<tab>LABEL<tab>TABLE" line each
//   kvx_codec_bench pack ENGINE INPUT MEMBER   pack INPUT with ENGINE into MEMBER
//   kvx_codec_bench test ENGINE MEMBER         decode MEMBER without output, check the CRC
//   kvx_codec_bench unpack ENGINE MEMBER OUTPUT  decode MEMBER into OUTPUT, check the CRC
//   kvx_codec_bench size MEMBER                print the coded size of MEMBER
//   kvx_codec_bench inflate GZIP               decode the Deflate stream of a gzip file with
//                                              the ZIP reader's decoder, check CRC and size
//
// MEMBER is a bench-only container, not an archive: a 12-byte header (unpacked
// size, coded size, CRC-32, each little-endian) followed by the coded stream.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codec/common/settings.h"
#include "codec/common/transfer.h"
#include "codec/methods.h"
#include "codec/pack.h"
#include "formats/inflate.h"
#include "gzip_stream.h"
#include "platform/console.h"
#include "platform/iofile.h"
#include "platform/settings.h"

namespace {

constexpr int HEADER_SIZE = 12;

struct MemberHeader {
  int32_t unpacked;  // bytes of the original file
  int32_t packed;    // bytes of the coded stream after the header
  uint32_t crc;      // CRC-32 of the original file
};

// One engine: its name on the command line, its row label, the table it is
// compared in (the default method's next to gzip and arj, the context
// models' next to bzip2, xz and 7z), the switches it packs with, and the
// method that decodes it.
struct Engine {
  const char* name;
  const char* label;
  const char* table;  // "default" or "context"
  void (*pack)();     // sets codecSettings as the switches of the engine would
  int unpack;      // METHOD_* of the decoder
};

template <int Level>
void default_method_at() {
  codecSettings = CodecSettings{};
  codecSettings.level = Level;
}

void high_method() {
  codecSettings = CodecSettings{};
  codecSettings.highMethodOrder = 4;
}

void method_five() {
  codecSettings = CodecSettings{};
  codecSettings.methodFive = 1;
}

const Engine kEngines[] = {
    {"2", "kvx -+0 (level 2)", "default", default_method_at<2>, METHOD_DEFAULT},
    {"1", "kvx -+1 (level 1)", "default", default_method_at<1>, METHOD_DEFAULT},
    {"0", "kvx default (level 0)", "default", default_method_at<0>, METHOD_DEFAULT},
    {"-1", "kvx -+3 (level -1)", "default", default_method_at<-1>, METHOD_DEFAULT},
    {"-2", "kvx -+4 (level -2)", "default", default_method_at<-2>, METHOD_DEFAULT},
    {"high", "kvx -++ (high)", "context", high_method, METHOD_HIGH},
    {"five", "kvx -5 (five)", "context", method_five, METHOD_FIVE},
};

int usage() {
  fprintf(stderr,
          "usage: kvx_codec_bench engines\n"
          "       kvx_codec_bench pack ENGINE INPUT MEMBER\n"
          "       kvx_codec_bench test ENGINE MEMBER\n"
          "       kvx_codec_bench unpack ENGINE MEMBER OUTPUT\n"
          "       kvx_codec_bench size MEMBER\n"
          "       kvx_codec_bench inflate GZIP\n");
  return 2;
}

const Engine* engine_named(const char* name) {
  for (const Engine& e : kEngines)
    if (strcmp(e.name, name) == 0) return &e;
  fprintf(stderr, "kvx_codec_bench: no engine %s\n", name);
  return nullptr;
}

int list_engines() {
  for (const Engine& e : kEngines) printf("%s\t%s\t%s\n", e.name, e.label, e.table);
  return 0;
}

// What the driver sets up before a command: English messages, the CRC-32
// check, and action lines and progress sent nowhere (errors still reach
// stderr), as when the archiver's output is redirected.
void start_run(bool showProgress) {
  platformSettings.language = 1;
  transfer.showProgress = showProgress;
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

int pack(const char* engineName, const char* inputName, const char* memberName) {
  const Engine* engine = engine_named(engineName);
  if (engine == nullptr) return usage();
  start_run(true);
  engine->pack();

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
  const uint32_t crc = pack_member(input, member, 0, size, &unpacked, &packed);
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
int unpack(const char* engineName, const char* memberName, const char* outputName) {
  const Engine* engine = engine_named(engineName);
  const MethodRow* method = engine ? method_by_code(engine->unpack) : nullptr;
  if (method == nullptr || method->unpack == nullptr) return usage();
  start_run(true);
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
  transfer_begin(member, output, static_cast<uint32_t>(header.unpacked));
  method->unpack(member, static_cast<uint32_t>(header.unpacked), static_cast<uint32_t>(header.packed), false);
  const uint32_t crc = transfer_finish();
  const uint32_t produced = transfer.outputCount;
  const int closed = output != nullptr ? io_close(output) : 0;
  io_close(member);
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

// The Deflate stream of a gzip file decoded by the ZIP reader's decoder
// without output, as `libdeflate-gunzip -t` does with the same bytes.
int inflate_gzip(const char* name) {
  start_run(false);
  IoFile* file = io_open(name, IO_MODE_READ);
  GzipStream stream;
  if (file == nullptr || !read_gzip_stream(file, &stream)) {
    fprintf(stderr, "%s: not a gzip file\n", name);
    if (file != nullptr) io_close(file);
    return 1;
  }
  transfer_begin(file, nullptr, stream.size);
  const int result = inflate_member(file, static_cast<uint32_t>(stream.length), stream.size);
  const uint32_t check = transfer_finish();
  const uint32_t produced = transfer.outputCount;
  io_close(file);
  if (result != INFLATE_DONE || check != stream.crc || produced != stream.size) {
    fprintf(stderr, "%s: decoding failed (result %d, %u of %u bytes, CRC %08X, stored %08X)\n", name, result, produced,
            stream.size, check, stream.crc);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "engines") == 0) return list_engines();
  if (argc == 5 && strcmp(argv[1], "pack") == 0) return pack(argv[2], argv[3], argv[4]);
  if (argc == 4 && strcmp(argv[1], "test") == 0) return unpack(argv[2], argv[3], nullptr);
  if (argc == 5 && strcmp(argv[1], "unpack") == 0) return unpack(argv[2], argv[3], argv[4]);
  if (argc == 3 && strcmp(argv[1], "size") == 0) return print_size(argv[2]);
  if (argc == 3 && strcmp(argv[1], "inflate") == 0) return inflate_gzip(argv[2]);
  return usage();
}

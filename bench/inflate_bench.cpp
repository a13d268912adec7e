// The ZIP reader's Deflate decoder next to libdeflate's on the same bytes, in
// one process (no start-up in the figures): the stream of a gzip file decoded
// with the CRC-32 of the output (as `kvx t` and `libdeflate-gunzip -t` do) and
// without it (the decoders alone). The engines take turns pass by pass; the
// table gives each one's median and output MB/s. Built only where libdeflate's
// header and library are found.
//
// Usage: inflate_bench GZIP [passes]
#include <libdeflate.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "codec/common/transfer.h"
#include "formats/inflate.h"
#include "gzip_stream.h"
#include "platform/iofile.h"

namespace {

struct Input {
  const char* name;                   // the gzip file
  GzipStream stream;                  // where its Deflate stream lies
  std::vector<unsigned char> whole;   // the file in memory
  std::vector<unsigned char> output;  // room for what it decodes to
  libdeflate_decompressor* decompressor;
};

void no_check(const void*, int) {}

// kvx: read through the archive's file object, as the ZIP reader reads a member.
bool kvx_inflate(Input& in, bool check) {
  IoFile* file = io_open(in.name, IO_MODE_READ);
  if (file == nullptr || io_seek(file, in.stream.start, 0) < 0) return false;
  transfer.checkUpdate = check ? crc32_update : no_check;
  transfer_begin(file, nullptr, in.stream.size);
  const int result = inflate_member(file, uint32_t(in.stream.length), in.stream.size);
  const uint32_t crc = transfer_finish();
  io_close(file);
  return result == INFLATE_DONE && transfer.outputCount == in.stream.size && (!check || crc == in.stream.crc);
}

bool kvx_with_crc(Input& in) { return kvx_inflate(in, true); }
bool kvx_alone(Input& in) { return kvx_inflate(in, false); }

bool libdeflate_gzip(Input& in) {
  size_t got = 0;
  return libdeflate_gzip_decompress(in.decompressor, in.whole.data(), in.whole.size(), in.output.data(),
                                    in.output.size(), &got) == LIBDEFLATE_SUCCESS &&
         got == in.stream.size;
}

bool libdeflate_alone(Input& in) {
  size_t got = 0;
  return libdeflate_deflate_decompress(in.decompressor, in.whole.data() + in.stream.start, size_t(in.stream.length),
                                       in.output.data(), in.output.size(), &got) == LIBDEFLATE_SUCCESS &&
         got == in.stream.size;
}

struct Engine {
  const char* name;
  bool (*decode)(Input& in);
};

const Engine kEngines[] = {
    {"kvx inflate + CRC-32", kvx_with_crc},
    {"libdeflate gzip + CRC-32", libdeflate_gzip},
    {"kvx inflate alone", kvx_alone},
    {"libdeflate deflate alone", libdeflate_alone},
};
constexpr int kEngineCount = sizeof kEngines / sizeof kEngines[0];

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: inflate_bench GZIP [passes]\n");
    return 2;
  }
  const int passes = argc > 2 && atoi(argv[2]) > 0 ? atoi(argv[2]) : 15;
  Input in{argv[1], {}, {}, {}, libdeflate_alloc_decompressor()};
  IoFile* file = io_open(in.name, IO_MODE_READ);
  if (file == nullptr || !read_gzip_stream(file, &in.stream)) {
    fprintf(stderr, "%s: not a gzip file\n", in.name);
    return 1;
  }
  in.whole.resize(size_t(file->length));
  io_seek(file, 0, 0);
  io_read(file, in.whole.data(), int(in.whole.size()));
  io_close(file);
  in.output.resize(in.stream.size);

  std::vector<double> seconds[kEngineCount];
  for (int pass = 0; pass <= passes; pass++) {  // pass 0 warms up
    for (int e = 0; e < kEngineCount; e++) {
      const auto start = std::chrono::steady_clock::now();
      if (!kEngines[e].decode(in)) {
        fprintf(stderr, "%s: %s failed\n", in.name, kEngines[e].name);
        return 1;
      }
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      if (pass > 0) seconds[e].push_back(took.count());
    }
  }
  double median[kEngineCount];
  printf("%s: %u bytes from %lld, median of %d passes\n", in.name, in.stream.size,
         static_cast<long long>(in.stream.length), passes);
  for (int e = 0; e < kEngineCount; e++) {
    std::sort(seconds[e].begin(), seconds[e].end());
    median[e] = seconds[e][seconds[e].size() / 2];
    printf("  %-26s %8.2f ms %8.1f MB/s\n", kEngines[e].name, median[e] * 1e3, in.stream.size / median[e] / 1e6);
  }
  printf("  kvx/libdeflate time: %.2f with the CRC-32, %.2f decoding alone\n", median[0] / median[1],
         median[2] / median[3]);
  libdeflate_free_decompressor(in.decompressor);
  return 0;
}

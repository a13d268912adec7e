// CRC-32 throughput of kvx's check value next to zlib's crc32, measured in the
// same run on the same bytes (median of several passes).
// Usage: crc_bench [file] [passes]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <zlib.h>

#include "codec/common/transfer.h"

namespace {

std::vector<unsigned char> load(const char* path) {
  std::vector<unsigned char> data;
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return data;
  unsigned char block[65536];
  size_t got;
  while ((got = fread(block, 1, sizeof block, f)) > 0) data.insert(data.end(), block, block + got);
  fclose(f);
  return data;
}

struct Engine {
  const char* name;
  uint32_t (*crc)(const std::vector<unsigned char>& data);
};

uint32_t kvx_crc(const std::vector<unsigned char>& data) { return crc32_of(data.data(), data.size()); }

uint32_t zlib_crc(const std::vector<unsigned char>& data) {
  return uint32_t(crc32(crc32(0L, Z_NULL, 0), data.data(), uInt(data.size())));
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "/work/shared/bench/corpus/cxx.tar";
  int passes = argc > 2 ? atoi(argv[2]) : 9;
  if (passes < 1) passes = 1;
  std::vector<unsigned char> data = load(path);
  if (data.empty()) {
    fprintf(stderr, "%s: cannot read\n", path);
    return 1;
  }
  const Engine engines[] = {{"kvx crc32", kvx_crc}, {"zlib crc32", zlib_crc}};
  uint32_t values[2] = {0, 0};
  double medians[2] = {0, 0};
  printf("%s: %zu bytes, median of %d passes\n", path, data.size(), passes);
  for (int e = 0; e < 2; e++) {
    std::vector<double> rates;
    for (int pass = 0; pass < passes; pass++) {
      auto start = std::chrono::steady_clock::now();
      values[e] = engines[e].crc(data);
      std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      rates.push_back(double(data.size()) / 1e6 / took.count());
    }
    std::sort(rates.begin(), rates.end());
    medians[e] = rates[rates.size() / 2];
    printf("%-11s %08X  %8.1f MB/s\n", engines[e].name, values[e], medians[e]);
  }
  printf("ratio kvx/zlib: %.2f\n", medians[0] / medians[1]);
  if (values[0] != values[1]) {
    fprintf(stderr, "CRC values differ\n");
    return 1;
  }
  return 0;
}

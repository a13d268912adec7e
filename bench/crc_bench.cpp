// CRC-32 throughput of kvx's check value, each way this processor allows
// (tables, folding, wide folding), next to zlib's crc32, measured in the same
// run on the same bytes (median of several passes). The ratio is the way
// kvx takes by default to zlib.
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
  CrcWay way;  // for kvx's rows
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
  const CrcWay best = crc32_use(CrcWay::WideFolding);
  const Engine engines[] = {{"kvx tables", CrcWay::Tables, kvx_crc},
                            {"kvx folding", CrcWay::Folding, kvx_crc},
                            {"kvx wide", CrcWay::WideFolding, kvx_crc},
                            {"zlib crc32", CrcWay::Tables, zlib_crc}};
  const int count = sizeof engines / sizeof engines[0];
  printf("%s: %zu bytes, median of %d passes\n", path, data.size(), passes);
  double bestRate = 0, zlibRate = 0;
  std::vector<uint32_t> kvxValues;
  uint32_t zlibValue = 0;
  for (int e = 0; e < count; e++) {
    const bool kvx = engines[e].crc == kvx_crc;
    if (kvx && crc32_use(engines[e].way) != engines[e].way) continue;  // not on this processor
    std::vector<double> rates;
    uint32_t value = 0;
    for (int pass = 0; pass < passes; pass++) {
      auto start = std::chrono::steady_clock::now();
      value = engines[e].crc(data);
      std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      rates.push_back(double(data.size()) / 1e6 / took.count());
    }
    std::sort(rates.begin(), rates.end());
    const double median = rates[rates.size() / 2];
    printf("%-11s %08X  %8.1f MB/s\n", engines[e].name, value, median);
    if (kvx && engines[e].way == best) bestRate = median;
    if (kvx) kvxValues.push_back(value);
    else zlibRate = median, zlibValue = value;
  }
  crc32_use(best);
  printf("ratio kvx/zlib: %.2f\n", bestRate / zlibRate);
  if (std::count(kvxValues.begin(), kvxValues.end(), zlibValue) != long(kvxValues.size())) {
    fprintf(stderr, "CRC values differ\n");
    return 1;
  }
  return 0;
}

// The TAR reader's walk: header blocks with long names and extended
// headers, and every member's data copied out.
#include "support.h"

namespace {

constexpr size_t kBlock = 512;
constexpr size_t kChecksumAt = 148;
constexpr size_t kSizeAt = 124;

// Follows the headers from the first block as the reader does (each header,
// then its data rounded up to whole blocks) and writes the checksum each
// should have: the sum of its bytes with the checksum field as spaces.
void repair_header_checksums(uint8_t* bytes, size_t size) {
  for (size_t at = 0; at + kBlock <= size;) {
    uint8_t* block = bytes + at;
    unsigned sum = 0;
    for (size_t i = 0; i < kBlock; i++) sum += (i >= kChecksumAt && i < kChecksumAt + 8) ? ' ' : block[i];
    if (sum == 8 * ' ') {  // a zero block
      at += kBlock;
      continue;
    }
    snprintf(reinterpret_cast<char*>(block + kChecksumAt), 8, "%06o", sum);
    block[kChecksumAt + 7] = ' ';
    uint64_t length = 0;
    for (size_t i = kSizeAt; i < kSizeAt + 12 && block[i] >= '0' && block[i] <= '7'; i++)
      length = length * 8 + (block[i] - '0');
    if (length > size) break;
    at += kBlock + (length + kBlock - 1) / kBlock * kBlock;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_walk(Tar, repair_header_checksums, data, size);
  return 0;
}

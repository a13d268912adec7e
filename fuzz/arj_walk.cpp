// The ARJ reader's walk: the header search, main and member headers, and
// every member tested (stored or the default method).
#include "support.h"

#include "codec/common/transfer.h"

namespace {

// Basic headers are 60 EA, a little-endian size of at most 2600, the header
// and the CRC-32 of the header.
void repair_basic_headers(uint8_t* bytes, size_t size) {
  for (size_t i = 0; i + 4 <= size; i++) {
    if (bytes[i] != 0x60 || bytes[i + 1] != 0xEA) continue;
    const size_t length = size_t(bytes[i + 2]) | size_t(bytes[i + 3]) << 8;
    if (length == 0 || length > 2600 || i + 4 + length + 4 > size) continue;
    const uint32_t value = crc32_of(bytes + i + 4, length);
    uint8_t* crc = bytes + i + 4 + length;
    for (int k = 0; k < 4; k++) crc[k] = uint8_t(value >> (8 * k));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_walk(Arj, repair_basic_headers, data, size);
  return 0;
}

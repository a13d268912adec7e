// The own format's archive walk: the global header, the entry headers, the
// search past damage, and every member tested with its method's decoder.
#include "support.h"

#include "codec/common/transfer.h"

namespace {

// Entry headers are FF "KVX", a big-endian body length, the body and the
// CRC-32 of the body.
void repair_entry_headers(uint8_t* bytes, size_t size) {
  for (size_t i = 0; i + 6 <= size; i++) {
    if (bytes[i] != 0xFF || bytes[i + 1] != 'K' || bytes[i + 2] != 'V' || bytes[i + 3] != 'X') continue;
    const size_t length = size_t(bytes[i + 4]) << 8 | bytes[i + 5];
    uint8_t* crc = bytes + i + 6 + length;
    if (i + 6 + length + 4 > size) continue;
    const uint32_t value = crc32_of(bytes + i + 6, length);
    for (int k = 0; k < 4; k++) crc[k] = uint8_t(value >> (24 - 8 * k));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_walk(Kvn, repair_entry_headers, data, size);
  return 0;
}

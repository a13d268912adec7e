// Test support: a writer of most-significant-bit-first bit streams, for
// crafting the input of any decoder bit by bit.
#pragma once

#include <cstdint>
#include <vector>

struct BitWriter {
  std::vector<uint8_t> bytes;
  uint32_t acc = 0;
  int used = 0;
  // Appends the low count bits of value, most significant first.
  void put(int count, uint32_t value) {
    for (int i = count - 1; i >= 0; i--) {
      acc = (acc << 1) | ((value >> i) & 1);
      if (++used == 8) {
        bytes.push_back(static_cast<uint8_t>(acc));
        acc = 0;
        used = 0;
      }
    }
  }
  // The bytes, the last one filled up with zero bits.
  std::vector<uint8_t> finish() {
    if (used) put(8 - used, 0);
    return bytes;
  }
};

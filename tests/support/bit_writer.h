// Test support: writers of bit streams, for crafting the input of any decoder
// bit by bit: most significant bit first (the default method) and least
// significant bit first (Deflate).
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

// Bits packed from the low end of each byte, as Deflate sends them.
struct LsbBitWriter {
  std::vector<uint8_t> bytes;
  int used = 0;  // bits of the last byte in use
  // Appends the low count bits of value, least significant first (fields).
  void put(int count, uint32_t value) {
    for (int i = 0; i < count; i++) bit((value >> i) & 1);
  }
  // Appends a Huffman code of length bits, its first bit the highest.
  void put_code(int length, uint32_t code) {
    for (int i = length - 1; i >= 0; i--) bit((code >> i) & 1);
  }
  // Fills the last byte up with zero bits (a stored block starts there).
  void align() { used = 0; }
  std::vector<uint8_t> finish() { return bytes; }

 private:
  void bit(uint32_t b) {
    if (used == 0) bytes.push_back(0);
    bytes.back() = static_cast<uint8_t>(bytes.back() | b << used);
    used = (used + 1) & 7;
  }
};

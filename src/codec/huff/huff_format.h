// Constants of the default method's block stream: alphabets, field widths and
// table sizes shared by the block Huffman encoder and decoder.
#pragma once

#include <cstdint>

// Literal bytes 0..255 and match lengths 3..256 (code = length + 253).
constexpr int HUFF_CHAR_SYMBOLS = 510;
constexpr int HUFF_CHAR_ARRAY = 512;          // entries of the char/length length and code arrays
constexpr int HUFF_CHAR_FREQ_ARRAY = 2048;    // char/length frequencies plus tree-node sums
constexpr int HUFF_MIN_MATCH = 3;
constexpr int HUFF_MAX_MATCH = 256;
constexpr int HUFF_LENGTH_BIAS = 253;         // match length = char/length code - 253

// The code that codes the char/length code lengths: 0, 1, 2 are zero runs,
// s >= 3 is length s - 2.
constexpr int HUFF_LENGTH_SYMBOLS = 19;
constexpr int HUFF_LENGTH_FREQ_ARRAY = 64;
constexpr int HUFF_LENGTH_SPECIAL = 3;        // a 2-bit zero-run field follows the third length

// Position codes: k is the number of significant bits of the position value.
// The encoder builds its code over 18 symbols (17 with the narrow window);
// the last one never occurs, so at most 17 (16) lengths are sent and the
// decoder reads a code of 17 symbols.
constexpr int HUFF_POSITION_SYMBOLS = 18;
constexpr int HUFF_POSITION_SYMBOLS_NARROW = 17;
constexpr int HUFF_POSITION_SYMBOLS_READ = 17;
constexpr int HUFF_POSITION_FREQ_ARRAY = 38;
constexpr unsigned HUFF_POSITION_LIMIT = 64507;         // position values stay below this
constexpr unsigned HUFF_POSITION_LIMIT_NARROW = 31739;  // ... and below this with the narrow window

constexpr int HUFF_SHORT_ARRAY = 24;          // lengths/codes of the code-length and position codes
constexpr int HUFF_TREE_ARRAY = 1032;         // tree children; nodes numbered from the alphabet size
constexpr int HUFF_MAX_CODE_LENGTH = 16;

// Field widths of a block header.
constexpr int HUFF_BLOCK_COUNT_BITS = 16;     // N, symbols in the block
constexpr int HUFF_LENGTH_COUNT_BITS = 5;     // n of the code-length code
constexpr int HUFF_CHAR_COUNT_BITS = 9;       // n of the char/length code
constexpr int HUFF_POSITION_COUNT_BITS = 5;   // n of the position code
constexpr int HUFF_SHORT_RUN_BITS = 2;        // zero-run field after the third code-length length
constexpr int HUFF_RUN_SHORT_BITS = 4;        // code-length symbol 1: 3..18 zero lengths
constexpr int HUFF_RUN_LONG_BITS = 9;         // code-length symbol 2: 20..531 zero lengths
constexpr int HUFF_RUN_SHORT_MIN = 3;
constexpr int HUFF_RUN_LONG_MIN = 20;

// Decoder lookup tables: indexed by the next 11 (char/length) or 8 bits.
constexpr int HUFF_CHAR_TABLE_BITS = 11;
constexpr int HUFF_SHORT_TABLE_BITS = 8;

// The decoder's circular output window (the parser's window is as large).
constexpr uint32_t HUFF_WINDOW_SIZE = 131072;


// Decoder of the default method's block Huffman stream: block headers with
// their three canonical codes, table-driven symbol decoding and the circular
// output window shared with the other decoders.
#pragma once

#include <cstdint>

#include "codec/common/bit_reader.h"
#include "codec/huff/huff_format.h"
#include "platform/iofile.h"

// Results of huff_decode.
constexpr int HUFF_DECODED = 0;       // all bytes produced
constexpr int HUFF_CORRUPT = 1;       // a damaged block header ("file corrupt " reported)
constexpr int HUFF_WRITE_FAILED = 2;  // the output sink failed (it reported the error)

// The shared decoder window: HUFF_WINDOW_SIZE bytes (a few more of slack
// follow them, never passed to the output).
unsigned char* decoder_window();

// Produces `size` bytes from the default-method stream at the current
// position of `input`, reading at most `packedLimit` bytes of it (past them
// the stream reads as one-bits). Every run of bytes goes to the check value and
// then to output_window. In block mode the window position carries over to
// the next member; otherwise every member starts at position 0.
int huff_decode(IoFile* input, uint32_t size, uint32_t packedLimit, bool blockMode);

// Forgets the carried block-mode window position.
void huff_reset_carry();

// Pieces of the block header, answering true on success; a damaged header is
// reported as "file corrupt " and answers false. They fill the decoder's own
// tables from `in`.
bool read_block_header(BitReader& in);
bool read_short_lengths(BitReader& in, int nn, int nbits, int special);
bool read_char_lengths(BitReader& in);

// Builds the lookup table of `bits` (8 or 11) bits for the canonical code of
// nchar symbols with the given lengths; codes longer than `bits` continue in
// the decoder's overflow tree. An incomplete or over-full code is reported as
// "file corrupt " and answers false.
bool build_lookup(int nchar, const uint8_t* length, int bits, uint16_t* table);

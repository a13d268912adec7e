// Method five: a second context model, of orders 4 down to 0, hashed through
// a table of pseudo-random numbers, with statistics kept per context and an
// adaptive escape estimate, over the 16-bit arithmetic coder. Member stream:
// the byte 1, then the arithmetic code of the bytes and the end symbol.
#pragma once

#include <cstdint>

#include "platform/iofile.h"

// Packs up to size bytes of the member reader into archive (memory mode is
// not served); answers the bytes the reader delivered.
uint32_t five_pack(int64_t size, int memoryMode, IoFile* archive);
// Decodes a member of size bytes from input (at most packed bytes of it)
// through the output sink; UNPACK_* answer. In block mode the model goes on
// from the member unpacked before.
int five_unpack(IoFile* input, uint32_t size, uint32_t packed, bool blockMode);
// The next member, packed or unpacked, starts a fresh model.
void five_forget_model();
// Entry i of the hash table of pseudo-random numbers.
uint16_t five_hash_entry(int i);

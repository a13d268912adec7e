// The high method: prediction by partial matching of orders 5 down to 0 with
// escapes and exclusion, over the 16-bit arithmetic coder. Member stream: the
// byte 5, then the arithmetic code of the bytes and the end symbol.
#pragma once

#include <cstdint>

#include "platform/iofile.h"

// Packs up to size bytes of the member reader into archive (memory mode is
// not served); answers the bytes the reader delivered.
uint32_t ppm_pack(int64_t size, int memoryMode, IoFile* archive);
// Decodes a member of size bytes from input (at most packed bytes of it)
// through the output sink; UNPACK_* answer. In block mode the model goes on
// from the member unpacked before.
int ppm_unpack(IoFile* input, uint32_t size, uint32_t packed, bool blockMode);
// The next member, packed or unpacked, starts a fresh model.
void ppm_forget_model();

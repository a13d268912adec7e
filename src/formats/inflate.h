// The Deflate decoder of ZIP members: stored, fixed and dynamic blocks,
// written through the check value and the output sink.
#pragma once

#include <cstdint>

#include "platform/iofile.h"

// Results of inflate_member.
constexpr int INFLATE_DONE = 0;          // the final block ended, or size bytes were produced
constexpr int INFLATE_INPUT_ENDED = 1;   // the member's data ended first: abandoned, no message
constexpr int INFLATE_BAD_DATA = 2;      // a code or block the format does not allow
constexpr int INFLATE_WRITE_FAILED = 3;  // the output sink failed (it reported the error)

// Decodes the Deflate stream at the current position of input, reading at
// most packed bytes of it and producing at most size bytes (the rest of the
// stream is not decoded). Every byte produced goes through
// transfer.checkUpdate and output_sink. The input is left somewhere within
// the packed bytes (they are read ahead), never beyond them.
int inflate_member(IoFile* input, uint32_t packed, uint32_t size);

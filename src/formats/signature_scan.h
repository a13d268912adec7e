// Finding the next header of a format whose headers start with a signature:
// the file is read in overlapping pieces and every place where the signature
// could start is offered to the format's own test.
#pragma once

#include <cstdint>

#include "platform/iofile.h"

// Whether a header starts at offset; piece points at the bytes read there
// (at least width of them). The test may move the stream.
using HeaderTest = bool (*)(IoFile* file, const unsigned char* piece, int64_t offset);

// The first offset from `from` on, below `limit`, where test accepts a
// header of a signature width bytes long; the stream is left there. -1 when
// there is none.
int64_t find_header(IoFile* file, int64_t from, int64_t limit, int width, HeaderTest test);

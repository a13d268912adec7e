// The scan for the next header.
#include "formats/signature_scan.h"

namespace {
constexpr int kPiece = 2048;  // bytes read per step
}  // namespace

int64_t find_header(IoFile* file, int64_t from, int64_t limit, int width, HeaderTest test) {
  unsigned char piece[kPiece];
  // The pieces overlap by width - 1 bytes, so a signature across a boundary is found.
  for (int64_t offset = from; offset < limit; offset += kPiece - (width - 1)) {
    if (io_seek(file, offset, 0) < 0) return -1;
    const int got = io_read(file, piece, kPiece);
    if (got < width) return -1;
    for (int i = 0; i + width <= got && offset + i < limit; i++)
      if (test(file, piece + i, offset + i)) {
        io_seek(file, offset + i, 0);
        return offset + i;
      }
  }
  return -1;
}

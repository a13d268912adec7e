// Where the Deflate stream of a gzip file (RFC 1952) lies, and the CRC-32
// and size its trailer gives, for the benchmarks that decode the same bytes
// as libdeflate's tools.
#pragma once

#include <cstdint>

#include "platform/iofile.h"

struct GzipStream {
  int64_t start;   // offset of the Deflate stream
  int64_t length;  // its bytes
  uint32_t crc;    // CRC-32 of what it decodes to
  uint32_t size;   // bytes it decodes to (modulo 2^32)
};

// Reads the header and trailer of the gzip file open as file; false when it
// is not one. The file is left at the stream.
inline bool read_gzip_stream(IoFile* file, GzipStream* stream) {
  unsigned char head[10];
  if (io_seek(file, 0, 0) < 0 || io_read(file, head, 10) != 10 || head[0] != 0x1F || head[1] != 0x8B || head[2] != 8)
    return false;
  const unsigned flags = head[3];
  if (flags & 4) io_seek(file, io_read_le16(file), 1);  // extra field
  for (unsigned text = 8; text <= 16; text += 8)        // name, comment
    if (flags & text)
      while (io_get_byte(file) > 0) {
      }
  if (flags & 2) io_seek(file, 2, 1);  // header CRC
  stream->start = io_tell(file);
  stream->length = file->length - 8 - stream->start;
  if (stream->length < 0 || io_seek(file, file->length - 8, 0) < 0) return false;
  stream->crc = uint32_t(io_read_le32(file));
  stream->size = uint32_t(io_read_le32(file));
  return io_seek(file, stream->start, 0) >= 0;
}

// Member-level packing: method choice, sizes and check value; the stored
// copy.
#include "codec/pack.h"

#include "codec/common/transfer.h"
#include "codec/huff/encode.h"
#include "codec/methods.h"
#include "platform/console.h"

uint32_t pack_member(IoFile* input, IoFile* archive, int memoryMode, int64_t size,
                     int64_t* unpackedSize, int64_t* packedSize) {
  *unpackedSize = 0;
  *packedSize = 0;
  const MethodRow& method = method_for_packing();
  const int64_t inputStart = io_tell(input);
  check_start();
  transfer.expectedTotal = static_cast<uint32_t>(size);  // 100 % of the progress figure
  const int64_t archiveStart = memoryMode ? 0 : io_tell(archive);

  codec_buffers_alloc();
  transfer.input = input;
  const uint32_t consumed = method.pack(size, memoryMode, archive);

  int64_t unpacked;
  int64_t packed;
  if (memoryMode) {
    // In memory the coded bytes may stand for fewer than were read: the
    // check covers exactly those.
    io_seek(input, inputStart, 0);
    check_region(input, consumed);
    unpacked = consumed;
    packed = codec_memory_size();
  } else {
    unpacked = consumed;
    packed = io_tell(archive) - archiveStart;
  }
  *unpackedSize = unpacked;
  *packedSize = packed;
  return check_value();
}

void codec_buffers_alloc() {
  if (method_for_packing().needsCodecBuffers) huff_buffers_alloc();
}

uint32_t store_member(IoFile* input, IoFile* archive, int memoryMode, unsigned char* buffer,
                      int32_t count, int64_t size, int64_t* unpackedSize, int64_t* packedSize) {
  check_start();
  if (memoryMode) {
    if (buffer == huffEncoder.out && count > static_cast<int32_t>(huffEncoder.out_capacity)) {
      count = static_cast<int32_t>(huffEncoder.out_capacity);
    }
    int got = io_read(input, buffer, count);
    if (got < 0) got = 0;
    transfer.checkUpdate(buffer, got);
    size = got;
    if (buffer == huffEncoder.out) huffEncoder.out_count = static_cast<uint32_t>(got);
  } else if (transfer.textMode) {
    // The same bytes a packed text member stands for: the CR of CR LF dropped.
    const int64_t archiveStart = io_tell(archive);
    unsigned char piece[32768];
    for (int64_t left = size; left > 0;) {
      int want = left < int64_t(sizeof piece) ? int(left) : int(sizeof piece);
      int got = io_read(input, piece, want);
      if (got < 0) got = 0;
      left -= got;
      const int placed = drop_carriage_returns(piece, got, byte_after_piece(input, piece, got, left));
      transfer.checkUpdate(piece, placed);
      if (io_write(archive, piece, placed) != placed) break;
      if (got < want) {
        if (transfer.readSourceName)
          report_error_path_because(message_text(MSG_READ_ERROR), *transfer.readSourceName, io_error_text(input));
        break;
      }
    }
    size = io_tell(archive) - archiveStart;
  } else {
    const int64_t archiveStart = io_tell(archive);
    copy_bytes_with_check(input, archive, size, 1);
    size = io_tell(archive) - archiveStart;
  }
  *unpackedSize = size;
  *packedSize = size;
  return check_value();
}

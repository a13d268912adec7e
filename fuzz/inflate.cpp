// Inflate, the decoder of deflated ZIP members: stored, fixed and dynamic
// blocks. Input: three bytes of the size to produce (little-endian, at most
// 1 MiB), then the raw Deflate stream.
#include "support.h"

#include "codec/common/transfer.h"
#include "formats/inflate.h"
#include "platform/iofile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_start_run();
  constexpr size_t kHead = 3;
  if (size < kHead) return 0;
  const uint32_t produce = (uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16) % ((1u << 20) + 1);
  IoFile* input = io_open(fuzz_put("stream", data + kHead, size - kHead), IO_MODE_READ);
  if (input == nullptr) abort();
  transfer_begin(input, nullptr, produce);
  inflate_member(input, static_cast<uint32_t>(size - kHead), produce);
  transfer_finish();
  io_close(input);
  return 0;
}

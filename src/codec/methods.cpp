// The table of compression methods and its lookups.
#include "codec/methods.h"

#include "codec/common/settings.h"
#include "codec/huff/decode.h"
#include "codec/huff/encode.h"
#include "codec/lz/lz77.h"
#include "codec/ppm/five.h"
#include "codec/ppm/high.h"

namespace {

constexpr uint32_t LIMIT_MARGIN = 20;   // the block limit stays this far below the budget

// The default method: the LZ77 parser feeding the block Huffman encoder. In
// memory mode the blocks close before the coded bytes outgrow the budget
// (size); the answer is what the parser consumed there, else what the member
// reader delivered.
uint32_t pack_default(int64_t size, int memoryMode, IoFile* archive) {
  const uint32_t bufferSize = static_cast<uint32_t>(codec_buffer_size());
  uint32_t limit = bufferSize - LIMIT_MARGIN;
  // A budget of exactly 20 bytes would give a limit of 0 and a block that
  // takes no symbol at all; such small budgets keep the default limit.
  if (memoryMode && size > static_cast<int64_t>(LIMIT_MARGIN) && size - LIMIT_MARGIN < bufferSize) {
    limit = static_cast<uint32_t>(size) - LIMIT_MARGIN;
  }
  huff_configure(limit, memoryMode, archive);
  const uint32_t consumed = codecSettings.level < 0 ? lz_pack_greedy(size) : lz_pack_lazy(size);
  return memoryMode ? consumed : static_cast<uint32_t>(lzState.delivered);
}

int unpack_default(IoFile* input, uint32_t size, uint32_t packed, bool blockMode) {
  return huff_decode(input, size, packed, blockMode);
}

// Rows in the order their entry flags are tested; the default method has none.
const MethodRow kMethods[] = {
    {METHOD_STORED, "stored", 0x0800, false, nullptr, nullptr, false, true},
    {METHOD_HIGH, "high", 0x4000, false, ppm_pack, ppm_unpack, false, false},
    {METHOD_FIVE, "five", 0x8000, true, five_pack, five_unpack, false, false},
    {METHOD_DEFAULT, "default", 0, false, pack_default, unpack_default, true, true},
};

const MethodRow& row_of(int code) {
  for (const MethodRow& row : kMethods)
    if (row.code == code) return row;
  return kMethods[sizeof kMethods / sizeof kMethods[0] - 1];
}

}  // namespace

const MethodRow& method_for_packing() {
  // Method five wins over the high method; the default method is left.
  if (codecSettings.methodFive) return row_of(METHOD_FIVE);
  if (codecSettings.highMethodOrder != 0) return row_of(METHOD_HIGH);
  return row_of(METHOD_DEFAULT);
}

const MethodRow* method_by_code(int code) {
  for (const MethodRow& row : kMethods)
    if (row.code == code) return &row;
  return nullptr;
}

int method_code_of_flags(unsigned flags) {
  for (const MethodRow& row : kMethods)
    if (row.entryFlags != 0 && (flags & row.entryFlags)) return row.code;
  return METHOD_DEFAULT;
}

void unpack_reset_carry() {
  huff_reset_carry();
  ppm_forget_model();
  five_forget_model();
}

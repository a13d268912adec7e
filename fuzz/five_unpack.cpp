// Method five's decoder: the hashed context model of orders 4 down to 0 over the arithmetic decoder.
#include "support.h"

#include "codec/methods.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_unpack(METHOD_FIVE, data, size);
  return 0;
}

// The high method's decoder: the context model of orders 5 down to 0 over the arithmetic decoder.
#include "support.h"

#include "codec/methods.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_unpack(METHOD_HIGH, data, size);
  return 0;
}

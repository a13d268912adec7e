// The default method's decoder: block headers, the three codes, literals and matches in the window.
#include "support.h"

#include "codec/methods.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_unpack(METHOD_DEFAULT, data, size);
  return 0;
}

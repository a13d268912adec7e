// The older own format's walk: member headers one after the other, and
// every member tested.
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_walk(Kvx, nullptr, data, size);  // its headers carry no checksum
  return 0;
}

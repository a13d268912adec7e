// Method five packs and unpacks to the same bytes, alone and in block mode.
#include "support.h"

#include "codec/common/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_start_run();
  codecSettings.methodFive = 1;
  fuzz_round_trip(data, size);
  return 0;
}

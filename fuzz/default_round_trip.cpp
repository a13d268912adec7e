// The default method packs and unpacks to the same bytes at every level,
// with either window, in block mode and in memory mode. The choice byte's
// low three bits pick the level (2 down to -2).
#include "support.h"

#include "codec/common/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  fuzz_start_run();
  codecSettings.level = 2 - (data[0] & 7) % 5;
  fuzz_round_trip(data, size);
  return 0;
}

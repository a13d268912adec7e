// The high method packs and unpacks to the same bytes at each order, alone
// and in block mode. The choice byte's low three bits pick the order (3, 4, 5).
#include "support.h"

#include "codec/common/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  fuzz_start_run();
  codecSettings.highMethodOrder = 3 + (data[0] & 7) % 3;
  fuzz_round_trip(data, size);
  return 0;
}

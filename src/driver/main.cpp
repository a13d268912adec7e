// The program entry of kvx.
#include "driver/entry.h"

int main(int argc, char** argv) {
  const int status = kvx_main(argc, argv);
  // Exit statuses are 8 bits wide here: 256 errors must not read as success.
  return status > 255 ? 255 : status;
}

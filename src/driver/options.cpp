// The process-wide switch record and driver state.
#include "driver/options.h"

#include <cstdlib>

Options options;
DriverState driverState;

void reset_options() {
  for (int i = 0; i < options.exclusionCount; ++i) delete options.exclusions[i];
  delete options.workDirectory;
  delete options.outputDirectory;
  delete options.commentFile;
  for (int i = 0; i < options.nameCount; ++i) free(options.names[i]);
  free(options.names);
  free(options.nameTextFlags);
  options = Options{};
}

// The process-wide switch record and driver state.
#include "driver/options.h"

Options options;
DriverState driverState;

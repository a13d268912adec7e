// Runs the command chosen on the command line.
#pragma once

#include "driver/options.h"

// Runs the command; the help set shows the full help and ends the
// process with status 0.
void dispatch(CommandCode command);

// The one way out of the run after an unrecoverable error (no memory, an
// interrupt, writing into a format that cannot be written).
#pragma once

// Reports message as a counted error, runs the clean-up the program
// installed (the driver removes a half-written temporary archive and a
// half-extracted file, and puts back an old archive moved aside), and ends
// the process with status 1.
[[noreturn]] void fatal_error(const char* message);

// The same for an ending signal, from its handler: the process ends at once
// (_exit) after the clean-up, without exit handlers, which may be the very
// code the signal interrupted (the run may have been ending already).
[[noreturn]] void fatal_signal(const char* message);

// The clean-up fatal_error runs; the last one installed counts.
void set_fatal_cleanup(void (*cleanup)());

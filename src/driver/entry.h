// The start-up sequence of kvx: banner, options file, command line, archive
// name, file specifications, temporary names, dispatch and the exit status.
#pragma once

#include "driver/options.h"

// The whole run; answers the exit status (the error count, 0 after help).
int kvx_main(int argc, char** argv);

// The options file of a program path: its file extension replaced by "ini",
// or ".ini" appended when the file name has none. False when it would not fit
// size bytes or would be the program itself.
bool options_file_name(const char* programPath, char* out, int size);

// The user's own options file: $XDG_CONFIG_HOME/kvx/kvx.ini when that
// directory is given as an absolute path, else ~/.config/kvx/kvx.ini (home
// from HOME, or the user database when HOME is empty). False when there is
// no home or the name would not fit size bytes.
bool user_options_file_name(const char* configHome, const char* home, char* out, int size);

// Takes the second name as the output directory of Extract when it is one
// (no wildcard, and a trailing '/' or an existing directory).
void take_output_directory();

// The archive name with its kind decided: an extension chooses the kind, a
// name without one gets the kind's default extension. A new PathName (refused,
// after its report, when the result is too long).
PathName* resolve_archive_name(const PathName& given);

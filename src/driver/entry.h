// The start-up sequence of kvx: banner, options file, command line, archive
// name, file specifications, temporary names, dispatch and the exit status.
#pragma once

#include "driver/options.h"

// The whole run; answers the exit status (the error count, 0 after help).
int kvx_main(int argc, char** argv);

// Temporary archive name 0 (the new archive) or 1 (the old one moved aside):
// "_kv0##" or "_kv1##" and six digits, in the -w directory when that exists,
// else beside the archive. A later attempt gives another name of the same
// form, for when the first is taken. A new PathName owned by the caller.
PathName* temp_archive_name(int digit, unsigned attempt = 0);

// The options file of a program path: its file extension replaced by "ini",
// or ".ini" appended when the file name has none. False when it would not fit
// size bytes or would be the program itself.
bool options_file_name(const char* programPath, char* out, int size);

// Takes the second name as the output directory of Extract when it is one
// (no wildcard, and a trailing '/' or an existing directory).
void take_output_directory();

// The archive name with its kind decided: an extension chooses the kind, a
// name without one gets the kind's default extension. A new PathName (refused,
// after its report, when the result is too long).
PathName* resolve_archive_name(const PathName& given);

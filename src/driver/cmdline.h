// The command line: arguments, response files, the command letter, the
// switches, the archive-kind table and the consistency checks of the switches.
#pragma once

#include <cstddef>

#include "driver/options.h"

// Position given to the words of the options file: far below 1, so that none
// of them can become the command.
constexpr int OPTIONS_FILE_BASE = -32767;
// Response files may name further response files down to this depth.
constexpr int RESPONSE_FILE_DEPTH_MAX = 16;
// The most a response or options file may hold: a list of a million long
// names; more is refused rather than read until memory runs out.
constexpr size_t RESPONSE_FILE_LIMIT = size_t(64) << 20;

// Classifies one argument; position 1 marks the command argument.
void parse_argument(const char* text, int position);
// Feeds the words of a response file (read whole; a pipe too) to
// parse_argument with positions base, base+1, ... (all at base when it is
// below 1). A file that cannot be read is reported and fails the run before
// anything is done.
void read_response_file(const char* path, int base);
// The command argument: a letter, optionally after one '-' or '/'; "--help"
// is the command "h".
void parse_command(const char* text);
// One switch; text begins with '-'.
void parse_switch(const char* text);
// Appends a name (copied) with the current text mode.
void add_name(const char* text);
// Takes the archive kind from an extension word unless a kind was fixed already.
void set_kind_from_extension(const char* word);
// The consistency checks of the switches; ends the process with status 1
// when one of them fails or an argument failed while the command line was read.
void check_options();
// Arguments that failed while the command line was read: names of switches
// (-c@, -e, -o, -w) refused for their length, empty -o and -w, response
// files that could not be read. Each was reported, and the run must not go on.
int failed_argument_count();

// The three fixed sets of command codes.
bool command_is_modifying(int command);   // temporary names, kvn/kvx only, no wildcard archives
bool command_is_help(int command);        // shows the full help
int command_spec_flags(int command);      // SPEC_SCAN, SPEC_MATCH or 0 for the file specifications

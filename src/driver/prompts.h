// Short questions on the console: one-letter answers, the confirmations that
// "-q" asks for (with "-y" granting all of them) and their prompts.
#pragma once

#include "platform/paths.h"

// Operation bits of options.confirmMask (the letters of "-q").
constexpr unsigned CONFIRM_DELETE = 0x01;           // "d": deleting a member
constexpr unsigned CONFIRM_ADD = 0x02;              // "a": adding a file
constexpr unsigned CONFIRM_FRESH = 0x04;            // "f": freshening a member
constexpr unsigned CONFIRM_REPLACE = 0x08;          // "u": accepted, never asked
constexpr unsigned CONFIRM_DELETE_ARCHIVED = 0x10;  // "r": accepted, never asked
constexpr unsigned CONFIRM_EXTRACT = 0x20;          // "x": extracting a member
constexpr unsigned CONFIRM_EXTRACT_DIR = 0x40;      // "w": the directory question of extraction

// Prints prompt, the path when given (null: none) and ": ", then answers
// read_key(): the first character of the answer line in lower case, '\n' for
// an empty line, 'n' at end of input. A question is shown even with "-S".
int ask(const char* prompt, const PathName* path);
// The same with a name in text form (null: none) instead of a path.
int ask_text(const char* prompt, const char* name);

// The prompt of one operation bit ("delete ", "add to archive ", ...); "" for
// anything that is not exactly one known bit.
const char* confirm_prompt(unsigned operation);

// 1 to go on with the item, 0 to leave it out. Asks only when operation is in
// options.confirmMask and options.assumeYes is 0; the answer "a" grants this
// item and clears the whole mask, "y" grants, anything else (end of input
// too) refuses.
int confirm(const PathName* path, unsigned operation);

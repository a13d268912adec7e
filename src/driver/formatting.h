// The number and date formatters that the listing and the overwrite question
// of extraction share.
#pragma once

#include <cstdint>

// Decimal value right-aligned in max(width, digits) characters, padded with
// fill; a width of -1 gives the digits alone.
void print_number(uint64_t value, int width, char fill);

// " dd-Mon-yy hh:mm" from a packed DOS date and time (yy: the year's last two
// digits): 14 blanks for 0, "???" for a month outside 1..12.
void print_dos_date(uint32_t dosTime);

// label, " size: ", size in at least 8 characters, " date: ", the date and a
// line end.
void print_size_and_date(const char* label, uint32_t dosTime, uint32_t size);

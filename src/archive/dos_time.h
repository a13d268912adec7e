// Packed DOS date and time (date in the upper 16 bits, local time) and its
// conversion to and from seconds since 1970.
#pragma once

#include <cstdint>

constexpr uint32_t DOS_TIME_FIRST = 0x00210000u;  // 1980-01-01 00:00:00
constexpr uint32_t DOS_TIME_LAST = 0xFF9FBF7Du;   // 2107-12-31 23:59:58

// Packs a time (seconds since 1970) as local DOS date and time; an odd second
// is dropped. A time before 1980 gives DOS_TIME_FIRST, one after 2107
// DOS_TIME_LAST. 0 when the local-time conversion fails.
uint32_t pack_dos_time(int64_t seconds);
// Seconds since 1970 of a packed local DOS date and time; 0 for the value 0,
// -1 for a value that is not a valid date and time (years before 1970 included).
int64_t unpack_dos_time(uint32_t packed);

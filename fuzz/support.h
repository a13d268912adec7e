// What the fuzz targets share: the process-wide records set back before each
// run, a console that writes nowhere, the input handed over as a file (the
// readers and decoders read files), and the three ways a target drives the
// code: an archive walk, one decoder, and a pack-then-unpack round trip.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/archive.h"

// Sets back what a run may have changed: the error count, the quiet flag and
// the switch records of the platform, codec and archive layers, the member
// transfer; messages and errors go to /dev/null and answers come from it.
void fuzz_start_run();

// The path of a scratch file named tag, in a directory of the process's own
// that is removed at exit.
const char* fuzz_scratch(const char* tag);
// Writes bytes as the whole scratch file tag and answers its path.
const char* fuzz_put(const char* tag, const uint8_t* data, size_t size);
// The whole content of a file.
std::string fuzz_read_all(const char* path);

// Archive walks. The first byte of the input chooses, the rest is the file:
//   bit 0  the target's repair may put right the header checksums first, so
//          that mutations reach the fields behind them
//   bit 1  the format is found by content (as for a name without a known
//          extension) instead of being given
constexpr uint8_t WALK_REPAIR = 0x01;
constexpr uint8_t WALK_DETECT = 0x02;
// Puts right the checksums of the headers found in bytes, in place.
using HeaderRepair = void (*)(uint8_t* bytes, size_t size);
// Opens the file as an archive of kind and tests every member as "t" does.
void fuzz_walk(ArchiveKind kind, HeaderRepair repair, const uint8_t* data, size_t size);

// One member decoder through the method table. Input: a flag byte (bit 0:
// block mode, the stream then holds two members, the first of the packed
// length in bytes 4-5), three bytes of the size to produce (little-endian,
// at most 1 MiB), then the stream.
void fuzz_unpack(int method, const uint8_t* data, size_t size);

// Packs bytes with the method the codec settings choose (the caller sets
// them) and unpacks them again; aborts when anything but the same bytes comes
// back. Input: a choice byte (the ROUND_* bits; the caller may use the
// others), three bytes of split (little-endian), then the bytes. In block
// mode the bytes form two members, the first split bytes long; in memory
// mode (default method only) the member is coded into memory with a budget
// of split bytes, and the bytes it stands for must come back. With
// ROUND_EXPAND the bytes are first repeated, each copy changed, to
// ROUND_EXPANDED_LENGTH bytes: long enough to fill the context models' budgets
// and the default method's window, which short fuzz inputs never do.
constexpr uint8_t ROUND_NARROW = 0x08;
constexpr uint8_t ROUND_BLOCK = 0x10;
constexpr uint8_t ROUND_MEMORY = 0x20;
constexpr uint8_t ROUND_EXPAND = 0x40;
constexpr size_t ROUND_EXPANDED_LENGTH = 192 * 1024;
void fuzz_round_trip(const uint8_t* data, size_t size);

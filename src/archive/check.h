// Check values of member data (CRC-32 or the 16-bit sum) and the data paths
// every format and codec shares: byte copies, the member reader that feeds the
// compressors, and the output sink every decoder writes through.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/iofile.h"

// A running check over a block of bytes; updates checkRegister.
using CheckFunction = void (*)(const void* data, int count);

// ---- process-wide transfer state (one instance for the run) ----
extern CheckFunction checkUpdate;    // check of the most recently opened archive (crc32_update by default)
extern uint32_t checkRegister;       // running register of the current check
extern IoFile* inputFile;            // the member reader's source
extern int64_t inputRemaining;       // bytes the member reader may still take from inputFile
extern int inputChecked;             // set: the reader converts text, updates the check, shows progress
extern uint32_t inputCount;          // bytes delivered by the member reader since check_start
extern IoFile* outputFile;           // the output sink's target; null when testing
extern uint32_t expectedTotal;       // the member's size: 100 % of the progress figure
extern uint32_t outputCount;         // bytes passed to the output sink for the current member
extern unsigned char* outputWindow;  // the decoder's window; output_window writes from it

// ---- check values ----
// Builds the CRC table when needed; inputCount = 0; the register is preset
// (0 for the 16-bit sum, all ones for CRC-32).
void check_start();
void crc32_update(const void* data, int count);
void sum16_update(const void* data, int count);
// The finished check: complement of the register for CRC-32, the register for the sum.
uint32_t check_value();

// Pure CRC-32 step on a register of the caller (no complement, no global state):
// crc32_block(0xFFFFFFFF, p, n) ^ 0xFFFFFFFF is the CRC-32 of the n bytes.
uint32_t crc32_block(uint32_t reg, const void* data, size_t count);
// The finished CRC-32 of one block of bytes.
inline uint32_t crc32_of(const void* data, size_t count) {
  return crc32_block(0xFFFFFFFFu, data, count) ^ 0xFFFFFFFFu;
}

// ---- copies ----
// Moves count bytes from source to target (null target: read and discard) in
// steps of at most 2048; a short read reports "%: read error" with
// driverState.readSourceName, a short write "%: write error" with
// driverState.writeTargetName (each with the system's reason), and stops.
void copy_bytes(IoFile* source, IoFile* target, int64_t count);
// As copy_bytes; with update != 0 every piece also goes through checkUpdate.
void copy_bytes_with_check(IoFile* source, IoFile* target, int64_t count, int update);
// Reads up to count bytes into buffer, starts the check itself and sets
// *value to the finished CRC-32 (or sum) of exactly those bytes; answers bytes read.
int read_with_check(IoFile* source, void* buffer, int count, uint32_t* value);
// Restarts the register and runs the check over the next count bytes of the
// source (in text mode carriage returns are skipped and not counted);
// answers the register, not complemented.
uint32_t check_region(IoFile* source, int64_t count);

// ---- the member reader (source of every compressor) ----
// Places up to `wanted` bytes from inputFile into buffer; answers the number
// placed, 0 only when the source gave nothing although budget remained (end of
// file), or -1 when inputRemaining is exhausted. While inputChecked is set,
// carriage returns are dropped in text mode, the check value is updated and
// progress is shown.
int read_member_input(void* buffer, int wanted);

// ---- the output sink (way out of every decoder) ----
// Writes buffer[from, to) to outputFile (if any) in pieces of at most 32768
// (text members too: their LF line ends are native here), and redraws the
// progress figure. Answers 0,
// or 1 after a write error (reported as "%: write error").
int output_sink(const unsigned char* buffer, int from, int to);
// output_sink over outputWindow.
int output_window(int from, int to);

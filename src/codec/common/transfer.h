// Moving one member's bytes: the check values of member data (CRC-32 or the
// 16-bit sum) and the data paths every format and codec shares.
//
// The contract of a member transfer, for every encoder and extractor:
//   packing     the caller sets transfer.input (and inputRemaining through
//               the encoder's start), transfer.textMode and the names
//               quoted by read and write errors; check_start(); the encoder
//               takes its bytes only through read_member_input, which drops
//               carriage returns of text, updates the check and draws the
//               progress figure while inputChecked is set; check_value()
//               is the member's check.
//   extracting  transfer_begin(input, output, size) resets the check and the
//               counts; transfer_announce prints the action line; the decoder
//               writes only through output_sink / output_window;
//               transfer_finish() flushes the output and answers the check.
//   names       readSourceName and writeTargetName are what "%: read error"
//               and "%: write error" quote; the caller sets them.
//   progress    drawn only while showProgress is set (never while member
//               data goes to the console).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/iofile.h"
#include "platform/paths.h"

// A running check over a block of bytes; updates transfer.checkRegister.
using CheckFunction = void (*)(const void* data, int count);

void crc32_update(const void* data, int count);

// The state of the member being moved; one instance for the run.
struct TransferState {
  CheckFunction checkUpdate = crc32_update;  // check of the most recently opened archive
  uint32_t checkRegister = 0xFFFFFFFFu;      // running register of the current check
  IoFile* input = nullptr;                   // the member reader's source (the archive when extracting)
  int64_t inputRemaining = 0;                // bytes the member reader may still take from input
  int inputChecked = 0;                      // set: the reader converts text, updates the check, shows progress
  uint32_t inputCount = 0;                   // bytes delivered by the member reader since check_start
  IoFile* output = nullptr;                  // the output sink's target; null when testing
  uint32_t expectedTotal = 0;                // the member's size: 100 % of the progress figure
  uint32_t outputCount = 0;                  // bytes passed to the output sink for the current member
  unsigned char* window = nullptr;           // the decoder's window; output_window writes from it
  int textMode = 0;                          // the current member is text
  int showProgress = 0;                      // progress figures may be drawn
  const PathName* readSourceName = nullptr;  // quoted by "%: read error"
  const PathName* writeTargetName = nullptr; // quoted by "%: write error"
};

extern TransferState transfer;

// Starts extracting a member of size bytes from input into output (null:
// testing): the check, the counts and the progress clock start anew.
void transfer_begin(IoFile* input, IoFile* output, uint32_t size);
// The action line of an extracted or tested member: the action word and
// displayName, with " TO " and outputName when that differs; the line is left
// open for the result.
void transfer_announce(const PathName* displayName, const PathName* outputName);
// Ends the member: the output is flushed; answers the finished check value.
uint32_t transfer_finish();

// ---- check values ----
// Builds the CRC table when needed; transfer.inputCount = 0; the register is preset
// (0 for the 16-bit sum, all ones for CRC-32).
void check_start();
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
// The ways crc32_block may take through long blocks, narrowest first; all
// give the same values. Folding by carry-less multiplication, 16 bytes or
// (wide) 32 bytes per instruction, where the processor has it; the tables
// everywhere.
enum class CrcWay { Tables, Folding, WideFolding };
// Takes the widest way up to wanted that the processor has (the widest of
// all is the default) and answers it.
CrcWay crc32_use(CrcWay wanted);

// ---- copies ----
// Moves count bytes from source to target (null target: read and discard) in
// steps of at most 2048; a short read reports "%: read error" with
// transfer.readSourceName, a short write "%: write error" with
// transfer.writeTargetName (each with the system's reason), and stops.
void copy_bytes(IoFile* source, IoFile* target, int64_t count);
// As copy_bytes; with update != 0 every piece also goes through transfer.checkUpdate.
void copy_bytes_with_check(IoFile* source, IoFile* target, int64_t count, int update);
// Reads up to count bytes into buffer, starts the check itself and sets
// *value to the finished CRC-32 (or sum) of exactly those bytes; answers bytes read.
int read_with_check(IoFile* source, void* buffer, int count, uint32_t* value);
// Restarts the register and runs the check over the next count bytes of the
// source (in text mode the carriage returns of CR LF are skipped and not counted);
// answers the register, not complemented.
uint32_t check_region(IoFile* source, int64_t count);

// Copies size bytes of transfer.input unchanged to the output through the
// check value and the output sink (stored members of every format). Stops
// early at end of input or on a write failure.
void copy_stored(uint32_t size);

// Removes the carriage return of every CR LF in bytes[0, count) in place, as
// text members are stored; a lone carriage return stays. next is the byte
// after the piece (-1 for none), which decides for a carriage return at its
// end. Answers the bytes left.
int drop_carriage_returns(unsigned char* bytes, int count, int next);
// The byte after a piece just read from source, for drop_carriage_returns:
// looked at only when the piece ends in a carriage return and left (bytes of
// the member still to come) is positive; -1 otherwise. The position stays.
int byte_after_piece(IoFile* source, const unsigned char* piece, int count, int64_t left);

// ---- the member reader (source of every compressor) ----
// Places up to `wanted` bytes from transfer.input into buffer; answers the number
// placed, 0 only when the source gave nothing although budget remained (end of
// file), or -1 when transfer.inputRemaining is exhausted. While transfer.inputChecked is set,
// the carriage returns of CR LF are dropped in text mode, the check value is updated and
// progress is shown.
int read_member_input(void* buffer, int wanted);

// ---- the output sink (way out of every decoder) ----
// Results of a member decoder.
constexpr int UNPACK_DONE = 0;
constexpr int UNPACK_CORRUPT = 1;       // damaged data, reported by the decoder
constexpr int UNPACK_WRITE_FAILED = 2;  // the output sink failed and reported it

// Writes buffer[from, to) to transfer.output (if any) in pieces of at most 32768
// (text members too: their LF line ends are native here), and redraws the
// progress figure. Answers 0,
// or 1 after a write error (reported as "%: write error"). In block mode the
// rest of the member's output is dropped after a write error instead, and it
// answers 0, so that decoding keeps the stream in step for the next members.
int output_sink(const unsigned char* buffer, int from, int to);
// output_sink over transfer.window.
int output_window(int from, int to);

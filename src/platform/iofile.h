// The buffered file object: one block of a file kept in a buffer that shares the
// object's allocation, cheap byte access for the codecs, and in-place updates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/paths.h"

// State bits of IoFile::flags.
constexpr unsigned IO_EOF = 0x001;          // a read found no more data, or a read-mode seek went past length
constexpr unsigned IO_WRITE_ERROR = 0x002;  // writing the buffer back failed
constexpr unsigned IO_READ = 0x004;         // opened for reading
constexpr unsigned IO_UPDATE = 0x008;       // opened for writing; blocks are loaded when entered, written back when left
constexpr unsigned IO_SEQUENTIAL = 0x020;   // the standard-output object: blocks go out in order, never read back
constexpr unsigned IO_DIRECT = 0x080;       // no buffering: every call goes straight to the handle
constexpr unsigned IO_STANDARD = 0x100;     // a standard stream: close flushes only

// Open modes: the low four bits select the access, IO_MODE_DIRECT and
// IO_MODE_NO_FOLLOW may be added. A failed open leaves errno telling why.
constexpr int IO_MODE_READ = 0;        // read an existing file
constexpr int IO_MODE_WRITE = 1;       // write into an existing file, not truncated
constexpr int IO_MODE_CREATE = 3;      // create the file, or truncate it first
constexpr int IO_MODE_CREATE_NEW = 4;  // create a file that does not exist yet (no link followed), mode 0600
constexpr int IO_MODE_DIRECT = 0x10;
constexpr int IO_MODE_NO_FOLLOW = 0x20;  // a symbolic link at the name is not opened

constexpr int IO_NAME_MAX = PATH_MAX_TEXT - 1;  // longest file name io_open accepts

struct IoFile {
  int pos;             // index in buffer of the next byte to read or write
  int handle;          // operating-system file handle
  int fill;            // valid bytes in buffer when reading
  unsigned flags;      // IO_* state bits
  int64_t base;        // file offset of buffer[0]
  int64_t length;      // file length at open in read mode; 0 when writing; 2000000000 for standard output
  int error;           // errno of the last failed system call on the file, 0 when none
  unsigned extent;     // update mode: bytes of the current block that exist in the file
  unsigned capacity;   // size of buffer in bytes
  unsigned char buffer[];  // the current block, capacity bytes, in the same allocation
};

// The standard-output object once io_stdout has created it, else null.
extern IoFile* ioStandardOutput;

IoFile* io_open(const char* name, int mode);        // null when it cannot be opened
IoFile* io_open_path(const PathName& path, int mode);
int io_stdout();                                     // 0, or 1 when memory is short
int io_close(IoFile* f);                             // flush result: 0 or -1

int io_refill(IoFile* f);                            // next byte after loading the next block, or -1
int io_put_byte_slow(IoFile* f, int b);              // b, or -1 when moving to the next block failed

// Next byte 0..255, or -1 at the end of the file.
inline int io_get_byte(IoFile* f) {
  if (f->pos < f->fill) return f->buffer[f->pos++];
  return io_refill(f);
}

// Stores b; answers b & 0xFF, or -1 when moving to the next block failed.
inline int io_put_byte(IoFile* f, int b) {
  if (f->pos < static_cast<int>(f->capacity)) {
    f->buffer[f->pos++] = static_cast<unsigned char>(b);
    return b & 0xFF;
  }
  return io_put_byte_slow(f, b);
}

int io_read(IoFile* f, void* buf, int n);            // bytes delivered; -1 on a direct-mode error or n < 0
int io_write(IoFile* f, const void* data, int n);    // bytes taken
// Writes n bytes at offset of a file open for writing, leaving the position
// where it is (for bytes whose values are known only after what follows them,
// such as a header before its data); n, or -1 after a failure, which also
// sets IO_WRITE_ERROR when writing was tried.
int io_write_at(IoFile* f, int64_t offset, const void* data, int n);
int io_console_write(IoFile* f, const void* data, int n);
// Origin 0: from the start, 1: from the current position; answers the
// position before the seek, or -1.
int64_t io_seek(IoFile* f, int64_t offset, int origin);
int64_t io_tell(IoFile* f);                          // -1 for null
int io_flush(IoFile* f);                             // 0, or -1 when the write-back failed
int io_at_end(IoFile* f);                            // non-zero when IO_EOF is set

// Values from 2 or 4 bytes; a missing byte counts as 0xFF.
int io_read_be16(IoFile* f);
int io_read_le16(IoFile* f);
int io_read_be32(IoFile* f);
int io_read_le32(IoFile* f);
int io_read_be16_strict(IoFile* f);                  // -1 when the first byte is missing

// Store the low 2 or 4 bytes of v; -1 when a block change failed, else non-negative.
int io_write_be16(IoFile* f, int v);
int io_write_le16(IoFile* f, int v);
int io_write_be32(IoFile* f, int v);
int io_write_le32(IoFile* f, int v);

void io_truncate(IoFile* f, int64_t offset);         // with -1 it changes nothing

// The system's reason for the last failure on f ("No space left on device"),
// or null when none was recorded.
const char* io_error_text(const IoFile* f);
// Reads a whole file (a pipe or device too) into a zero-terminated heap
// buffer to be released with free(); *length gets its size. Null when it
// cannot be opened or read, or holds more than limit bytes (EFBIG: a
// device can give bytes without end); errno then tells why.
char* io_read_whole(const char* name, size_t* length, size_t limit);

static_assert(sizeof(IoFile) == 48, "the fields of IoFile take 48 bytes ahead of the buffer");

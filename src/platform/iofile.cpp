// The buffered file object: opening, block changes, bulk reads and writes,
// seeks, write-back and the value readers and writers.
#include "platform/iofile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/settings.h"
#include "platform/console.h"

IoFile* ioStandardOutput = nullptr;

namespace {

constexpr unsigned READ_CAPACITY = 32768;
constexpr unsigned WRITE_CAPACITY = 65536;
constexpr unsigned SMALL_CAPACITY = 8192;
constexpr int STANDARD_OUTPUT_LENGTH = 2000000000;

// Reads until n bytes arrived or the file ends; a failed read counts as no
// data and leaves its errno in *error.
int read_full(int handle, unsigned char* dst, int n, int* error = nullptr) {
  int got = 0;
  while (got < n) {
    ssize_t r = ::read(handle, dst + got, static_cast<size_t>(n - got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && error) *error = errno;
    if (r <= 0) break;
    got += static_cast<int>(r);
  }
  return got;
}

// Writes all n bytes unless the system refuses; answers the count written.
// A refusal leaves its errno in *error (ENOSPC for a write that took nothing).
int write_full(int handle, const unsigned char* src, int n, int* error = nullptr) {
  int put = 0;
  while (put < n) {
    ssize_t r = ::write(handle, src + put, static_cast<size_t>(n - put));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      if (error) *error = r < 0 ? errno : ENOSPC;
      break;
    }
    put += static_cast<int>(r);
  }
  return put;
}

// The fields take 48 bytes, so an object with its buffer is capacity + 48 bytes.
IoFile* allocate(unsigned capacity) {
  void* memory = std::malloc(sizeof(IoFile) + capacity);
  if (!memory) {
    capacity = SMALL_CAPACITY;
    memory = std::malloc(sizeof(IoFile) + capacity);
    if (!memory) return nullptr;
  }
  IoFile* f = static_cast<IoFile*>(memory);
  f->pos = 0;
  f->handle = -1;
  f->fill = 0;
  f->flags = 0;
  f->base = 0;
  f->length = 0;
  f->error = 0;
  f->extent = 0;
  f->capacity = capacity;
  return f;
}

// Loads the block at f->base. In update mode the part of the buffer past the
// file's data is cleared, so a gap left by a seek is written back as zeros
// rather than as bytes of an earlier block.
void load_block(IoFile* f) {
  int cap = static_cast<int>(f->capacity);
  if (::lseek(f->handle, f->base, SEEK_SET) < 0)
    f->fill = 0;
  else
    f->fill = read_full(f->handle, f->buffer, cap, &f->error);
  if (f->flags & IO_UPDATE) std::memset(f->buffer + f->fill, 0, static_cast<size_t>(cap - f->fill));
}

// Moves to the block after the current one; -1 when that fails.
int seek_next_block(IoFile* f) { return io_seek(f, f->base + f->capacity, 0) < 0 ? -1 : 0; }

int byte_or_ff(IoFile* f, int* missing) {
  int c = io_get_byte(f);
  if (c >= 0) return c;
  ++*missing;
  return 0xFF;
}

}  // namespace

IoFile* io_open(const char* name, int mode) {
  if (!name || std::strlen(name) > static_cast<size_t>(IO_NAME_MAX)) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  int access = mode & 0x0F;
  bool direct = (mode & IO_MODE_DIRECT) != 0;
  if (access != IO_MODE_READ && access != IO_MODE_WRITE && access != IO_MODE_CREATE &&
      access != IO_MODE_CREATE_NEW) {
    return nullptr;
  }

  unsigned capacity = direct ? SMALL_CAPACITY : (access == IO_MODE_READ ? READ_CAPACITY : WRITE_CAPACITY);
  IoFile* f = allocate(capacity);
  if (!f) return nullptr;

  if (access == IO_MODE_READ) {
    f->flags = IO_READ;
    // Opening does not wait for a writer of a FIFO; reading it then does.
    f->handle = ::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (f->handle >= 0 && (::fstat(f->handle, &st) != 0 || S_ISDIR(st.st_mode))) {
      ::close(f->handle);   // a directory has no content to read
      f->handle = -1;
      errno = EISDIR;
    }
    if (f->handle < 0) {
      int reason = errno;
      std::free(f);
      errno = reason;
      return nullptr;
    }
    ::fcntl(f->handle, F_SETFL, ::fcntl(f->handle, F_GETFL) & ~O_NONBLOCK);
    if (direct) {
      f->flags = IO_READ | IO_DIRECT;
      return f;
    }
    if (S_ISREG(st.st_mode)) {
      // The status gives a regular file's length, and a new handle stands at
      // its start: the first block is read at once, and no further than the
      // length (a file that grows meanwhile is read as long as it was).
      f->length = st.st_size;
      int want = static_cast<int>(f->capacity);
      if (f->length > 0 && f->length < want) want = static_cast<int>(f->length);
      f->fill = read_full(f->handle, f->buffer, want, &f->error);
    } else {
      off_t end = ::lseek(f->handle, 0, SEEK_END);
      f->length = end < 0 ? 0 : end;
      load_block(f);
    }
    f->extent = static_cast<unsigned>(f->fill);
    return f;
  }

  f->flags = IO_UPDATE;
  int openFlags = O_RDWR | O_CLOEXEC;
  if (access == IO_MODE_CREATE) openFlags |= O_CREAT | O_TRUNC;
  if (access == IO_MODE_CREATE_NEW) openFlags |= O_CREAT | O_EXCL | O_NOFOLLOW;
  if (mode & IO_MODE_NO_FOLLOW) openFlags |= O_NOFOLLOW;
  f->handle = ::open(name, openFlags, access == IO_MODE_CREATE_NEW ? 0600 : 0666);
  if (f->handle < 0) {
    int reason = errno;
    std::free(f);
    errno = reason;
    return nullptr;
  }
  if (direct) {
    f->flags = IO_UPDATE | IO_DIRECT;
    return f;
  }
  // The first block counts as entered: an existing file's bytes are loaded.
  load_block(f);
  f->extent = static_cast<unsigned>(f->fill);
  return f;
}

IoFile* io_open_path(const PathName& path, int mode) {
  char full[PATH_MAX_TEXT];
  path.full_path(full);
  return io_open(full, mode);
}

int io_stdout() {
  if (ioStandardOutput) return 0;
  void* memory = std::malloc(sizeof(IoFile) + SMALL_CAPACITY);
  if (!memory) return 1;
  IoFile* f = static_cast<IoFile*>(memory);
  f->pos = 0;
  f->handle = 1;
  f->fill = static_cast<int>(SMALL_CAPACITY);
  f->flags = IO_STANDARD | IO_SEQUENTIAL | IO_UPDATE;
  f->base = 0;
  f->length = STANDARD_OUTPUT_LENGTH;
  f->error = 0;
  f->extent = 0;
  f->capacity = SMALL_CAPACITY;
  ioStandardOutput = f;
  return 0;
}

int io_close(IoFile* f) {
  if (!f) return 0;
  int result = (f->flags & IO_DIRECT) ? 0 : io_flush(f);
  if (f->flags & IO_STANDARD) return result;
  // A write error may only show when the handle is closed.
  if (::close(f->handle) != 0 && (f->flags & IO_UPDATE)) {
    result = -1;
    f->error = errno;
  }
  std::free(f);
  return result;
}

int io_refill(IoFile* f) {
  int cap = static_cast<int>(f->capacity);
  if (f->fill < cap || (f->flags & (IO_SEQUENTIAL | IO_DIRECT))) {
    f->flags |= IO_EOF;
    return -1;
  }
  if (f->flags & IO_UPDATE) {
    // Leaving a block that may hold written bytes: go through the seek so the
    // block is written back first.
    if (seek_next_block(f) < 0 || f->fill == 0) {
      f->flags |= IO_EOF;
      return -1;
    }
  } else {
    f->base += cap;
    load_block(f);
    f->pos = 0;
    if (f->fill == 0) {
      f->flags |= IO_EOF;
      return -1;
    }
  }
  f->flags &= ~IO_EOF;
  f->pos = 1;
  return f->buffer[0];
}

int io_put_byte_slow(IoFile* f, int b) {
  if (seek_next_block(f) == -1 && !(f->flags & IO_SEQUENTIAL)) return -1;
  // A standard-output block that could not be written out is dropped; the
  // error flag stays set for the caller to see.
  if (f->pos >= static_cast<int>(f->capacity)) f->pos = 0;
  f->buffer[f->pos++] = static_cast<unsigned char>(b);
  return b & 0xFF;
}

int io_read(IoFile* f, void* buf, int n) {
  if (!f || n < 0) return -1;
  unsigned char* dst = static_cast<unsigned char*>(buf);
  if (f->flags & IO_DIRECT) {
    int got = 0;
    while (got < n) {
      ssize_t r = ::read(f->handle, dst + got, static_cast<size_t>(n - got));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        f->error = errno;
        return got > 0 ? got : -1;
      }
      if (r == 0) break;
      got += static_cast<int>(r);
    }
    return got;
  }
  int done = 0;
  while (done < n) {
    int available = f->fill - f->pos;
    if (available > 0) {
      int chunk = n - done < available ? n - done : available;
      std::memcpy(dst + done, f->buffer + f->pos, static_cast<size_t>(chunk));
      f->pos += chunk;
      done += chunk;
    }
    if (done < n) {
      int c = io_refill(f);
      if (c < 0) return done;
      dst[done++] = static_cast<unsigned char>(c);
    }
  }
  return done;
}

int io_write(IoFile* f, const void* data, int n) {
  if (!f || (f->flags & (IO_EOF | IO_WRITE_ERROR)) || n <= 0) return 0;
  const unsigned char* src = static_cast<const unsigned char*>(data);
  if (f->flags & IO_DIRECT) {
    int put = 0;
    while (put < n) {
      ssize_t r = ::write(f->handle, src + put, static_cast<size_t>(n - put));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        f->error = errno;
        return put > 0 ? put : -1;
      }
      if (r == 0) break;
      put += static_cast<int>(r);
    }
    return put;
  }
  int cap = static_cast<int>(f->capacity);
  int done = 0;
  while (done < n) {
    if (f->pos >= cap && seek_next_block(f) == -1) return done;
    if (f->pos >= cap) return done;   // a failed standard-output block change
    int room = cap - f->pos;
    int chunk = n - done < room ? n - done : room;
    std::memcpy(f->buffer + f->pos, src + done, static_cast<size_t>(chunk));
    f->pos += chunk;
    done += chunk;
    if (f->pos == cap && seek_next_block(f) == -1) return done;
  }
  return done;
}

// Writes n bytes at offset without moving the position: the bytes of the
// current block go into the buffer, the others straight to the handle (every
// other block is on disk already, written back when it was left).
int io_write_at(IoFile* f, int64_t offset, const void* data, int n) {
  if (!f || offset < 0 || n < 0 || !(f->flags & IO_UPDATE) || (f->flags & (IO_SEQUENTIAL | IO_WRITE_ERROR))) {
    return -1;
  }
  const unsigned char* src = static_cast<const unsigned char*>(data);
  const int64_t end = offset + n;
  int64_t blockStart = f->base;
  int64_t blockEnd = f->base + f->capacity;
  if (f->flags & IO_DIRECT) blockStart = blockEnd = end;   // nothing is buffered
  const int64_t inFrom = offset > blockStart ? offset : blockStart;
  const int64_t inTo = end < blockEnd ? end : blockEnd;
  if (inFrom < inTo) {
    std::memcpy(f->buffer + (inFrom - f->base), src + (inFrom - offset), static_cast<size_t>(inTo - inFrom));
    // The block's write-back must reach these bytes.
    if (f->extent < static_cast<unsigned>(inTo - f->base)) f->extent = static_cast<unsigned>(inTo - f->base);
  }
  // The parts before and after the current block.
  const int64_t pieces[2][2] = {{offset, end < blockStart ? end : blockStart},
                                {offset > blockEnd ? offset : blockEnd, end}};
  for (const auto& piece : pieces) {
    for (int64_t at = piece[0]; at < piece[1];) {
      ssize_t r = ::pwrite(f->handle, src + (at - offset), static_cast<size_t>(piece[1] - at), at);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        f->error = r < 0 ? errno : ENOSPC;
        f->flags |= IO_WRITE_ERROR;
        return -1;
      }
      at += r;
    }
  }
  return n;
}

int io_console_write(IoFile* f, const void* data, int n) {
  if (f && f == ioStandardOutput && n >= 0 && ::isatty(1)) {
    // Messages and bytes already in the object go out first, so the order is kept.
    sync_messages();
    if (f->pos > 0) io_flush(f);
    if (platformSettings.pageOutput)
      page_write(data, n);
    else
      write_full(1, static_cast<const unsigned char*>(data), n);
    return n;
  }
  return io_write(f, data, n);
}

int64_t io_seek(IoFile* f, int64_t offset, int origin) {
  if (!f || (origin != 0 && origin != 1)) return -1;
  f->flags &= ~IO_EOF;
  if (f->flags & IO_DIRECT) {
    off_t r = ::lseek(f->handle, offset, origin == 0 ? SEEK_SET : SEEK_CUR);
    return r < 0 ? -1 : r;
  }
  int64_t previous = f->base + f->pos;
  if (origin == 1 && offset > INT64_MAX - previous) return -1;
  int64_t target = origin == 0 ? offset : offset + previous;
  if (target < 0) {
    io_flush(f);
    return -1;
  }
  bool writable = (f->flags & (IO_UPDATE | IO_SEQUENTIAL)) != 0;
  if (target > f->length && !writable) {
    f->flags |= IO_EOF;
    return -1;
  }
  int64_t cap = f->capacity;
  int64_t newbase = target - target % cap;
  if (writable) {
    if (newbase != f->base) {
      if (io_flush(f) == -1) return -1;
      f->extent = f->capacity;
    } else if (f->extent < static_cast<unsigned>(f->pos)) {
      f->extent = static_cast<unsigned>(f->pos);
    }
  }
  f->pos = static_cast<int>(target % cap);
  if (f->flags & IO_SEQUENTIAL) return 0;
  if (newbase == f->base) return previous;
  f->base = newbase;
  load_block(f);
  if (f->extent > static_cast<unsigned>(f->fill)) f->extent = static_cast<unsigned>(f->fill);
  return previous;
}

int64_t io_tell(IoFile* f) {
  if (!f) return -1;
  if (f->flags & IO_DIRECT) {
    off_t r = ::lseek(f->handle, 0, SEEK_CUR);
    return r < 0 ? -1 : r;
  }
  return f->base + f->pos;
}

int io_flush(IoFile* f) {
  if (!f || (f->flags & (IO_DIRECT | IO_READ))) return 0;
  if (f->flags & IO_SEQUENTIAL) {
    // Messages may share the handle: those written before these bytes go first.
    if (f->pos > 0) sync_messages();
    if (write_full(f->handle, f->buffer, f->pos, &f->error) < f->pos) {
      f->flags |= IO_WRITE_ERROR;
      return -1;
    }
    f->pos = 0;
    return 0;
  }
  if (f->flags & IO_UPDATE) {
    int n = static_cast<int>(f->extent) > f->pos ? static_cast<int>(f->extent) : f->pos;
    if (::lseek(f->handle, f->base, SEEK_SET) < 0 || write_full(f->handle, f->buffer, n, &f->error) < n) {
      f->flags |= IO_WRITE_ERROR;
      return -1;
    }
    f->flags &= ~IO_WRITE_ERROR;
  }
  return 0;
}

int io_at_end(IoFile* f) {
  return !f || (f->flags & IO_EOF) != 0;
}

int io_read_be16(IoFile* f) {
  int missing = 0;
  int hi = byte_or_ff(f, &missing);
  int lo = byte_or_ff(f, &missing);
  return missing == 2 ? -1 : (hi << 8) | lo;
}

int io_read_le16(IoFile* f) {
  int missing = 0;
  int lo = byte_or_ff(f, &missing);
  int hi = byte_or_ff(f, &missing);
  return missing == 2 ? -1 : (hi << 8) | lo;
}

int io_read_be32(IoFile* f) {
  int missing = 0;
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<uint32_t>(byte_or_ff(f, &missing));
  return static_cast<int>(v);
}

int io_read_le32(IoFile* f) {
  int missing = 0;
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(byte_or_ff(f, &missing)) << (8 * i);
  return static_cast<int>(v);
}

int io_read_be16_strict(IoFile* f) {
  int hi = io_get_byte(f);
  if (hi < 0) return -1;
  int lo = io_get_byte(f);
  if (lo < 0) return 0xFFFF;
  return (hi << 8) | lo;
}

namespace {

// Stores the low `count` bytes of v, most significant first when bigEndian.
int put_value(IoFile* f, uint32_t v, int count, bool bigEndian) {
  for (int i = 0; i < count; ++i) {
    int shift = bigEndian ? 8 * (count - 1 - i) : 8 * i;
    if (io_put_byte(f, static_cast<int>((v >> shift) & 0xFF)) < 0) return -1;
  }
  return 0;
}

}  // namespace

int io_write_be16(IoFile* f, int v) { return put_value(f, static_cast<uint32_t>(v), 2, true); }
int io_write_le16(IoFile* f, int v) { return put_value(f, static_cast<uint32_t>(v), 2, false); }
int io_write_be32(IoFile* f, int v) { return put_value(f, static_cast<uint32_t>(v), 4, true); }
int io_write_le32(IoFile* f, int v) { return put_value(f, static_cast<uint32_t>(v), 4, false); }

void io_truncate(IoFile* f, int64_t offset) {
  if (!f || offset < 0 || !(f->flags & IO_UPDATE) || (f->flags & IO_SEQUENTIAL)) return;
  // Cut the file at offset; the current block must not write the cut bytes back.
  if (!(f->flags & IO_DIRECT)) {
    io_flush(f);
    int64_t distance = offset - f->base;
    int keep = distance < 0 ? 0 : (distance > f->capacity ? static_cast<int>(f->capacity) : static_cast<int>(distance));
    if (static_cast<int>(f->extent) > keep) f->extent = static_cast<unsigned>(keep);
    if (f->pos > keep) f->pos = keep;
    if (f->fill > keep) f->fill = keep;
  }
  if (::ftruncate(f->handle, offset) != 0) {
    f->error = errno;
    f->flags |= IO_WRITE_ERROR;
  }
}

const char* io_error_text(const IoFile* f) { return f && f->error ? std::strerror(f->error) : nullptr; }

char* io_read_whole(const char* name, size_t* length, size_t limit) {
  int handle = ::open(name, O_RDONLY | O_CLOEXEC);
  if (handle < 0) return nullptr;
  size_t size = 0;
  size_t capacity = 4096;
  char* text = static_cast<char*>(std::malloc(capacity + 1));
  for (;;) {
    if (!text) break;
    if (size == capacity) {
      char* larger = static_cast<char*>(std::realloc(text, 2 * capacity + 1));
      if (!larger) {
        std::free(text);
        text = nullptr;
        errno = ENOMEM;
        break;
      }
      text = larger;
      capacity *= 2;
    }
    ssize_t r = ::read(handle, text + size, capacity - size);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      int reason = errno;
      std::free(text);
      text = nullptr;
      errno = reason;
      break;
    }
    if (r == 0) break;
    size += static_cast<size_t>(r);
    if (size > limit) {
      std::free(text);
      text = nullptr;
      errno = EFBIG;
      break;
    }
  }
  int reason = errno;
  ::close(handle);
  errno = reason;
  if (text) {
    text[size] = '\0';
    *length = size;
  }
  return text;
}

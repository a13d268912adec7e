// Member-level packing entries: compress one member with the selected method
// (or copy it unchanged) into the archive or into the codec's memory buffer.
#pragma once

#include <cstdint>

#include "codec/huff/encode.h"
#include "platform/iofile.h"

// Allocates the buffers of the packing method once per run (those of the
// default method: nothing for a method that needs none). Stops the program
// with message 82 when memory is short.
void codec_buffers_alloc();

// Packs `size` bytes of `input` (from its current position) into `archive`,
// or with memoryMode != 0 into the output byte buffer (see codec_memory_*).
// Prints nothing but the progress figure: the caller owns the action line.
// Sets *unpackedSize to the input bytes the coded data stands for (after
// text conversion) and *packedSize to the coded bytes.
// Returns the finished check value of those input bytes.
uint32_t pack_member(IoFile* input, IoFile* archive, int memoryMode, int64_t size,
                     int64_t* unpackedSize, int64_t* packedSize);

// Copies a member without compressing it. Without memory mode: `size` bytes
// from `input` to `archive`, text members (transfer.textMode) with the
// carriage returns dropped as packing drops them. With memory mode: up to
// `count` bytes from `input` into `buffer` (normally codec_memory_buffer()).
// Both sizes get the bytes stored. Returns the finished check value of those bytes.
uint32_t store_member(IoFile* input, IoFile* archive, int memoryMode, unsigned char* buffer,
                      int32_t count, int64_t size, int64_t* unpackedSize, int64_t* packedSize);

// The compression methods, one row each: every decision about which method
// packs a member, which entry flags name it and which decoder reads it is
// taken from this table. A new method is one row (and its pack and unpack).
#pragma once

#include <cstdint>

#include "codec/common/transfer.h"
#include "platform/iofile.h"

// Method numbers: the decoder selector of own-format and ARJ members.
constexpr int METHOD_STORED = 0;
constexpr int METHOD_DEFAULT = 7;
constexpr int METHOD_HIGH = 9;
constexpr int METHOD_FIVE = 10;

// Packs up to size bytes of the member reader (transfer.input) into archive,
// or into the codec's memory buffer with memoryMode; answers the bytes consumed.
using PackFunction = uint32_t (*)(int64_t size, int memoryMode, IoFile* archive);
// Decodes size bytes of the stream at the current position of input (at most
// packed bytes of it) through the output sink; UNPACK_* answer.
using UnpackFunction = int (*)(IoFile* input, uint32_t size, uint32_t packed, bool blockMode);

struct MethodRow {
  int code;                  // METHOD_*
  const char* name;
  uint16_t entryFlags;       // own-format entry flags that name it (ENTRY_* of archive/archive.h;
                             // none for the default method)
  bool flagsWhenStored;      // the flags are set even when the member ends up stored
  PackFunction pack;         // null for stored members, which store_member copies
  UnpackFunction unpack;     // null for stored members, which are copied
  bool needsCodecBuffers;    // packing uses the default method's token and output buffers
  bool usableInVolumes;      // members may be split across volumes
};

// The method the switches choose for packing (codecSettings).
const MethodRow& method_for_packing();
// The row of a method number; null for a number no row has.
const MethodRow* method_by_code(int code);
// The decoder selector of own-format entry flags: stored, then the flagged
// methods in table order, else the default method.
int method_code_of_flags(unsigned flags);

// Forgets what block-mode members carry to the next member (window
// positions, context models), so that the next member starts afresh.
void unpack_reset_carry();

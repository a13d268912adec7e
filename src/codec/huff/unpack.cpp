// Member extraction entry of the own formats and ARJ: announces the member,
// refuses members with features no decoder handles, chooses the decoder by
// method number and answers the check value of the bytes produced.
#include "codec/huff/unpack.h"

#include <cstring>

#include "archive/archive.h"
#include "codec/common/transfer.h"
#include "archive/kvn_format.h"
#include "codec/huff/decode.h"
#include "codec/huff/huff_format.h"
#include "platform/console.h"

namespace {


// Stored members go out through a staging buffer of their own, so that a
// stored member never disturbs the window a block-mode stream carries.
constexpr int STORED_PIECE = 32768;
unsigned char storedBuffer[STORED_PIECE];

// The decoder selector: ARJ's methods 1 to 3 are the default method.
int method_of(const ArchiveFile* archive) {
  int method = archive->entry.methodCode;
  if (archive->kind == Arj && method >= 1 && method <= 3) method = METHOD_DEFAULT;
  return method;
}

}  // namespace

void copy_stored(uint32_t size) {
  while (size > 0) {
    int want = size < static_cast<uint32_t>(STORED_PIECE) ? static_cast<int>(size) : STORED_PIECE;
    int got = io_read(transfer.input, storedBuffer, want);
    if (got <= 0) return;
    transfer.checkUpdate(storedBuffer, got);
    if (output_sink(storedBuffer, 0, got) != 0) return;
    if (got < want) return;
    size -= static_cast<uint32_t>(got);
  }
}

void unpack_reset_carry() { huff_reset_carry(); }

uint32_t unpack_member(ArchiveFile* archive, IoFile* output, const PathName* displayName,
                       const PathName* outputName) {
  const EntryInfo& entry = archive->entry;
  const bool blockMode = (archive->globalFlags & GLOBAL_BLOCKED) != 0;
  transfer_begin(archive->file, output, entry.unpackedSize);
  transfer_announce(displayName, outputName);

  const char* reserved = reserved_local_features(entry.flags);
  if (reserved) {
    print_text(reserved);
  } else {
    switch (method_of(archive)) {
      case METHOD_STORED:
        copy_stored(entry.unpackedSize);
        break;
      case METHOD_DEFAULT:
        huff_decode(archive->file, entry.unpackedSize, entry.packedSize, blockMode);
        break;
      default:
        print_text(message_text(MSG_BAD_METHOD));
        break;
    }
  }
  return transfer_finish();
}

// Members across volumes: a member that fits the room left is written whole;
// otherwise it is cut into pieces, each compressed into memory first so that
// it can be made smaller until it fits, and each with its offset in the file.
#include "driver/volumes.h"

#include "codec/pack.h"
#include "driver/options.h"
#include "driver/replace.h"

namespace {

constexpr int64_t kDirectMargin = 500;  // a member this much smaller than the room is written whole
constexpr int64_t kPieceMinimum = 200;  // no piece is begun with less room than this

int64_t smaller(int64_t a, int64_t b) { return a < b ? a : b; }

// Compresses the next piece of source into the codec's memory, offering less
// and less until the output fits budget. Sets shrunk when the room of the
// volume made it smaller. Answers the check value; the sizes come back in
// unpacked and packed.
uint32_t pack_piece_in_memory(IoFile* source, int64_t offset, int64_t toDo, int64_t budget, int64_t spaceLeft,
                              int64_t* unpacked, int64_t* packed, bool* shrunk) {
  int64_t amount = toDo;
  for (;;) {
    io_seek(source, offset, 0);
    uint32_t crc = pack_member(source, nullptr, 1, amount, unpacked, packed);
    if (*packed <= budget || amount <= 1) return crc;
    if (*packed > spaceLeft) *shrunk = true;
    amount = amount / 3 * 2;
    if (amount < 1) amount = 1;
  }
}

}  // namespace

int pack_across_volumes(ArchiveFile* target, IoFile* source, VolumeSpace* space, ActionKind action) {
  if (output_failed(target)) return -1;
  EntryInfo& e = target->entry;
  IoFile* f = target->file;
  const bool continuing = space->continuationLeft != 0;
  const int64_t fileSize = int64_t(e.unpackedSize);
  int64_t offset = continuing ? space->continuationOffset : 0;
  int64_t toDo = continuing ? smaller(space->continuationLeft, fileSize - offset) : fileSize;
  space->unfinished = 0;

  const int64_t start = io_tell(f);
  space->spaceLeft = start < space->limit ? space->limit - start : 0;
  if (!continuing && fileSize + kDirectMargin < space->spaceLeft) {
    int result = pack_into_archive(target, source, action);
    space->continuationLeft = 0;
    space->continuationOffset = 0;
    space->spaceLeft -= io_tell(f) - start;
    if (space->spaceLeft < 0) space->spaceLeft = 0;
    return result;
  }

  prepare_member(target);
  // A piece's offset counts bytes of the file as it is, so a member that is
  // split keeps its bytes exactly: no line-end conversion.
  e.flags &= uint16_t(~ENTRY_TEXT);
  transfer.textMode = 0;
  const uint16_t baseFlags = e.flags;
  bool shrunk = false;
  while (toDo > 0 && space->spaceLeft > kPieceMinimum && !shrunk) {
    e.flags = uint16_t(baseFlags | ENTRY_PIECE);
    e.pieceOffset = uint32_t(offset);
    e.unpackedSize = 0;
    e.packedSize = 0;
    e.dataCrc = 0;
    const int64_t headerPos = io_tell(f);
    const int headerLength = write_member_header(target, headerPos);
    if (headerLength < 0) return -1;
    space->spaceLeft -= headerLength;
    const int64_t budget = smaller(codec_memory_capacity(), space->spaceLeft);

    int64_t unpacked = 0;
    int64_t packed = 0;
    uint32_t crc;
    bool inMemory = false;
    int errorsBefore = error_count();
    announce_member(e.name, action);
    if (e.flags & ENTRY_STORED) {
      io_seek(source, offset, 0);
      crc = store_member(source, f, 0, nullptr, 0, smaller(toDo, space->spaceLeft), &unpacked, &packed);
    } else {
      inMemory = true;
      crc = pack_piece_in_memory(source, offset, toDo, budget, space->spaceLeft, &unpacked, &packed, &shrunk);
      if (!codecSettings.blockMode && packed >= unpacked) {
        e.flags |= ENTRY_STORED;
        io_seek(source, offset, 0);
        crc = store_member(source, nullptr, 1, codec_memory_buffer(), unpacked, unpacked, &unpacked, &packed);
      }
    }
    finish_member_line(unpacked, packed);
    if (error_count() != errorsBefore) note_failure(target);
    if (output_failed(target)) return -1;
    const int64_t nextOffset = io_tell(source);
    if (unpacked <= 0 || nextOffset <= offset) {
      // The file ended early (it shrank since it was listed): the pieces would not add up.
      report_error_path(message_text(MSG_READ_ERROR), e.name);
      note_failure(target);
      return -1;
    }

    if (rewrite_member_header(target, headerPos, headerLength, crc, unpacked, packed) != headerLength) return -1;
    if (inMemory && io_write(f, codec_memory_buffer(), packed) != packed) {
      if (!output_failed(target)) note_failure(target);
      return -1;
    }
    if (output_failed(target)) return -1;
    note_archive_member(e.time);
    toDo -= nextOffset - offset;
    offset = nextOffset;
    space->spaceLeft -= packed;
    if (space->spaceLeft < 0) space->spaceLeft = 0;
  }
  if (toDo > 0) {
    space->continuationLeft = toDo;
    space->continuationOffset = offset;
    space->unfinished = 1;
    return 0;
  }
  space->continuationLeft = 0;
  space->continuationOffset = 0;
  return 1;
}

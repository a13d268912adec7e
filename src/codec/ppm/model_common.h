// Pieces both context models share: the member loops that feed bytes to the
// model and pass decoded bytes on, the block-mode carry-over of the model,
// and the recency list and hash chains of context slots.
#pragma once

#include <cstdint>

#include "codec/common/transfer.h"
#include "codec/ppm/arith.h"
#include "codec/ppm/exclusions.h"
#include "platform/iofile.h"

// Members packed and unpacked in a row: in block mode the model carries on
// from one member to the next of the same direction.
struct ModelRuns {
  int packed;
  int unpacked;
};

// Counts a member of one direction; answers whether it starts a fresh model.
inline bool model_starts_fresh(int& runs, int& otherRuns, bool blockMode) {
  const bool fresh = !blockMode || runs == 0;
  runs++;
  otherRuns = 0;
  return fresh;
}

// Codes the bytes of the member reader (up to size) and the end symbol after
// the header byte; answers the bytes delivered. encodeSymbol(coder, symbol).
template <int Piece, typename EncodeSymbol>
uint32_t pack_stream(int64_t size, IoFile* archive, uint8_t header, EncodeSymbol encodeSymbol) {
  transfer.inputRemaining = size;
  io_put_byte(archive, header);
  ArithEncoder e;
  arith_start_encoder(e, archive);
  unsigned char piece[Piece];
  uint32_t delivered = 0;
  for (;;) {
    const int got = read_member_input(piece, Piece);
    if (got <= 0) break;
    for (int i = 0; i < got; i++) encodeSymbol(e, piece[i]);
    delivered += static_cast<uint32_t>(got);
    if (archive->flags & IO_WRITE_ERROR) break;  // the caller reports it
  }
  encodeSymbol(e, PPM_END_SYMBOL);
  arith_flush(e);
  return delivered;
}

// Decodes symbols after the header byte until the end symbol and passes the
// bytes on. An intact stream ends right after `size` bytes; a damaged one is
// cut there. decodeSymbol(decoder) answers a byte or PPM_END_SYMBOL.
template <int Piece, typename DecodeSymbol>
int unpack_stream(IoFile* input, uint32_t size, uint32_t packed, DecodeSymbol decodeSymbol) {
  if (packed == 0) return UNPACK_DONE;  // not even the header byte: nothing decodes
  io_get_byte(input);                   // the header byte says nothing
  ArithDecoder d;
  arith_start_decoder(d, input, packed - 1);
  unsigned char piece[Piece];
  int fill = 0;
  for (uint32_t produced = 0;; produced++) {
    const int symbol = decodeSymbol(d);
    if (symbol == PPM_END_SYMBOL || produced == size) break;
    piece[fill++] = static_cast<unsigned char>(symbol);
    if (fill == Piece) {
      transfer.checkUpdate(piece, fill);
      if (output_sink(piece, 0, fill) != 0) return UNPACK_WRITE_FAILED;
      fill = 0;
    }
  }
  transfer.checkUpdate(piece, fill);
  if (output_sink(piece, 0, fill) != 0) return UNPACK_WRITE_FAILED;
  return UNPACK_DONE;
}

// The recency list of context slots (fields older and newer, -1 at the ends).
struct Recency {
  int32_t head;  // most recently used slot
  int32_t tail;  // least recently used slot, reused next
};

template <typename Context>
void recency_start(Context* contexts, int32_t count, Recency& r) {
  for (int32_t s = 0; s < count; s++) {
    contexts[s].older = s + 1 < count ? s + 1 : -1;
    contexts[s].newer = s - 1;
  }
  r.head = 0;
  r.tail = count - 1;
}

template <typename Context>
void recency_move_to_head(Context* contexts, Recency& r, int32_t s) {
  if (s == r.head) return;
  Context& c = contexts[s];
  contexts[c.newer].older = c.older;
  if (c.older >= 0) contexts[c.older].newer = c.newer;
  else r.tail = c.newer;
  c.older = r.head;
  c.newer = -1;
  contexts[r.head].newer = s;
  r.head = s;
}

// Takes slot s out of its hash chain (field hashNext, chains in heads[bucket]).
template <typename Context>
void hash_unlink(Context* contexts, int32_t* heads, int32_t s) {
  int32_t* link = &heads[contexts[s].bucket];
  while (*link != s) link = &contexts[*link].hashNext;
  *link = contexts[s].hashNext;
}

template <typename Context>
void hash_insert(Context* contexts, int32_t* heads, int32_t s, uint32_t bucket) {
  contexts[s].bucket = bucket;
  contexts[s].hashNext = heads[bucket];
  heads[bucket] = s;
}

// The first slot of the highest order below *searchOrder whose key matches
// the current history's key of that order; *searchOrder becomes its order.
template <typename Context>
int32_t find_context(const Context* contexts, const int32_t* heads, const uint64_t* keys,
                     const uint32_t* buckets, int* searchOrder) {
  for (int k = *searchOrder - 1; k >= 0; k--) {
    for (int32_t s = heads[buckets[k]]; s >= 0; s = contexts[s].hashNext) {
      if (contexts[s].key == keys[k]) {
        *searchOrder = k;
        return s;
      }
    }
  }
  return -1;
}

// Search keys of the orders 0..maxOrder: the order in the low byte, then the
// order-many most recent bytes, the most recent first.
inline void history_keys(const uint8_t* history, int maxOrder, uint64_t* keys) {
  uint64_t key = 0;
  for (int k = 0; k <= maxOrder; k++) {
    keys[k] = key | static_cast<uint64_t>(k);
    if (k < maxOrder) key |= static_cast<uint64_t>(history[k]) << (8 * (k + 1));
  }
}

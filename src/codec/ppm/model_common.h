// Pieces both context models share: the member loops that feed bytes to the
// model and pass decoded bytes on, the block-mode carry-over of the model,
// and the recency list and hash chains of context slots.
#pragma once

#include <cstdint>

#include "codec/common/transfer.h"
#include "codec/ppm/arith.h"
#include "codec/ppm/exclusions.h"
#include "codec/ppm/symbol_lists.h"
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

// One symbol through a model: the contexts that exist for the current
// history are tried from the highest order down until one holds the symbol,
// the order below 0 takes it when all escaped, then the model learns it
// (the end symbol teaches nothing). Steps gives the model's parts as static
// functions: begin(), find(), code(coder, slot, symbol), decode(decoder,
// slot), found(slot), first_order_to_create(slot), top(), excluded() and
// learn(symbol, first, top).
template <typename Steps>
void encode_symbol_with(ArithEncoder& e, int symbol) {
  Steps::begin();
  int32_t s = Steps::find();
  const int first = Steps::first_order_to_create(s);
  const int top = Steps::top();
  bool found = false;
  for (; s >= 0; s = Steps::find()) {
    if (Steps::code(e, s, symbol)) {
      Steps::found(s);
      found = true;
      break;
    }
  }
  if (!found) encode_order_below(e, Steps::excluded(), symbol);
  if (symbol != PPM_END_SYMBOL) Steps::learn(symbol, first, top);
}

template <typename Steps>
int decode_symbol_with(ArithDecoder& d) {
  Steps::begin();
  int32_t s = Steps::find();
  const int first = Steps::first_order_to_create(s);
  const int top = Steps::top();
  int symbol = PPM_END_SYMBOL;
  for (; s >= 0; s = Steps::find()) {
    symbol = Steps::decode(d, s);
    if (symbol != PPM_END_SYMBOL) {
      Steps::found(s);
      break;
    }
  }
  if (symbol == PPM_END_SYMBOL) symbol = decode_order_below(d, Steps::excluded());
  if (symbol != PPM_END_SYMBOL) Steps::learn(symbol, first, top);
  return symbol;
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

// The contexts of a model by key: an open-addressed table of entries that
// hold the slot (16 bits) and a 15-bit fingerprint of its key, probed
// linearly from a context's home entry, which its record keeps (field
// `home`). A slot is visited only when the fingerprint matches, and then
// it is the context coded next.
using ContextEntry = uint32_t;
constexpr ContextEntry CONTEXT_TABLE_EMPTY = 0xFFFFFFFFu;  // no fingerprint has all 16 bits set

inline ContextEntry context_entry(uint64_t key, int32_t slot) {
  const uint32_t fingerprint = static_cast<uint32_t>((key * 0xC2B2AE3D27D4EB4Full) >> 49);
  return static_cast<uint32_t>(slot) | fingerprint << 16;
}

inline void context_table_clear(ContextEntry* table, uint32_t size) {
  for (uint32_t i = 0; i < size; i++) table[i] = CONTEXT_TABLE_EMPTY;
}

// The slot of the context with the key, or -1.
template <typename Context>
int32_t context_table_find(const ContextEntry* table, uint32_t mask, const Context* contexts, uint32_t home,
                           uint64_t key) {
  const uint32_t fingerprint = context_entry(key, 0) >> 16;
  for (uint32_t i = home;; i = (i + 1) & mask) {
    const ContextEntry entry = table[i];
    if (entry == CONTEXT_TABLE_EMPTY) return -1;
    const int32_t s = static_cast<int32_t>(entry & 0xFFFF);
    if ((entry >> 16) == fingerprint && contexts[s].key == key) return s;
  }
}

template <typename Context>
void context_table_insert(ContextEntry* table, uint32_t mask, Context* contexts, int32_t s, uint64_t key,
                          uint32_t home) {
  contexts[s].key = key;
  contexts[s].home = home;
  uint32_t i = home;
  while (table[i] != CONTEXT_TABLE_EMPTY) i = (i + 1) & mask;
  table[i] = context_entry(key, s);
}

// Where the table holds slot s (which it must).
inline uint32_t context_table_position(const ContextEntry* table, uint32_t mask, uint32_t home, int32_t s) {
  uint32_t i = home;
  while (table[i] == CONTEXT_TABLE_EMPTY || (table[i] & 0xFFFF) != static_cast<uint32_t>(s)) i = (i + 1) & mask;
  return i;
}

// Takes slot s out, moving later entries of the probe run back into the
// hole where their home allows, so that no search stops early.
template <typename Context>
void context_table_erase(ContextEntry* table, uint32_t mask, const Context* contexts, int32_t s) {
  uint32_t hole = context_table_position(table, mask, contexts[s].home, s);
  for (uint32_t j = (hole + 1) & mask; table[j] != CONTEXT_TABLE_EMPTY; j = (j + 1) & mask) {
    const uint32_t home = contexts[table[j] & 0xFFFF].home;
    if (((j - home) & mask) >= ((j - hole) & mask)) {
      table[hole] = table[j];
      hole = j;
    }
  }
  table[hole] = CONTEXT_TABLE_EMPTY;
}

// The slot of the highest order below *searchOrder whose key matches the
// current history's key of that order; *searchOrder becomes its order.
template <typename Context>
int32_t find_context(const ContextEntry* table, uint32_t mask, const Context* contexts, const uint64_t* keys,
                     const uint32_t* homes, int* searchOrder) {
  for (int k = *searchOrder - 1; k >= 0; k--) {
    const int32_t s = context_table_find(table, mask, contexts, homes[k], keys[k]);
    if (s >= 0) {
      *searchOrder = k;
      return s;
    }
  }
  return -1;
}

// Starts the context slots of a model afresh: all free (key freeKey, no
// symbol list), none in the context table, the recency list in slot order.
// Fresh slots are taken from the tail of that list, the highest first; as
// long as some were never taken (`untouched` of them, the lowest), only the
// slots above them and the links at their edge differ from a fresh start,
// and only those are reset, which keeps small members cheap. With untouched
// 0 everything is reset.
template <typename Context>
void slots_restart(Context* contexts, int32_t count, int32_t untouched, Recency& r, ContextEntry* table,
                   uint32_t tableSize, uint64_t freeKey) {
  int32_t from = untouched;
  if (untouched == 0) {
    context_table_clear(table, tableSize);
  } else {
    for (int32_t s = untouched; s < count; s++) {
      table[context_table_position(table, tableSize - 1, contexts[s].home, s)] = CONTEXT_TABLE_EMPTY;
    }
    from = untouched - 1;
    contexts[0].newer = -1;
  }
  for (int32_t s = from; s < count; s++) {
    contexts[s].key = freeKey;
    contexts[s].block = NO_BLOCK;
    contexts[s].length = 0;
    contexts[s].older = s + 1 < count ? s + 1 : -1;
    contexts[s].newer = s - 1;
  }
  r.head = 0;
  r.tail = count - 1;
}

// A home entry of a context key in a table of 2^bits entries.
inline uint32_t key_home(uint64_t key, int bits) {
  return static_cast<uint32_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
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

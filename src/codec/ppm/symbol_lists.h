// The symbols of the contexts of a model: each context's symbols and their
// counts lie together in one block of an arena, in the order they were
// added, so that coding reads them in a straight line. A block holds 1, 2,
// 4, ... 256 entries; a list that outgrows its block moves to one twice as
// large, one that shrinks to a quarter of its block moves to a smaller one,
// and when the arena has no room left the lists are packed together. How
// many symbols the model may hold is counted apart from the arena (the
// models' node budgets), so the arena's layout never changes what is coded.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codec/ppm/exclusions.h"

constexpr int LIST_CLASSES = 9;            // blocks of 1 << 0 .. 1 << 8 entries
constexpr uint32_t NO_BLOCK = 0xFFFFFFFFu;

// A block: its first entry in the low 24 bits, its size class above them.
inline uint32_t block_offset(uint32_t block) { return block & 0xFFFFFF; }
inline int block_class(uint32_t block) { return static_cast<int>(block >> 24); }
inline uint32_t block_of(uint32_t offset, int sizeClass) {
  return offset | static_cast<uint32_t>(sizeClass) << 24;
}

// The smallest size class that holds n entries (n from 1 to 256).
inline int class_for(uint32_t n) { return n <= 1 ? 0 : 32 - __builtin_clz(n - 1); }

template <uint32_t Entries>
struct SymbolArena {
  static_assert(Entries < (1u << 24) - 1, "offsets have 24 bits, all ones ends a chain");
  uint8_t symbol[Entries];
  uint16_t count[Entries];
  // Free blocks of each class, chained through their first entry (count:
  // low 16 bits of the next offset, symbol: the high 8), END_OF_CHAIN last.
  uint32_t freeBlock[LIST_CLASSES];
  uint32_t top;  // entries never handed out start here
};

template <uint32_t Entries>
void arena_start(SymbolArena<Entries>& a) {
  for (uint32_t& f : a.freeBlock) f = NO_BLOCK;
  a.top = 0;
}

constexpr uint32_t END_OF_CHAIN = 0xFFFFFF;

template <uint32_t Entries>
void arena_give(SymbolArena<Entries>& a, uint32_t block) {
  const uint32_t at = block_offset(block);
  const uint32_t first = a.freeBlock[block_class(block)];
  const uint32_t next = first == NO_BLOCK ? END_OF_CHAIN : block_offset(first);
  a.count[at] = static_cast<uint16_t>(next);
  a.symbol[at] = static_cast<uint8_t>(next >> 16);
  a.freeBlock[block_class(block)] = block;
}

// A block of the class, or NO_BLOCK when the arena has no room for one.
template <uint32_t Entries>
uint32_t arena_take(SymbolArena<Entries>& a, int sizeClass) {
  const uint32_t block = a.freeBlock[sizeClass];
  if (block != NO_BLOCK) {
    const uint32_t at = block_offset(block);
    const uint32_t next = a.count[at] | static_cast<uint32_t>(a.symbol[at]) << 16;
    a.freeBlock[sizeClass] = next == END_OF_CHAIN ? NO_BLOCK : block_of(next, sizeClass);
    return block;
  }
  const uint32_t size = 1u << sizeClass;
  if (a.top + size > Entries) return NO_BLOCK;
  a.top += size;
  return block_of(a.top - size, sizeClass);
}

// The lists of the contexts of a model: every context record has `block`
// (NO_BLOCK when it holds no list) and `length`.
template <typename Context, uint32_t Entries>
struct SymbolLists {
  Context* contexts;
  int32_t slots;
  SymbolArena<Entries>* arena;
  int32_t* order;  // room for `slots` entries, used while packing
};

template <typename Context, uint32_t Entries>
void lists_pack(const SymbolLists<Context, Entries>& l) {
  static const Context* sorted;  // the contexts qsort's comparison reads
  sorted = l.contexts;
  int32_t n = 0;
  for (int32_t s = 0; s < l.slots; s++) {
    if (l.contexts[s].block != NO_BLOCK) l.order[n++] = s;
  }
  qsort(l.order, static_cast<size_t>(n), sizeof l.order[0], [](const void* a, const void* b) {
    const uint32_t x = block_offset(sorted[*static_cast<const int32_t*>(a)].block);
    const uint32_t y = block_offset(sorted[*static_cast<const int32_t*>(b)].block);
    return x < y ? -1 : x > y ? 1 : 0;
  });
  SymbolArena<Entries>& a = *l.arena;
  uint32_t top = 0;
  for (int32_t i = 0; i < n; i++) {
    Context& c = l.contexts[l.order[i]];
    const uint32_t from = block_offset(c.block);
    const int sizeClass = class_for(c.length);
    memmove(a.symbol + top, a.symbol + from, c.length);
    memmove(a.count + top, a.count + from, c.length * sizeof a.count[0]);
    c.block = block_of(top, sizeClass);
    top += 1u << sizeClass;
  }
  arena_start(a);
  a.top = top;
}

// A block of the class, packing the lists first when the arena is full.
// The arena is large enough that packed lists leave room for any block.
template <typename Context, uint32_t Entries>
uint32_t lists_take(const SymbolLists<Context, Entries>& l, int sizeClass) {
  uint32_t block = arena_take(*l.arena, sizeClass);
  if (block == NO_BLOCK) {
    lists_pack(l);
    block = arena_take(*l.arena, sizeClass);
  }
  return block;
}

// Gives slot s a list of one symbol with count 1.
template <typename Context, uint32_t Entries>
void list_start(const SymbolLists<Context, Entries>& l, int32_t s, int symbol) {
  Context& c = l.contexts[s];
  c.block = NO_BLOCK;  // not packed while its block is being taken
  c.length = 0;
  c.block = lists_take(l, 0);
  const uint32_t at = block_offset(c.block);
  l.arena->symbol[at] = static_cast<uint8_t>(symbol);
  l.arena->count[at] = 1;
  c.length = 1;
}

template <typename Context, uint32_t Entries>
void list_release(const SymbolLists<Context, Entries>& l, int32_t s) {
  Context& c = l.contexts[s];
  if (c.block != NO_BLOCK) arena_give(*l.arena, c.block);
  c.block = NO_BLOCK;
  c.length = 0;
}

// Moves the list of slot s to a block of the class.
template <typename Context, uint32_t Entries>
void list_move(const SymbolLists<Context, Entries>& l, int32_t s, int sizeClass) {
  Context& c = l.contexts[s];
  const uint32_t block = lists_take(l, sizeClass);  // packing may move c.block
  SymbolArena<Entries>& a = *l.arena;
  const uint32_t from = block_offset(c.block);
  const uint32_t to = block_offset(block);
  memcpy(a.symbol + to, a.symbol + from, c.length);
  memcpy(a.count + to, a.count + from, c.length * sizeof a.count[0]);
  arena_give(a, c.block);
  c.block = block;
}

// Adds the symbol with count 1 at the end of the list of slot s.
template <typename Context, uint32_t Entries>
void list_append(const SymbolLists<Context, Entries>& l, int32_t s, int symbol) {
  Context& c = l.contexts[s];
  if (c.length == (1u << block_class(c.block))) list_move(l, s, block_class(c.block) + 1);
  const uint32_t at = block_offset(c.block) + c.length;
  l.arena->symbol[at] = static_cast<uint8_t>(symbol);
  l.arena->count[at] = 1;
  c.length++;
}

// After symbols were taken out: a list in a block four times its length
// moves to a smaller one, so that the blocks in use stay within four times
// the symbols held.
template <typename Context, uint32_t Entries>
void list_fit(const SymbolLists<Context, Entries>& l, int32_t s) {
  Context& c = l.contexts[s];
  if (4u * c.length <= (1u << block_class(c.block))) list_move(l, s, class_for(c.length));
}

// The entries of a context that take part in coding the current symbol when
// some of its symbols are excluded, gathered in one pass.
struct Candidates {
  uint16_t at[256];  // positions in the list
  int count;         // -1: nothing excluded, the whole list takes part
};

struct CandidateSums {
  uint32_t total;  // their counts
  uint32_t rare;   // those with a count below rareBelow
};

// Gathers the entries of a list whose symbols are not excluded.
inline CandidateSums gather_candidates(const uint8_t* symbol, const uint16_t* count, uint32_t length,
                                       const Exclusions& x, uint16_t rareBelow, Candidates& c) {
  CandidateSums sums{0, 0};
  c.count = 0;
  // Without branches on the flags, which follow no pattern.
  for (uint32_t i = 0; i < length; i++) {
    const uint32_t takes = x.flag[symbol[i]] ^ 1u;
    c.at[c.count] = static_cast<uint16_t>(i);
    c.count += static_cast<int>(takes);
    sums.total += count[i] * takes;
    sums.rare += (count[i] < rareBelow) & takes;
  }
  return sums;
}

// Where a walk over the coding entries stopped: the position taken (or -1)
// and the counts before it.
struct CodingStop {
  int at;
  uint32_t cum;
};

// Walks the entries that take part in coding (the candidates, or the whole
// list when there are none) until take(symbol, count) answers true. Symbols
// passed are excluded at once: after a find the exclusions are cleared
// before they are read again, after an escape they all are.
template <typename Take>
CodingStop walk_coding_entries(const uint8_t* symbol, const uint16_t* count, uint32_t length,
                               const Candidates& candidates, Exclusions& x, Take take) {
  CodingStop stop{-1, 0};
  const int n = candidates.count < 0 ? static_cast<int>(length) : candidates.count;
  for (int i = 0; i < n; i++) {
    const int at = candidates.count < 0 ? i : candidates.at[i];
    if (take(symbol[at], count[at])) {
      stop.at = at;
      return stop;
    }
    exclude(x, symbol[at]);
    stop.cum += count[at];
  }
  return stop;
}

// Method five's model: 65536 context slots of orders 0..4 found through a
// hash built from a table of pseudo-random numbers, each with its symbols in
// order, its total, its count of rare symbols and an adaptive counter, with
// room for 131072 symbols in all (each slot's first and 65536 more). The escape estimate of a context
// seen once follows a bias per order. Encoder and decoder run the same model
// steps; nothing read from a stream can move them outside the fixed tables.
#include "codec/ppm/five.h"

#include <cassert>
#include <cstring>

#include "codec/common/settings.h"
#include "codec/ppm/model_common.h"
#include "codec/ppm/symbol_lists.h"

namespace {

constexpr int CONTEXTS = 65536;
constexpr int EXTRA_SYMBOLS = 65536;  // symbols beyond each context's first
constexpr uint32_t ARENA = 3 * (CONTEXTS + EXTRA_SYMBOLS);
constexpr int HASH_SIZE = 65536;           // entries of the table of pseudo-random numbers
constexpr uint32_t TABLE_SIZE = 1u << 17;  // the context table: half full at most
constexpr int MAX_ORDER = 4;
constexpr int ORDER4_BUDGET = 16384;
constexpr uint8_t FREE_SLOT = 255;
constexpr uint32_t RESCALE_TOTAL = 8000;  // a context whose total reaches this is rescaled
constexpr uint16_t RARE_BELOW = 3;        // counts below this are rare
constexpr uint8_t TUNE_START = 4;
constexpr uint8_t BIAS_MAX = 32;
constexpr uint8_t BIAS_START[MAX_ORDER + 1] = {16, 15, 15, 15, 15};
constexpr uint8_t RUN_MAX = 10;
constexpr int PIECE = 4096;  // bytes read and passed on at a time
constexpr uint8_t HEADER_BYTE = 1;

struct Context {
  uint64_t key;     // order in the low byte (255: free), then the order-many preceding bytes (h0 first)
  int32_t older;    // recency list, towards the least recently used slot
  int32_t newer;    // recency list, towards the most recently used slot
  uint32_t home;    // its home entry in the context table
  uint32_t block;   // its symbols and counts in the arena
  uint16_t total;   // sum of the counts; below 8000 between updates
  uint16_t length;  // symbols
  uint8_t rare;     // symbols with a count below 3
  uint8_t tune;     // adaptive counter: a context whose finds keep falling short is rescaled
};

// A context visited for the current symbol: where the symbol was found, or
// that it escaped (the symbol is then added at the end).
struct Visit {
  int32_t context;
  bool escaped;
  int at;
};

struct FiveModel {
  Context context[CONTEXTS];
  SymbolArena<ARENA> arena;
  int32_t packOrder[CONTEXTS];  // scratch of the arena packing
  ContextEntry table[TABLE_SIZE];  // the contexts by key
  Recency recency;
  int32_t untouched;     // slots never taken since the start (the lowest ones); 0 before the first start
  int32_t freeSymbols;  // of the EXTRA_SYMBOLS, those not held by a context
  int32_t reclaimCursor;
  int32_t order4Budget;  // order-4 slots that may still be reused before order 4 stops growing
  int maxOrder;
  uint8_t bias[MAX_ORDER + 1];  // per order: leans the escape of contexts seen once
  uint8_t run;                  // symbols found in the first context tried, in a row
  uint8_t history[MAX_ORDER];   // the last bytes, most recent first
  Exclusions excluded;
  Visit visits[MAX_ORDER + 1];
  int visitCount;
  int searchOrder;
  uint64_t key[MAX_ORDER + 1];
  uint32_t home[MAX_ORDER + 1];
};

FiveModel model;
ModelRuns runs;

// Park-Miller minimal standard numbers (Schrage's method) starting from 10,
// kept mod 65536.
struct HashTable {
  uint16_t entry[HASH_SIZE];
  HashTable() {
    int64_t x = 10;
    for (auto& value : entry) {
      x = 16807 * (x % 127773) - 2836 * (x / 127773);
      if (x <= 0) x += 2147483647;
      value = static_cast<uint16_t>(x % 65536);
    }
  }
};

const HashTable& hash_table() {
  static const HashTable table;
  return table;
}

SymbolLists<Context, ARENA> lists() {
  return SymbolLists<Context, ARENA>{model.context, CONTEXTS, &model.arena, model.packOrder};
}

uint8_t* symbols_of(const Context& c) { return model.arena.symbol + block_offset(c.block); }
uint16_t* counts_of(const Context& c) { return model.arena.count + block_offset(c.block); }

void model_start() {
  FiveModel& m = model;
  m.maxOrder = MAX_ORDER;
  memcpy(m.bias, BIAS_START, sizeof m.bias);
  m.order4Budget = ORDER4_BUDGET;
  m.run = 0;
  m.reclaimCursor = 0;
  slots_restart(m.context, CONTEXTS, m.untouched, m.recency, m.table, TABLE_SIZE, FREE_SLOT);
  m.untouched = CONTEXTS;
  arena_start(m.arena);
  m.freeSymbols = EXTRA_SYMBOLS;
  memset(&m.excluded, 0, sizeof m.excluded);
  memset(m.history, 0, sizeof m.history);
  m.visitCount = 0;
}

void begin_symbol() {
  FiveModel& m = model;
  const uint16_t* t = hash_table().entry;
  history_keys(m.history, MAX_ORDER, m.key);
  // The hash of order k continues the one of order k - 1 through the table;
  // it picks one of the two halves of the context table by the order.
  uint32_t hash = 0;
  for (int k = 0; k <= MAX_ORDER; k++) {
    if (k > 0) hash = t[(m.history[k - 1] + hash) & 0xFFFF];
    m.home[k] = hash << 1 | (k & 1);
    __builtin_prefetch(&m.table[m.home[k]]);
  }
  if (m.excluded.count != 0) exclusions_clear(m.excluded);
  m.searchOrder = MAX_ORDER + 1;
  m.visitCount = 0;
}

int32_t five_find_context() {
  FiveModel& m = model;
  return find_context(m.table, TABLE_SIZE - 1, m.context, m.key, m.home, &m.searchOrder);
}

inline int order_of(int32_t s) { return static_cast<int>(model.context[s].key & 0xFF); }

uint32_t five_escape_count(uint32_t rare, int32_t s) {
  const Context& c = model.context[s];
  if (c.total == 1) return model.bias[order_of(s)] < 16 ? 1 : 2;
  const uint32_t kinds = c.length;
  uint32_t e;
  if (kinds == 256) e = 1;
  else if (kinds == 1) e = rare;
  else if (2 * kinds < c.total) e = rare;
  else e = rare * kinds * 2 / c.total + (kinds == c.total ? kinds / 2 : 0);
  return e == 0 ? 1 : e;
}

// A context seen once leans the bias of its order: towards fewer escapes
// after a find, towards more after an escape.
void adjust_bias(int32_t s, bool found) {
  if (model.context[s].total != 1) return;
  uint8_t& bias = model.bias[order_of(s)];
  if (found && bias > 0) bias--;
  if (!found && bias < BIAS_MAX) bias++;
}

// The scale of the first context tried after a run of finds. The context
// total stays below 8000, so the scaled total plus the escape count (at
// most 256 when the total is large) stays below the coder's limit.
uint32_t run_scale(uint32_t total) {
  if (model.run < 5) return 1;
  return total <= 4 && model.run == RUN_MAX ? 4 : 2;
}

// A find adds to the run; an escape ends it where it is the first context
// tried (in a later one the run is 0 already).
void visited(int32_t s, int at) {
  FiveModel& m = model;
  const bool found = at >= 0;
  if (!found) m.run = 0;
  else if (m.run < RUN_MAX) m.run++;
  adjust_bias(s, found);
  m.visits[m.visitCount++] = Visit{s, !found, at};
}

// How a context is coded: the first context tried takes all its symbols
// (its total is kept) and may be scaled by a run of finds; a later one only
// those not excluded, unscaled.
struct Coding {
  uint32_t total;  // counts taking part
  uint32_t escape;
  uint32_t scale;
  uint32_t codingTotal;  // scaled total plus the escape count
};

Coding prepare(int32_t s, Candidates& candidates) {
  const FiveModel& m = model;
  const Context& c = m.context[s];
  Coding coding;
  candidates.count = -1;
  if (m.excluded.count == 0) {
    coding = Coding{c.total, five_escape_count(c.rare, s), run_scale(c.total), 0};
  } else {
    const CandidateSums sums =
        gather_candidates(symbols_of(c), counts_of(c), c.length, m.excluded, RARE_BELOW, candidates);
    coding = Coding{sums.total, five_escape_count(sums.rare, s), 1, 0};
  }
  coding.codingTotal = coding.total * coding.scale + coding.escape;
  assert(coding.codingTotal < ARITH_TOTAL_LIMIT);
  return coding;
}

bool five_code_in_context(ArithEncoder& e, int32_t s, int symbol) {
  FiveModel& m = model;
  Candidates candidates;
  const Coding c = prepare(s, candidates);
  const Context& context = m.context[s];
  const uint16_t* count = counts_of(context);
  const CodingStop stop = walk_coding_entries(symbols_of(context), count, context.length, candidates, m.excluded,
                                              [symbol](int x, uint32_t) { return x == symbol; });
  if (stop.at >= 0) {
    arith_encode(e, stop.cum * c.scale, (stop.cum + count[stop.at]) * c.scale, c.codingTotal);
  } else {
    arith_encode(e, c.total * c.scale, c.codingTotal, c.codingTotal);
  }
  visited(s, stop.at);
  return stop.at >= 0;
}

int five_decode_in_context(ArithDecoder& d, int32_t s) {
  FiveModel& m = model;
  Candidates candidates;
  const Coding c = prepare(s, candidates);
  const uint32_t target = arith_target(d, c.codingTotal);
  const Context& context = m.context[s];
  const uint8_t* symbol = symbols_of(context);
  const uint16_t* count = counts_of(context);
  uint32_t cum = 0;
  const CodingStop stop =
      walk_coding_entries(symbol, count, context.length, candidates, m.excluded, [&](int, uint32_t n) {
        cum += n;
        return cum * c.scale > target;
      });
  int result = PPM_END_SYMBOL;
  if (stop.at >= 0) {
    arith_decode_update(d, stop.cum * c.scale, (stop.cum + count[stop.at]) * c.scale, c.codingTotal);
    result = symbol[stop.at];
  } else {
    arith_decode_update(d, c.total * c.scale, c.codingTotal, c.codingTotal);
  }
  visited(s, stop.at);
  return result;
}

bool named_by_visit(int32_t s) {
  for (int i = 0; i < model.visitCount; i++) {
    if (model.visits[i].context == s) return true;
  }
  return false;
}

// Sets the context's total and rare count from its counts.
void recount(Context& c) {
  const uint16_t* count = counts_of(c);
  uint32_t total = 0;
  uint32_t rare = 0;
  for (uint32_t i = 0; i < c.length; i++) {
    total += count[i];
    rare += count[i] < RARE_BELOW;
  }
  c.total = static_cast<uint16_t>(total);
  c.rare = static_cast<uint8_t>(rare);
}

// Frees symbols of the next context in slot order that has two or more and
// is not visited for the current symbol: those of the smallest count go,
// the others are divided by that count + 1. When the first symbol goes,
// the first one that stays (or the last) takes its place; if that was the
// last, its count stays as it is.
void five_reclaim() {
  FiveModel& m = model;
  // All extra symbols are held and the visited contexts hold at most
  // 5 x 255 of them, so some other context has two or more.
  do {
    m.reclaimCursor = (m.reclaimCursor + 1) % CONTEXTS;
  } while (m.context[m.reclaimCursor].length < 2 || named_by_visit(m.reclaimCursor));
  const int32_t s = m.reclaimCursor;
  Context& c = m.context[s];
  uint8_t* symbol = symbols_of(c);
  uint16_t* count = counts_of(c);
  uint32_t least = count[0];
  for (uint32_t i = 1; i < c.length; i++) {
    if (count[i] < least) least = count[i];
  }
  const uint32_t divisor = least + 1;
  uint32_t first = 0;
  if (count[0] < divisor) {
    while (count[first] < divisor && first + 1 < c.length) first++;
  }
  const bool lastMovedUp = first == c.length - 1u && first > 0;
  uint32_t kept = 0;
  for (uint32_t i = first; i < c.length; i++) {
    if (i > first && count[i] < divisor) continue;
    symbol[kept] = symbol[i];
    count[kept] = lastMovedUp ? count[i] : static_cast<uint16_t>(count[i] / divisor);
    kept++;
  }
  m.freeSymbols += static_cast<int32_t>(c.length - kept);
  c.length = static_cast<uint16_t>(kept);
  recount(c);
  list_fit(lists(), s);
}

// Halves the counts above 1 and sets the statistics anew.
void rescale(Context& c) {
  uint16_t* count = counts_of(c);
  for (uint32_t i = 0; i < c.length; i++) {
    if (count[i] > 1) count[i] >>= 1;
  }
  recount(c);
}

// Adds the symbol to the contexts that escaped, counts it where it was
// found, and keeps each visited context's statistics.
void five_update(int symbol) {
  FiveModel& m = model;
  for (int i = m.visitCount - 1; i >= 0; i--) {
    const Visit& v = m.visits[i];
    Context& c = m.context[v.context];
    int at = v.at;
    if (v.escaped) {
      if (m.freeSymbols == 0) five_reclaim();
      m.freeSymbols--;
      list_append(lists(), v.context, symbol);
      at = c.length - 1;
      c.rare++;
    } else if (++counts_of(c)[at] == RARE_BELOW) {
      c.rare--;
    }
    c.total++;
    const uint32_t average = c.total / c.length;
    if (2u * counts_of(c)[at] < average) c.tune--;
    else if (c.tune < TUNE_START) c.tune++;
    if (c.tune == 0 || c.total >= RESCALE_TOTAL) {
      c.tune++;
      rescale(c);
    }
  }
}

void move_to_head(int32_t s) { recency_move_to_head(model.context, model.recency, s); }

void five_create_context(int order, int symbol) {
  FiveModel& m = model;
  const int32_t s = m.recency.tail;
  move_to_head(s);
  Context& c = m.context[s];
  if (order_of(s) != FREE_SLOT) {
    if (order_of(s) == MAX_ORDER && --m.order4Budget == 0) m.maxOrder = MAX_ORDER - 1;
    context_table_erase(m.table, TABLE_SIZE - 1, m.context, s);
    m.freeSymbols += c.length - 1;
    list_release(lists(), s);
  } else {
    m.untouched--;
  }
  context_table_insert(m.table, TABLE_SIZE - 1, m.context, s, m.key[order], m.home[order]);
  list_start(lists(), s, symbol);
  c.total = 1;
  c.rare = 1;
  c.tune = TUNE_START;
}

void learn(int symbol, int first, int top) {
  FiveModel& m = model;
  five_update(symbol);
  while (top > first) five_create_context(--top, symbol);
  memmove(m.history + 1, m.history, MAX_ORDER - 1);
  m.history[0] = static_cast<uint8_t>(symbol);
}

// The model's parts as one symbol is coded.
struct Steps {
  static void begin() { begin_symbol(); }
  static int32_t find() { return five_find_context(); }
  static bool code(ArithEncoder& e, int32_t s, int symbol) { return five_code_in_context(e, s, symbol); }
  static int decode(ArithDecoder& d, int32_t s) { return five_decode_in_context(d, s); }
  static void found(int32_t s) { move_to_head(s); }
  static int first_order_to_create(int32_t s) { return s < 0 ? 0 : order_of(s) + 1; }
  static int top() { return model.maxOrder + 1; }
  static Exclusions& excluded() { return model.excluded; }
  static void learn(int symbol, int first, int top) { ::learn(symbol, first, top); }
};

}  // namespace

uint32_t five_pack(int64_t size, int /*memoryMode*/, IoFile* archive) {
  if (model_starts_fresh(runs.packed, runs.unpacked, codecSettings.blockMode != 0)) model_start();
  return pack_stream<PIECE>(size, archive, HEADER_BYTE, encode_symbol_with<Steps>);
}

int five_unpack(IoFile* input, uint32_t size, uint32_t packed, bool blockMode) {
  if (model_starts_fresh(runs.unpacked, runs.packed, blockMode)) model_start();
  return unpack_stream<PIECE>(input, size, packed, decode_symbol_with<Steps>);
}

void five_forget_model() { runs = ModelRuns{0, 0}; }

uint16_t five_hash_entry(int i) { return hash_table().entry[i & (HASH_SIZE - 1)]; }

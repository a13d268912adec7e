// The high method's model: 11264 context slots of orders 0..5 found through
// a hash of their keys, each holding its symbols in order, with room for
// 22528 symbols in all (each slot's first and 11264 more), kept in a
// recency list so that the least recently used slot is the one reused.
// Encoder and decoder run the same model steps; nothing read from a stream
// can move them outside the fixed tables, and decoding ends after the
// member's size even when the end symbol never comes.
#include "codec/ppm/high.h"

#include <cstring>

#include "codec/common/settings.h"
#include "codec/ppm/model_common.h"
#include "codec/ppm/symbol_lists.h"

namespace {

constexpr int CONTEXTS = 11264;
constexpr int EXTRA_SYMBOLS = 11264;  // symbols beyond each context's first
constexpr uint32_t ARENA = 3 * (CONTEXTS + EXTRA_SYMBOLS);
constexpr int TABLE_BITS = 15;  // a third full at most
constexpr uint32_t TABLE_SIZE = 1u << TABLE_BITS;
constexpr int MAX_ORDER = 5;
constexpr int ORDER5_BUDGET = CONTEXTS / 4;
constexpr uint8_t FREE_SLOT = 255;
constexpr uint32_t HALVING_TOTAL = 4096;  // a context coded with more than this is halved
constexpr uint16_t RARE_BELOW = 4;
constexpr int PIECE = 1024;               // bytes read and passed on at a time
constexpr uint8_t HEADER_BYTE = 5;

struct Context {
  uint64_t key;    // order in the low byte (255: free), then the order-many preceding bytes (h0 first)
  int32_t older;   // recency list, towards the least recently used slot
  int32_t newer;   // recency list, towards the most recently used slot
  uint32_t home;   // its home entry in the context table
  uint32_t block;  // its symbols and counts in the arena; counts stay below 4098
  uint32_t sum;    // all counts, kept so that a visit with nothing excluded needs no pass
  uint16_t length; // symbols
  uint16_t rare;   // symbols with a count below 4
};

// A context visited for the current symbol: where the symbol was found, or
// that it escaped (the symbol is then added at the end).
struct Visit {
  int32_t context;
  bool escaped;
  int at;
};

struct PpmModel {
  Context context[CONTEXTS];
  SymbolArena<ARENA> arena;
  int32_t packOrder[CONTEXTS];  // scratch of the arena packing
  ContextEntry table[TABLE_SIZE];  // the contexts by key
  Recency recency;
  int32_t untouched;     // slots never taken since the start (the lowest ones); 0 before the first start
  int32_t freeSymbols;   // of the EXTRA_SYMBOLS, those not held by a context
  int32_t reclaimCursor;
  int32_t order5Budget;  // order-5 slots that may still be reused before order 5 stops growing
  int maxOrder;
  uint32_t run;                // symbols found in a row without an escape
  uint8_t history[MAX_ORDER];  // the last bytes, most recent first
  Exclusions excluded;
  Visit visits[MAX_ORDER + 1];
  int visitCount;
  int searchOrder;
  // Search keys and home entries of the current history, by order.
  uint64_t key[MAX_ORDER + 1];
  uint32_t home[MAX_ORDER + 1];
};

PpmModel model;
ModelRuns runs;

SymbolLists<Context, ARENA> lists() {
  return SymbolLists<Context, ARENA>{model.context, CONTEXTS, &model.arena, model.packOrder};
}

uint8_t* symbols_of(const Context& c) { return model.arena.symbol + block_offset(c.block); }
uint16_t* counts_of(const Context& c) { return model.arena.count + block_offset(c.block); }

void model_start() {
  PpmModel& m = model;
  m.order5Budget = ORDER5_BUDGET;
  m.maxOrder = MAX_ORDER;
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

// Starts coding one symbol: the keys of the current history, nothing
// excluded, no context visited. A context is looked up by a hash of its
// whole key (which context is found does not depend on the hash, and this
// one spreads the low orders over the table).
void begin_symbol() {
  PpmModel& m = model;
  history_keys(m.history, MAX_ORDER, m.key);
  for (int k = 0; k <= MAX_ORDER; k++) {
    m.home[k] = key_home(m.key[k], TABLE_BITS);
    __builtin_prefetch(&m.table[m.home[k]]);
  }
  if (m.excluded.count != 0) exclusions_clear(m.excluded);
  m.searchOrder = MAX_ORDER + 1;
  m.visitCount = 0;
}

// The existing context of the highest order below the last one found.
int32_t ppm_find_context() {
  PpmModel& m = model;
  return find_context(m.table, TABLE_SIZE - 1, m.context, m.key, m.home, &m.searchOrder);
}

inline int order_of(int32_t slot) { return static_cast<int>(model.context[slot].key & 0xFF); }

void move_to_head(int32_t s) { recency_move_to_head(model.context, model.recency, s); }

// Sets the context's sum and rare count from its counts.
void recount(Context& c) {
  const uint16_t* count = counts_of(c);
  c.sum = 0;
  c.rare = 0;
  for (uint32_t i = 0; i < c.length; i++) {
    c.sum += count[i];
    c.rare += count[i] < RARE_BELOW;
  }
}

// Halves every count above 1 in the context.
void halve_counts(int32_t s) {
  Context& c = model.context[s];
  uint16_t* count = counts_of(c);
  for (uint32_t i = 0; i < c.length; i++) {
    if (count[i] > 1) count[i] >>= 1;
  }
  recount(c);
}

// A context as coded for the current symbol: n counts every symbol, the
// rest only the symbols not excluded.
struct Tally {
  uint32_t n;
  uint32_t fullSum;  // all counts, excluded ones too
  uint32_t total;    // counts of the symbols not excluded
  uint32_t rare;     // symbols not excluded with a count below 4
};

uint32_t escape_count(const Tally& t) {
  uint32_t e;
  if (t.fullSum == 1) e = 1;
  else if (t.n <= 1) e = t.rare;
  else if (t.n >= 256) e = 1;
  else if (2 * t.n < t.fullSum) e = t.rare;
  else e = t.rare * t.n * 2 / t.fullSum + (t.fullSum == t.n ? t.n / 4 : 0);
  return e == 0 ? 1 : e;
}

// The statistics of a context under the current exclusions; with
// exclusions its symbols not excluded are gathered.
Tally tally(int32_t s, Candidates& candidates) {
  const PpmModel& m = model;
  const Context& c = m.context[s];
  Tally t{c.length, c.sum, c.sum, c.rare};
  candidates.count = -1;
  if (m.excluded.count == 0) return t;
  const CandidateSums sums =
      gather_candidates(symbols_of(c), counts_of(c), c.length, m.excluded, RARE_BELOW, candidates);
  t.total = sums.total;
  t.rare = sums.rare;
  return t;
}

// The coding of one context: its statistics, the escape count and the
// scale that a run of finds gives. A context whose scaled total would reach
// the coder's limit is halved first (ordinary data never get there, but
// counts that grew while others were excluded can add up past it).
struct Coding {
  Tally tally;
  uint32_t escape;
  uint32_t scale;
  uint32_t codingTotal;  // scaled total plus the escape count
};

Coding prepare(int32_t s, Candidates& candidates) {
  for (;;) {
    Coding c;
    c.tally = tally(s, candidates);
    c.escape = escape_count(c.tally);
    c.scale = model.run >= 4 ? (c.tally.total <= 6 ? 4 : 2) : 1;
    c.codingTotal = c.tally.total * c.scale + c.escape;
    if (c.codingTotal < ARITH_TOTAL_LIMIT) return c;
    halve_counts(s);
  }
}

void record_visit(int32_t s, bool escaped, int at) {
  model.visits[model.visitCount++] = Visit{s, escaped, at};
}

// Codes `symbol` in context s, or its escape; answers whether it was found.
bool ppm_code_in_context(ArithEncoder& e, int32_t s, int symbol) {
  PpmModel& m = model;
  Candidates candidates;
  const Coding c = prepare(s, candidates);
  const Context& context = m.context[s];
  const uint16_t* count = counts_of(context);
  const CodingStop stop = walk_coding_entries(symbols_of(context), count, context.length, candidates, m.excluded,
                                              [symbol](int x, uint32_t) { return x == symbol; });
  if (stop.at >= 0) {
    arith_encode(e, stop.cum * c.scale, (stop.cum + count[stop.at]) * c.scale, c.codingTotal);
    m.run += 1;
  } else {
    const uint32_t scaled = c.tally.total * c.scale;
    arith_encode(e, scaled, scaled + c.escape, c.codingTotal);
    m.run = 0;
  }
  record_visit(s, stop.at < 0, stop.at);
  if (c.tally.total > HALVING_TOTAL) halve_counts(s);
  return stop.at >= 0;
}

// Decodes a symbol in context s; answers it, or PPM_END_SYMBOL for an escape.
int ppm_decode_in_context(ArithDecoder& d, int32_t s) {
  PpmModel& m = model;
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
    m.run += 1;
    result = symbol[stop.at];
  } else {
    const uint32_t scaled = c.tally.total * c.scale;
    arith_decode_update(d, scaled, scaled + c.escape, c.codingTotal);
    m.run = 0;
  }
  record_visit(s, stop.at < 0, stop.at);
  if (c.tally.total > HALVING_TOTAL) halve_counts(s);
  return result;
}

bool named_by_visit(int32_t s) {
  for (int i = 0; i < model.visitCount; i++) {
    if (model.visits[i].context == s) return true;
  }
  return false;
}

// Frees symbols of the next context in slot order that has two or more and
// is not visited for the current symbol: those of the smallest count go,
// the others are divided by that count + 1, walking from the first while
// two or more are left.
void ppm_reclaim_nodes() {
  PpmModel& m = model;
  // All extra symbols are held and the visited contexts hold at most
  // 6 x 255 of them, so some other context has two or more.
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
  uint32_t left = c.length;
  uint32_t kept = 0;
  for (uint32_t i = 0; i < c.length; i++) {
    if (left >= 2 && count[i] == least) {
      left--;
      continue;
    }
    symbol[kept] = symbol[i];
    count[kept] = left >= 2 ? static_cast<uint16_t>(count[i] / (least + 1)) : count[i];
    kept++;
  }
  m.freeSymbols += static_cast<int32_t>(c.length - kept);
  c.length = static_cast<uint16_t>(kept);
  recount(c);
  list_fit(lists(), s);
}

// Adds the symbol to the contexts that escaped and counts it where it was found.
void update_contexts(int symbol) {
  PpmModel& m = model;
  for (int i = m.visitCount - 1; i >= 0; i--) {
    const Visit& v = m.visits[i];
    Context& c = m.context[v.context];
    c.sum += 1;
    if (!v.escaped) {
      if (++counts_of(c)[v.at] == RARE_BELOW) c.rare--;
      continue;
    }
    if (m.freeSymbols == 0) ppm_reclaim_nodes();
    m.freeSymbols--;
    list_append(lists(), v.context, symbol);
    c.rare++;
  }
}

void ppm_remove_context(int32_t s) {
  PpmModel& m = model;
  if (order_of(s) == MAX_ORDER && --m.order5Budget == 0) m.maxOrder = MAX_ORDER - 1;
  context_table_erase(m.table, TABLE_SIZE - 1, m.context, s);
  m.freeSymbols += m.context[s].length - 1;
  list_release(lists(), s);
}

// Reuses the least recently used slot for the context of `order` over the
// current history, holding the symbol once.
void ppm_create_context(int order, int symbol) {
  PpmModel& m = model;
  const int32_t s = m.recency.tail;
  move_to_head(s);
  if (order_of(s) != FREE_SLOT) ppm_remove_context(s);
  else m.untouched--;
  Context& c = m.context[s];
  context_table_insert(m.table, TABLE_SIZE - 1, m.context, s, m.key[order], m.home[order]);
  list_start(lists(), s, symbol);
  c.sum = 1;
  c.rare = 1;
}

// The model steps after a byte was coded: counts, new contexts above the
// highest one that existed, and the history.
void learn(int symbol, int first, int top) {
  PpmModel& m = model;
  update_contexts(symbol);
  for (int k = top - 1; k >= first; k--) ppm_create_context(k, symbol);
  memmove(m.history + 1, m.history, MAX_ORDER - 1);
  m.history[0] = static_cast<uint8_t>(symbol);
}

// The model's parts as one symbol is coded.
struct Steps {
  static void begin() { begin_symbol(); }
  static int32_t find() { return ppm_find_context(); }
  static bool code(ArithEncoder& e, int32_t s, int symbol) { return ppm_code_in_context(e, s, symbol); }
  static int decode(ArithDecoder& d, int32_t s) { return ppm_decode_in_context(d, s); }
  static void found(int32_t s) { move_to_head(s); }
  static int first_order_to_create(int32_t s) { return s < 0 ? 0 : order_of(s) + 1; }
  static int top() { return model.maxOrder + 1; }
  static Exclusions& excluded() { return model.excluded; }
  static void learn(int symbol, int first, int top) { ::learn(symbol, first, top); }
};

}  // namespace

uint32_t ppm_pack(int64_t size, int /*memoryMode*/, IoFile* archive) {
  if (model_starts_fresh(runs.packed, runs.unpacked, codecSettings.blockMode != 0)) model_start();
  return pack_stream<PIECE>(size, archive, HEADER_BYTE, encode_symbol_with<Steps>);
}

int ppm_unpack(IoFile* input, uint32_t size, uint32_t packed, bool blockMode) {
  if (model_starts_fresh(runs.unpacked, runs.packed, blockMode)) model_start();
  return unpack_stream<PIECE>(input, size, packed, decode_symbol_with<Steps>);
}

void ppm_forget_model() { runs = ModelRuns{0, 0}; }

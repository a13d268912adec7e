// Method five's model: 65536 context slots of orders 0..4 found through a
// hash built from a table of pseudo-random numbers, each with its total, its
// count of rare symbols, its number of symbols and an adaptive counter, and
// a shared pool of 131072 symbol nodes. The escape estimate of a context
// seen once follows a bias per order. Encoder and decoder run the same model
// steps; nothing read from a stream can move them outside the fixed tables.
#include "codec/ppm/five.h"

#include <cassert>
#include <cstring>

#include "codec/common/settings.h"
#include "codec/ppm/model_common.h"

namespace {

constexpr int CONTEXTS = 65536;
constexpr int NODES = 131072;
constexpr int HASH_SIZE = 65536;       // entries of the table of pseudo-random numbers
constexpr uint32_t TABLE_SIZE = 1u << 17;  // the context table: half full at most
constexpr int MAX_ORDER = 4;
constexpr int ORDER4_BUDGET = 16384;
constexpr uint8_t FREE_SLOT = 255;
constexpr uint32_t RESCALE_TOTAL = 8000;  // a context whose total reaches this is rescaled
constexpr uint8_t RARE_BELOW = 3;         // counts below this are rare
constexpr uint8_t TUNE_START = 4;
constexpr uint8_t BIAS_MAX = 32;
constexpr uint8_t BIAS_START[MAX_ORDER + 1] = {16, 15, 15, 15, 15};
constexpr uint8_t RUN_MAX = 10;
constexpr int PIECE = 4096;  // bytes read and passed on at a time
constexpr uint8_t HEADER_BYTE = 1;

struct Context {
  uint64_t key;      // order in the low byte, then the order-many preceding bytes (h0 first)
  int32_t older;     // recency list, towards the least recently used slot
  int32_t newer;     // recency list, towards the most recently used slot
  uint32_t home;     // its home entry in the context table
  uint32_t total;    // sum of the counts; below 8000 between updates
  uint8_t rare;      // symbols with a count below 3
  uint8_t distinct;  // symbols minus 1
  uint8_t tune;      // adaptive counter: a context whose finds keep falling short is rescaled
};

// Counts stay below 8000, the most a context's total reaches.
using Node = SymbolNode;

struct Visit {
  int32_t context;
  bool escaped;
  int32_t node;  // the symbol's node where found, else the context's last node
};

struct FiveModel {
  Context context[CONTEXTS];
  Node node[NODES];  // node k < CONTEXTS is the first node of slot k
  uint64_t table[TABLE_SIZE];  // the contexts by key
  Recency recency;
  int32_t freeHead;  // free symbol nodes, chained through next
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

// Park-Miller minimal standard numbers (Schrage's method) from the seed 10,
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

void model_start() {
  FiveModel& m = model;
  context_table_clear(m.table, TABLE_SIZE);
  m.maxOrder = MAX_ORDER;
  for (int32_t s = 0; s < CONTEXTS; s++) {
    m.context[s].key = FREE_SLOT;
    m.node[s] = Node{-1, 0, 0};
  }
  memcpy(m.bias, BIAS_START, sizeof m.bias);
  m.order4Budget = ORDER4_BUDGET;
  m.run = 0;
  m.reclaimCursor = 0;
  recency_start(m.context, CONTEXTS, m.recency);
  for (int32_t n = CONTEXTS; n < NODES; n++) m.node[n] = Node{n + 1 < NODES ? n + 1 : -1, 0, 0};
  m.freeHead = CONTEXTS;
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
  exclusions_clear(m.excluded);
  m.searchOrder = MAX_ORDER + 1;
  m.visitCount = 0;
}

int32_t five_find_context() {
  FiveModel& m = model;
  return find_context(m.table, TABLE_SIZE - 1, m.key, m.home, &m.searchOrder);
}

inline int order_of(int32_t s) { return static_cast<int>(model.context[s].key & 0xFF); }

uint32_t five_escape_count(uint32_t rare, int32_t s) {
  const Context& c = model.context[s];
  if (c.total == 1) return model.bias[order_of(s)] < 16 ? 1 : 2;
  const uint32_t kinds = c.distinct + 1u;
  uint32_t e;
  if (c.distinct == 255) e = 1;
  else if (c.distinct == 0) e = rare;
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

void record_visit(int32_t s, bool escaped, int32_t node) {
  model.visits[model.visitCount++] = Visit{s, escaped, node};
}

// The scale of the first context tried after a run of finds. The context
// total stays below 8000, so the scaled total plus the escape count (at
// most 256 when the total is large) stays below the coder's limit.
uint32_t run_scale(uint32_t total) {
  if (model.run < 5) return 1;
  return total <= 4 && model.run == RUN_MAX ? 4 : 2;
}

void found_in(int32_t s, int32_t node) {
  if (model.run < RUN_MAX) model.run++;
  adjust_bias(s, true);
  record_visit(s, false, node);
}

// An escape ends the run where it is the first context tried (in a later
// one the run is 0 already).
void escaped_in(int32_t s, int32_t last) {
  model.run = 0;
  adjust_bias(s, false);
  record_visit(s, true, last);
}

// How a context is coded: the first context tried takes all its symbols
// (its total is kept) and may be scaled by a run of finds; a later one only
// those not excluded, unscaled.
struct Coding {
  const Candidates* candidates;  // null: the whole chain
  uint32_t total;                // counts taking part
  uint32_t escape;
  uint32_t scale;
  uint32_t codingTotal;  // scaled total plus the escape count
};

Coding prepare(int32_t s, Candidates& candidates) {
  const FiveModel& m = model;
  const Context& c = m.context[s];
  Coding coding;
  if (m.excluded.count == 0) {
    coding = Coding{nullptr, c.total, five_escape_count(c.rare, s), run_scale(c.total), 0};
  } else {
    const CandidateSums sums = gather_candidates(m.node, s, m.excluded, RARE_BELOW, candidates);
    coding = Coding{&candidates, sums.total, five_escape_count(sums.rare, s), 1, 0};
  }
  coding.codingTotal = coding.total * coding.scale + coding.escape;
  assert(coding.codingTotal < ARITH_TOTAL_LIMIT);
  return coding;
}

bool five_code_in_context(ArithEncoder& e, int32_t s, int symbol) {
  FiveModel& m = model;
  Candidates candidates;
  const Coding c = prepare(s, candidates);
  const CodingStop stop = walk_coding_nodes(m.node, s, c.candidates, m.excluded,
                                            [symbol](const Node& node) { return node.symbol == symbol; });
  if (stop.node >= 0) {
    arith_encode(e, stop.cum * c.scale, (stop.cum + m.node[stop.node].count) * c.scale, c.codingTotal);
    found_in(s, stop.node);
    return true;
  }
  arith_encode(e, c.total * c.scale, c.codingTotal, c.codingTotal);
  escaped_in(s, stop.last);
  return false;
}

int five_decode_in_context(ArithDecoder& d, int32_t s) {
  FiveModel& m = model;
  Candidates candidates;
  const Coding c = prepare(s, candidates);
  const uint32_t target = arith_target(d, c.codingTotal);
  uint32_t cum = 0;
  const CodingStop stop = walk_coding_nodes(m.node, s, c.candidates, m.excluded, [&](const Node& node) {
    cum += node.count;
    return cum * c.scale > target;
  });
  if (stop.node >= 0) {
    arith_decode_update(d, stop.cum * c.scale, (stop.cum + m.node[stop.node].count) * c.scale, c.codingTotal);
    found_in(s, stop.node);
    return m.node[stop.node].symbol;
  }
  arith_decode_update(d, c.total * c.scale, c.codingTotal, c.codingTotal);
  escaped_in(s, stop.last);
  return PPM_END_SYMBOL;
}

bool named_by_visit(int32_t s) {
  for (int i = 0; i < model.visitCount; i++) {
    if (model.visits[i].context == s) return true;
  }
  return false;
}

void free_node(int32_t n) {
  model.node[n].next = model.freeHead;
  model.freeHead = n;
}

// Sets the context's total, rare and distinct from the counts of its nodes.
void recount(Context& c, uint32_t total, uint32_t rare, uint32_t distinct) {
  c.total = total;
  c.rare = static_cast<uint8_t>(rare);
  c.distinct = static_cast<uint8_t>(distinct);
}

// Frees nodes of the next context in slot order that has two or more and is
// not visited for the current symbol: the nodes of the smallest count go,
// the others are divided by that count + 1.
void five_reclaim() {
  FiveModel& m = model;
  // The extra nodes are all in use and the visited contexts hold at most
  // 5 x 255 of them, so some other context has two or more.
  do {
    m.reclaimCursor = (m.reclaimCursor + 1) % CONTEXTS;
  } while (m.node[m.reclaimCursor].next < 0 || named_by_visit(m.reclaimCursor));
  const int32_t s = m.reclaimCursor;
  Context& c = m.context[s];
  uint32_t least = m.node[s].count;
  for (int32_t n = m.node[s].next; n >= 0; n = m.node[n].next) {
    if (m.node[n].count < least) least = m.node[n].count;
  }
  const uint32_t divisor = least + 1;
  Node& first = m.node[s];
  if (first.count < divisor) {
    // The first node belongs to the slot: the first node that stays (or
    // the last one) moves into it, and the nodes up to it are freed.
    const int32_t second = first.next;
    int32_t y = second;
    while (m.node[y].count < divisor && m.node[y].next >= 0) y = m.node[y].next;
    first.symbol = m.node[y].symbol;
    first.count = m.node[y].count;
    first.next = m.node[y].next;
    m.node[y].next = m.freeHead;
    m.freeHead = second;
    if (first.next < 0) {
      recount(c, first.count, first.count < RARE_BELOW, 0);
      return;
    }
  }
  first.count = static_cast<uint16_t>(first.count / divisor);
  uint32_t total = first.count;
  uint32_t rare = first.count < RARE_BELOW;
  uint32_t distinct = 0;
  int32_t previous = s;
  for (int32_t n = first.next; n >= 0;) {
    Node& node = m.node[n];
    if (node.count < divisor) {
      m.node[previous].next = node.next;
      free_node(n);
      n = m.node[previous].next;
      continue;
    }
    node.count = static_cast<uint16_t>(node.count / divisor);
    distinct++;
    total += node.count;
    rare += node.count < RARE_BELOW;
    previous = n;
    n = node.next;
  }
  recount(c, total, rare, distinct);
}

// Halves the counts above 1 and sets the statistics anew.
void rescale(Context& c, int32_t s) {
  uint32_t total = 0;
  uint32_t rare = 0;
  for (int32_t n = s; n >= 0; n = model.node[n].next) {
    Node& node = model.node[n];
    if (node.count > 1) node.count >>= 1;
    total += node.count;
    rare += node.count < RARE_BELOW;
  }
  c.total = total;
  c.rare = static_cast<uint8_t>(rare);
}

// Adds the symbol to the contexts that escaped, counts it where it was
// found, and keeps each visited context's statistics.
void five_update(int symbol) {
  FiveModel& m = model;
  for (int i = m.visitCount - 1; i >= 0; i--) {
    const Visit& v = m.visits[i];
    Context& c = m.context[v.context];
    int32_t updated = v.node;
    if (v.escaped) {
      if (m.freeHead < 0) five_reclaim();
      updated = m.freeHead;
      m.freeHead = m.node[updated].next;
      m.node[updated] = Node{m.node[v.node].next, 1, static_cast<uint8_t>(symbol)};
      m.node[v.node].next = updated;
      c.distinct++;
      c.rare++;
    } else if (++m.node[updated].count == RARE_BELOW) {
      c.rare--;
    }
    c.total++;
    const uint32_t average = c.total / (c.distinct + 1u);
    if (2u * m.node[updated].count < average) c.tune--;
    else if (c.tune < TUNE_START) c.tune++;
    if (c.tune == 0 || c.total >= RESCALE_TOTAL) {
      c.tune++;
      rescale(c, v.context);
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
    const int32_t extra = m.node[s].next;
    if (extra >= 0) {
      int32_t last = extra;
      while (m.node[last].next >= 0) last = m.node[last].next;
      m.node[last].next = m.freeHead;
      m.freeHead = extra;
    }
  }
  context_table_insert(m.table, TABLE_SIZE - 1, m.context, s, m.key[order], m.home[order]);
  c.total = 1;
  c.rare = 1;
  c.distinct = 0;
  c.tune = TUNE_START;
  m.node[s] = Node{-1, 1, static_cast<uint8_t>(symbol)};
}

void learn(int symbol, int first, int top) {
  FiveModel& m = model;
  five_update(symbol);
  while (top > first) five_create_context(--top, symbol);
  memmove(m.history + 1, m.history, MAX_ORDER - 1);
  m.history[0] = static_cast<uint8_t>(symbol);
}

int first_order_to_create(int32_t s) { return s < 0 ? 0 : order_of(s) + 1; }

void encode_symbol(ArithEncoder& e, int symbol) {
  FiveModel& m = model;
  begin_symbol();
  int32_t s = five_find_context();
  const int first = first_order_to_create(s);
  const int top = m.maxOrder + 1;
  bool found = false;
  while (s >= 0) {
    found = five_code_in_context(e, s, symbol);
    if (found) {
      move_to_head(s);
      break;
    }
    s = five_find_context();
  }
  if (!found) encode_order_below(e, m.excluded, symbol);
  if (symbol != PPM_END_SYMBOL) learn(symbol, first, top);
}

int decode_symbol(ArithDecoder& d) {
  FiveModel& m = model;
  begin_symbol();
  int32_t s = five_find_context();
  const int first = first_order_to_create(s);
  const int top = m.maxOrder + 1;
  int symbol = PPM_END_SYMBOL;
  while (s >= 0) {
    symbol = five_decode_in_context(d, s);
    if (symbol != PPM_END_SYMBOL) {
      move_to_head(s);
      break;
    }
    s = five_find_context();
  }
  if (symbol == PPM_END_SYMBOL) symbol = decode_order_below(d, m.excluded);
  if (symbol != PPM_END_SYMBOL) learn(symbol, first, top);
  return symbol;
}

}  // namespace

uint32_t five_pack(int64_t size, int /*memoryMode*/, IoFile* archive) {
  if (model_starts_fresh(runs.packed, runs.unpacked, codecSettings.blockMode != 0)) model_start();
  return pack_stream<PIECE>(size, archive, HEADER_BYTE, encode_symbol);
}

int five_unpack(IoFile* input, uint32_t size, uint32_t packed, bool blockMode) {
  if (model_starts_fresh(runs.unpacked, runs.packed, blockMode)) model_start();
  return unpack_stream<PIECE>(input, size, packed, decode_symbol);
}

void five_forget_model() { runs = ModelRuns{0, 0}; }

uint16_t five_hash_entry(int i) { return hash_table().entry[i & (HASH_SIZE - 1)]; }

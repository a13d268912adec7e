// The high method's model: 11264 context slots of orders 0..5 found through
// a 65536-entry hash, each owning a chain of symbol nodes from a shared pool
// of 22528, kept in a recency list so that the least recently used slot is
// the one reused. Encoder and decoder run the same model steps; nothing read
// from a stream can move them outside the fixed tables, and decoding ends
// after the member's size even when the end symbol never comes.
#include "codec/ppm/high.h"

#include <cstring>

#include "codec/common/settings.h"
#include "codec/ppm/model_common.h"

namespace {

constexpr int CONTEXTS = 11264;
constexpr int NODES = 22528;
constexpr int HASH_SIZE = 65536;
constexpr int MAX_ORDER = 5;
constexpr int ORDER5_BUDGET = CONTEXTS / 4;
constexpr uint8_t FREE_SLOT = 255;
constexpr uint32_t HALVING_TOTAL = 4096;  // a context coded with more than this is halved
constexpr int PIECE = 1024;               // bytes read and passed on at a time
constexpr uint8_t HEADER_BYTE = 5;

struct Context {
  uint64_t key;      // order in the low byte, then the order-many preceding bytes (h0 first)
  int32_t hashNext;  // next slot in the same hash chain, -1 at the end
  int32_t older;     // recency list, towards the least recently used slot
  int32_t newer;     // recency list, towards the most recently used slot
  uint32_t bucket;   // the hash chain it is in
};

struct Node {
  int32_t next;    // next node of the same context, -1 at the end
  uint16_t count;  // never above 4097: a context coded with more is halved
  uint8_t symbol;
};

// A context visited for the current symbol: the symbol's node where it was
// found, else the context's last node, after which the symbol is added.
struct Visit {
  int32_t context;
  bool escaped;
  int32_t node;
};

struct PpmModel {
  Context context[CONTEXTS];
  Node node[NODES];  // node k < CONTEXTS is the first node of slot k
  int32_t hashHead[HASH_SIZE];
  Recency recency;
  int32_t freeHead;     // free symbol nodes, chained through next
  int32_t reclaimCursor;
  int32_t order5Budget;  // order-5 slots that may still be reused before order 5 stops growing
  int maxOrder;
  uint32_t run;        // symbols found in a row without an escape
  uint8_t history[MAX_ORDER];  // the last bytes, most recent first
  Exclusions excluded;
  Visit visits[MAX_ORDER + 1];
  int visitCount;
  int searchOrder;
  // Search keys and hash chains of the current history, by order.
  uint64_t key[MAX_ORDER + 1];
  uint32_t bucket[MAX_ORDER + 1];
};

PpmModel model;
ModelRuns runs;

void model_start() {
  PpmModel& m = model;
  m.order5Budget = ORDER5_BUDGET;
  memset(m.hashHead, 0xFF, sizeof m.hashHead);
  m.maxOrder = MAX_ORDER;
  m.run = 0;
  m.reclaimCursor = 0;
  for (int32_t s = 0; s < CONTEXTS; s++) {
    m.context[s].key = FREE_SLOT;
    m.context[s].hashNext = -1;
    m.node[s] = Node{-1, 0, 0};
  }
  recency_start(m.context, CONTEXTS, m.recency);
  for (int32_t n = CONTEXTS; n < NODES; n++) m.node[n] = Node{n + 1 < NODES ? n + 1 : -1, 0, 0};
  m.freeHead = CONTEXTS;
  memset(&m.excluded, 0, sizeof m.excluded);
  memset(m.history, 0, sizeof m.history);
  m.visitCount = 0;
}

// The hash chain of a context of `order` over the bytes h[0..order).
uint32_t bucket_of(int order, const uint8_t* h) {
  uint32_t hash = 0;
  for (int k = 0; k < order; k++) hash = k == 0 ? h[0] : (hash << 2) ^ h[k];
  return hash & (HASH_SIZE - 1);
}

// Starts coding one symbol: the keys of the current history, nothing
// excluded, no context visited.
void begin_symbol() {
  PpmModel& m = model;
  history_keys(m.history, MAX_ORDER, m.key);
  for (int k = 0; k <= MAX_ORDER; k++) m.bucket[k] = bucket_of(k, m.history);
  exclusions_clear(m.excluded);
  m.searchOrder = MAX_ORDER + 1;
  m.visitCount = 0;
}

// The existing context of the highest order below the last one found.
int32_t ppm_find_context() {
  PpmModel& m = model;
  return find_context(m.context, m.hashHead, m.key, m.bucket, &m.searchOrder);
}

inline int order_of(int32_t slot) { return static_cast<int>(model.context[slot].key & 0xFF); }

void move_to_head(int32_t s) { recency_move_to_head(model.context, model.recency, s); }

// Halves every count above 1 in the context.
void halve_counts(int32_t s) {
  for (int32_t n = s; n >= 0; n = model.node[n].next) {
    if (model.node[n].count > 1) model.node[n].count >>= 1;
  }
}

// What one pass over a context finds, counting only symbols not excluded
// (n counts every node).
struct Tally {
  uint32_t n;
  uint32_t fullSum;  // all counts, excluded ones too
  uint32_t total;    // counts of the symbols not excluded
  uint32_t rare;     // symbols not excluded with a count below 4
  int32_t last;      // the last node
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

Tally tally(int32_t s) {
  const PpmModel& m = model;
  Tally t{0, 0, 0, 0, s};
  for (int32_t n = s; n >= 0; n = m.node[n].next) {
    const Node& node = m.node[n];
    t.n++;
    t.fullSum += node.count;
    if (!m.excluded.flag[node.symbol]) {
      t.total += node.count;
      t.rare += node.count < 4;
    }
    t.last = n;
  }
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

Coding prepare(int32_t s) {
  for (;;) {
    Coding c;
    c.tally = tally(s);
    c.escape = escape_count(c.tally);
    c.scale = model.run >= 4 ? (c.tally.total <= 6 ? 4 : 2) : 1;
    c.codingTotal = c.tally.total * c.scale + c.escape;
    if (c.codingTotal < ARITH_TOTAL_LIMIT) return c;
    halve_counts(s);
  }
}

void record_visit(int32_t s, bool escaped, int32_t node) {
  model.visits[model.visitCount++] = Visit{s, escaped, node};
}

// Excludes the symbols of the context not excluded yet.
void exclude_context(int32_t s) {
  PpmModel& m = model;
  for (int32_t n = s; n >= 0; n = m.node[n].next) {
    if (!m.excluded.flag[m.node[n].symbol]) exclude(m.excluded, m.node[n].symbol);
  }
}

// Codes `symbol` in context s, or its escape; answers whether it was found.
bool ppm_code_in_context(ArithEncoder& e, int32_t s, int symbol) {
  PpmModel& m = model;
  const Coding c = prepare(s);
  uint32_t cum = 0;
  int32_t found = -1;
  for (int32_t n = s; n >= 0; n = m.node[n].next) {
    const Node& node = m.node[n];
    if (m.excluded.flag[node.symbol]) continue;
    if (node.symbol == symbol) {
      found = n;
      break;
    }
    cum += node.count;
  }
  if (found >= 0) {
    arith_encode(e, cum * c.scale, (cum + m.node[found].count) * c.scale, c.codingTotal);
    m.run += 1;
    record_visit(s, false, found);
  } else {
    const uint32_t scaled = c.tally.total * c.scale;
    arith_encode(e, scaled, scaled + c.escape, c.codingTotal);
    exclude_context(s);
    m.run = 0;
    record_visit(s, true, c.tally.last);
  }
  if (c.tally.total > HALVING_TOTAL) halve_counts(s);
  return found >= 0;
}

// Decodes a symbol in context s; answers it, or PPM_END_SYMBOL for an escape.
int ppm_decode_in_context(ArithDecoder& d, int32_t s) {
  PpmModel& m = model;
  const Coding c = prepare(s);
  const uint32_t target = arith_target(d, c.codingTotal);
  uint32_t cum = 0;
  int symbol = PPM_END_SYMBOL;
  for (int32_t n = s; n >= 0; n = m.node[n].next) {
    const Node& node = m.node[n];
    if (m.excluded.flag[node.symbol]) continue;
    if ((cum + node.count) * c.scale > target) {
      arith_decode_update(d, cum * c.scale, (cum + node.count) * c.scale, c.codingTotal);
      m.run += 1;
      record_visit(s, false, n);
      symbol = node.symbol;
      break;
    }
    // Excluded now: an escape excludes them all, and after a find the
    // exclusions are cleared before they are read again.
    exclude(m.excluded, node.symbol);
    cum += node.count;
  }
  if (symbol == PPM_END_SYMBOL) {
    const uint32_t scaled = c.tally.total * c.scale;
    arith_decode_update(d, scaled, scaled + c.escape, c.codingTotal);
    m.run = 0;
    record_visit(s, true, c.tally.last);
  }
  if (c.tally.total > HALVING_TOTAL) halve_counts(s);
  return symbol;
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

// Frees nodes of the next context in slot order that has two or more and is
// not visited for the current symbol: those of the smallest count go, the
// others are divided by that count + 1.
void ppm_reclaim_nodes() {
  PpmModel& m = model;
  // The extra nodes are all in use and the visited contexts hold at most
  // 6 x 255 of them, so some other context has two or more.
  do {
    m.reclaimCursor = (m.reclaimCursor + 1) % CONTEXTS;
  } while (m.node[m.reclaimCursor].next < 0 || named_by_visit(m.reclaimCursor));
  const int32_t s = m.reclaimCursor;
  uint32_t least = m.node[s].count;
  int left = 0;
  for (int32_t n = s; n >= 0; n = m.node[n].next) {
    if (m.node[n].count < least) least = m.node[n].count;
    left++;
  }
  int32_t previous = -1;
  int32_t n = s;
  while (n >= 0 && left >= 2) {
    Node& node = m.node[n];
    if (node.count == least) {
      if (n == s) {
        // The first node belongs to the slot: the second moves into it.
        const int32_t second = node.next;
        node = m.node[second];
        free_node(second);
      } else {
        m.node[previous].next = node.next;
        free_node(n);
        n = m.node[previous].next;
      }
      left--;
      continue;
    }
    node.count = static_cast<uint16_t>(node.count / (least + 1));
    previous = n;
    n = node.next;
  }
}

// Adds the symbol to the contexts that escaped and counts it where it was found.
void update_contexts(int symbol) {
  PpmModel& m = model;
  for (int i = m.visitCount - 1; i >= 0; i--) {
    const Visit& v = m.visits[i];
    if (!v.escaped) {
      m.node[v.node].count += 1;
      continue;
    }
    if (m.freeHead < 0) ppm_reclaim_nodes();
    const int32_t n = m.freeHead;
    m.freeHead = m.node[n].next;
    m.node[n] = Node{m.node[v.node].next, 1, static_cast<uint8_t>(symbol)};
    m.node[v.node].next = n;
  }
}

void ppm_remove_context(int32_t s) {
  PpmModel& m = model;
  if (order_of(s) == MAX_ORDER && --m.order5Budget == 0) m.maxOrder = MAX_ORDER - 1;
  hash_unlink(m.context, m.hashHead, s);
  for (int32_t n = m.node[s].next; n >= 0;) {
    const int32_t next = m.node[n].next;
    free_node(n);
    n = next;
  }
}

// Reuses the least recently used slot for the context of `order` over the
// current history, holding the symbol once.
void ppm_create_context(int order, int symbol) {
  PpmModel& m = model;
  const int32_t s = m.recency.tail;
  move_to_head(s);
  if (order_of(s) != FREE_SLOT) ppm_remove_context(s);
  m.context[s].key = m.key[order];
  hash_insert(m.context, m.hashHead, s, m.bucket[order]);
  m.node[s] = Node{-1, 1, static_cast<uint8_t>(symbol)};
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

int first_order_to_create(int32_t s) { return s < 0 ? 0 : order_of(s) + 1; }

void encode_symbol(ArithEncoder& e, int symbol) {
  PpmModel& m = model;
  begin_symbol();
  int32_t s = ppm_find_context();
  const int first = first_order_to_create(s);
  const int top = m.maxOrder + 1;
  bool found = false;
  while (s >= 0) {
    if (ppm_code_in_context(e, s, symbol)) {
      move_to_head(s);
      found = true;
      break;
    }
    s = ppm_find_context();
  }
  if (!found) encode_order_below(e, m.excluded, symbol);
  if (symbol != PPM_END_SYMBOL) learn(symbol, first, top);
}

int decode_symbol(ArithDecoder& d) {
  PpmModel& m = model;
  begin_symbol();
  int32_t s = ppm_find_context();
  const int first = first_order_to_create(s);
  const int top = m.maxOrder + 1;
  int symbol = PPM_END_SYMBOL;
  while (s >= 0) {
    symbol = ppm_decode_in_context(d, s);
    if (symbol != PPM_END_SYMBOL) {
      move_to_head(s);
      break;
    }
    s = ppm_find_context();
  }
  if (symbol == PPM_END_SYMBOL) symbol = decode_order_below(d, m.excluded);
  if (symbol != PPM_END_SYMBOL) learn(symbol, first, top);
  return symbol;
}

}  // namespace

uint32_t ppm_pack(int64_t size, int /*memoryMode*/, IoFile* archive) {
  if (model_starts_fresh(runs.packed, runs.unpacked, codecSettings.blockMode != 0)) model_start();
  return pack_stream<PIECE>(size, archive, HEADER_BYTE, encode_symbol);
}

int ppm_unpack(IoFile* input, uint32_t size, uint32_t packed, bool blockMode) {
  if (model_starts_fresh(runs.unpacked, runs.packed, blockMode)) model_start();
  return unpack_stream<PIECE>(input, size, packed, decode_symbol);
}

void ppm_forget_model() { runs = ModelRuns{0, 0}; }

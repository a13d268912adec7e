// LZ77 parser of the default method: window management, hash-chain search
// and the lazy and greedy parsing loops feeding the block Huffman encoder.
#include "codec/lz/lz77.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codec/common/transfer.h"
#include "codec/huff/encode.h"
#include "codec/common/settings.h"

LzState lzState;

namespace {

LzState& s = lzState;

// The links of a new position whose previous same-hash position lies `back`
// (below LZ_CHAIN_END) before it and has the links `older`: back, then back
// plus each of the older distances but the last, saturating at LZ_CHAIN_END
// (so an END link stays END).
inline void extend_links(LzLinks* to, uint32_t back, const LzLinks* older) {
#if defined(__SSE2__)
  // Shift the eight lanes up by one and add with unsigned saturation.
  static_assert(sizeof(LzLinks) == sizeof(__m128i), "one register of links");
  const __m128i shifted = _mm_slli_si128(_mm_load_si128(reinterpret_cast<const __m128i*>(older)), 2);
  _mm_store_si128(reinterpret_cast<__m128i*>(to),
                  _mm_adds_epu16(shifted, _mm_set1_epi16(static_cast<short>(back))));
#else
  uint16_t b[LZ_LINKS];
  b[0] = static_cast<uint16_t>(back);
  for (int k = 1; k < LZ_LINKS; k++) {
    uint32_t d = back + older->back[k - 1];
    b[k] = static_cast<uint16_t>(d > LZ_CHAIN_END ? LZ_CHAIN_END : d);
  }
  memcpy(to->back, b, sizeof b);
#endif
}

inline uint32_t insert_position(uint32_t p) {
  uint32_t h = lz_hash(s.window + p);
  uint32_t old = s.head[h];
  uint32_t back = p - old;
  LzLinks* to = &s.links[p & (LZ_HASH_SIZE - 1)];
  if (old != 0 && old < p && back < LZ_CHAIN_END) {
    extend_links(to, back, &s.links[old & (LZ_HASH_SIZE - 1)]);
  } else {
    memset(to, 0xFF, sizeof *to);
  }
  s.head[h] = p;
  return old;
}

// Number of leading bytes in which a and b agree, at most LZ_MAX_COMPARE.
// Both may run past the valid data into older window bytes or the slack.
inline uint32_t match_length(const uint8_t* a, const uint8_t* b) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  for (uint32_t n = 0; n < LZ_MAX_COMPARE; n += 8) {
    uint64_t x;
    uint64_t y;
    memcpy(&x, a + n, 8);
    memcpy(&y, b + n, 8);
    uint64_t d = x ^ y;
    if (d != 0) return n + static_cast<uint32_t>(__builtin_ctzll(d)) / 8;
  }
  return LZ_MAX_COMPARE;
#else
  uint32_t n = 0;
  while (n < LZ_MAX_COMPARE && a[n] == b[n]) n++;
  return n;
#endif
}

inline uint16_t load16(const uint8_t* p) {
  uint16_t v;
  memcpy(&v, p, 2);
  return v;
}

// Best match length (at least best) for position p, walking the chain from
// cand; sets match_start when it finds a longer one. A candidate is compared
// in full only when the two bytes at the length to beat and the two bytes at
// the start agree.
inline uint32_t lz_search(uint32_t cand, uint32_t best, uint32_t p) {
  const uint8_t* w = s.window;
  const LzLinks* links = s.links;
  const uint32_t stop_below = p >= s.max_distance ? p - s.max_distance : 0;
  uint32_t budget = best >= s.good_length ? s.max_chain / 4 : s.max_chain;
  const uint8_t* cur = w + p;
  const uint16_t start2 = load16(cur);
  uint16_t end2 = load16(cur + best - 1);
  uint32_t match = s.match_start;
  // Examines candidate c; true when the search is over (a long enough match
  // or the budget used up).
  auto examine = [&](uint32_t c) {
    const uint8_t* cp = w + c;
    if (load16(cp + best - 1) == end2 && load16(cp) == start2) {
      uint32_t len = match_length(cp, cur);
      if (len > best) {
        match = c;
        best = len;
        if (len >= LZ_LAZY_MAX_MATCH) return true;
        end2 = load16(cur + best - 1);
      }
    }
    return --budget == 0;
  };
  for (;;) {
    // cand and the LZ_LINKS - 1 candidates after it, then the last link
    // leads to the next step, whose links are fetched at once.
    LzLinks next;
    memcpy(&next, &links[cand & (LZ_HASH_SIZE - 1)], sizeof next);
    __builtin_prefetch(&links[(cand - next.back[LZ_LINKS - 1]) & (LZ_HASH_SIZE - 1)]);
    const uint32_t reach = cand - stop_below;  // a candidate this far back or more is out
    uint32_t c = cand;
    bool over = false;
#pragma GCC unroll 8  // LZ_LINKS
    for (int k = 0; k < LZ_LINKS; k++) {
      if (examine(c) || next.back[k] >= reach) {
        over = true;
        break;
      }
      c = cand - next.back[k];
    }
    if (over) break;
    cand = c;
  }
  s.match_start = match;
  return best;
}

void slide_window() {
  memcpy(s.window, s.window + LZ_WINDOW_HALF, LZ_WINDOW_HALF);
  s.pos -= LZ_WINDOW_HALF;
  s.match_start -= LZ_WINDOW_HALF;
  for (uint32_t i = 0; i < LZ_HASH_SIZE; i++) {
    uint32_t v = s.head[i];
    s.head[i] = v > LZ_WINDOW_HALF ? v - LZ_WINDOW_HALF : 0;
  }
}

inline void fill_lookahead() {
  while (s.lookahead < LZ_MIN_LOOKAHEAD && !s.at_end) lz_refill();
}

// The steps shared by both parsers before the first symbol.
void start_member(int64_t limit) {
  s.max_distance = codecSettings.narrowWindow ? LZ_MAX_DISTANCE_NARROW : LZ_MAX_DISTANCE;
  s.pos = s.carried_pos;
  huff_clear_output();
  if (!s.primed || !codecSettings.blockMode) {
    s.pos = 0;
    memset(s.head, 0, sizeof s.head);
    LzLevel l = lz_level_limits(codecSettings.level);
    s.good_length = l.good_length;
    s.max_chain = l.max_chain;
    s.primed = true;
  }
  transfer.inputRemaining = limit;
  s.at_end = false;
  s.lookahead = 0;
  s.delivered = 0;
  fill_lookahead();
  huff_start();
}

// The encoder asked to stop: the member ends here without huff_finish and
// carried_pos stays. The head table now holds positions at and past the
// carried position, so a following block-mode member must not reuse it.
uint32_t stop_early(uint32_t consumed) {
  s.primed = false;
  return consumed;
}

void finish_member() {
  huff_finish();
  s.carried_pos = codecSettings.blockMode ? s.pos : 0;
}

}  // namespace

// Search limits by level; any positive level behaves as 1, unknown ones as 0.
constexpr struct {
  int level;
  LzLevel limits;
} kLevelTable[] = {
    {1, {128, 2048}},
    {0, {16, 128}},
    {-1, {8, 32}},
    {-2, {4, 8}},
};

LzLevel lz_level_limits(int level) {
  if (level > 0) level = 1;
  for (const auto& row : kLevelTable) {
    if (row.level == level) return row.limits;
  }
  return kLevelTable[1].limits;
}

void lz_refill() {
  uint32_t room = LZ_WINDOW_SIZE - s.pos - s.lookahead;
  if (room > LZ_WINDOW_HALF) room = LZ_WINDOW_HALF;
  if (room <= 1) {
    slide_window();
    room += LZ_WINDOW_HALF;
  }
  int got = read_member_input(s.window + s.pos + s.lookahead, static_cast<int>(room));
  if (got <= 0) {
    s.at_end = true;
  } else {
    s.lookahead += static_cast<uint32_t>(got);
    s.delivered += static_cast<uint32_t>(got);
  }
}

void lz_reset() {
  s.primed = false;
  s.carried_pos = 0;
}

uint32_t lz_pack_lazy(int64_t limit) {
  start_member(limit);
  uint32_t prev_len = 2;
  bool pending = false;
  uint32_t consumed = 0;
  while (s.lookahead > 0) {
    const uint32_t prev_start = s.match_start;
    const uint32_t cand = insert_position(s.pos);
    __builtin_prefetch(&s.head[lz_hash(s.window + s.pos + 1)]);  // the next insert's slot
    uint32_t cur_len = prev_len;
    if (cand != 0 && s.pos - cand <= s.max_distance) {
      cur_len = lz_search(cand, prev_len, s.pos);
      if (cur_len > LZ_LAZY_MAX_MATCH) cur_len = LZ_LAZY_MAX_MATCH;
    }
    if (cur_len > s.lookahead) cur_len = s.lookahead;
    if (cur_len == 3 && s.pos - s.match_start >= LZ_FAR_THREE) cur_len = 2;

    if (prev_len >= 3 && cur_len <= prev_len) {
      // The match found at the previous position is at least as good.
      if (huff_emit(HUFF_LENGTH_BIAS + prev_len, s.pos - prev_start - 2) != 0) {
        return stop_early(consumed);
      }
      consumed += prev_len;
      const uint32_t last = s.pos + prev_len - 2;
      for (uint32_t p = s.pos + 1; p <= last; p++) insert_position(p);
      s.lookahead -= prev_len - 1;
      s.pos += prev_len - 1;
      pending = false;
      prev_len = 2;
    } else {
      if (pending) {
        if (huff_emit(s.window[s.pos - 1], 0) != 0) return stop_early(consumed);
        consumed += 1;
      } else {
        pending = true;
      }
      prev_len = cur_len;
      s.lookahead -= 1;
      s.pos += 1;
    }
    fill_lookahead();
  }
  if (pending) {
    if (huff_emit(s.window[s.pos - 1], 0) != 0) return stop_early(consumed);
    consumed += 1;
  }
  finish_member();
  return consumed;
}

uint32_t lz_pack_greedy(int64_t limit) {
  start_member(limit);
  uint32_t len = 2;
  uint32_t consumed = 0;
  while (s.lookahead > 0) {
    const uint32_t cand = insert_position(s.pos);
    if (cand != 0 && s.pos - cand <= s.max_distance) len = lz_search(cand, len, s.pos);
    if (len > s.lookahead) len = s.lookahead;
    if (len >= 3) {
      if (huff_emit(HUFF_LENGTH_BIAS + len, s.pos - s.match_start - 1) != 0) {
        return stop_early(consumed);
      }
      consumed += len;
      s.lookahead -= len;
      const uint32_t last = s.pos + len - 1;
      for (uint32_t p = s.pos + 1; p <= last; p++) insert_position(p);
      s.pos += len;
      len = 2;
    } else {
      if (huff_emit(s.window[s.pos], 0) != 0) return stop_early(consumed);
      consumed += 1;
      s.lookahead -= 1;
      s.pos += 1;
    }
    fill_lookahead();
  }
  finish_member();
  return consumed;
}

// LZ77 parser of the default method: a 128 KiB sliding window with hash
// chains over three-byte prefixes, parsed lazily (levels >= 0) or greedily
// (levels < 0); the symbols go to the block Huffman encoder.
#pragma once

#include <cstdint>

constexpr uint32_t LZ_WINDOW_SIZE = 131072;
constexpr uint32_t LZ_WINDOW_HALF = 65536;
// Searches compare up to 256 bytes past the current position and the hash
// reads two bytes ahead; the slack keeps that inside the array. It stays zero.
constexpr uint32_t LZ_WINDOW_SLACK = 512;
constexpr uint32_t LZ_HASH_SIZE = 65536;
constexpr uint16_t LZ_CHAIN_END = 0xFFFF;
constexpr int LZ_LINKS = 8;                      // chain links kept per position
// How far back the next LZ_LINKS positions along a hash chain lie, nearest
// first (16 bytes: one aligned load).
struct alignas(16) LzLinks {
  uint16_t back[LZ_LINKS];
};
constexpr uint32_t LZ_MIN_LOOKAHEAD = 1027;      // refill while fewer bytes are ahead
constexpr uint32_t LZ_MAX_COMPARE = 256;         // longest comparison (greedy matches reach it)
constexpr uint32_t LZ_LAZY_MAX_MATCH = 254;      // the lazy parser's cut, also where a search stops
constexpr uint32_t LZ_FAR_THREE = 4096;          // lazy: a 3-byte match this far back is not taken
constexpr uint32_t LZ_MAX_DISTANCE = 64507;      // 65536 - 1029
constexpr uint32_t LZ_MAX_DISTANCE_NARROW = 31739;  // 32768 - 1029, with the narrow window

struct LzState {
  uint8_t window[LZ_WINDOW_SIZE + LZ_WINDOW_SLACK];  // input bytes; never cleared between members
  uint32_t head[LZ_HASH_SIZE];     // per hash value: most recent position, 0 = none
  // Per position mod 65536: how far back the previous LZ_LINKS positions with
  // the same hash lie (back[k]: the (k+1)-th one), each LZ_CHAIN_END when
  // there is none or it is 65535 or more back (beyond any max_distance, so
  // the walk would stop there anyway). Kept as distances so that a slide
  // leaves them unchanged. A walk is bound by the latency of loading the next
  // link; with several per entry it makes one such load per LZ_LINKS
  // candidates instead of one per candidate.
  LzLinks links[LZ_HASH_SIZE];
  uint32_t pos;                    // current window position
  uint32_t lookahead;              // valid input bytes at and after pos
  uint32_t match_start;            // source of the last longer match a search found
  bool at_end;                     // the member reader reported the end of the input
  uint32_t max_distance;           // farthest match source allowed
  uint32_t max_chain;              // candidates one search may examine
  uint32_t good_length;            // from this length to beat on, a quarter of max_chain
  uint32_t carried_pos;            // block mode: where the next member continues
  bool primed;                     // head table and limits set up (stays set)
  uint64_t delivered;              // bytes the member reader placed for the current member
};

extern LzState lzState;

struct LzLevel {
  uint32_t good_length;
  uint32_t max_chain;
};
// The search limits of a compression level (1 and 2 alike; unknown levels as 0).
LzLevel lz_level_limits(int level);

inline uint32_t lz_hash(const uint8_t* p) {
  return (p[0] + 8u * p[1] + 256u * p[2]) & (LZ_HASH_SIZE - 1);
}

// Reads more input into the window, sliding it by 64 KiB when full.
void lz_refill();

// Pack one member of up to `limit` input bytes from the member reader.
// Answer the number of input bytes the emitted symbols stand for.
uint32_t lz_pack_lazy(int64_t limit);
uint32_t lz_pack_greedy(int64_t limit);

// Forgets the block-mode carry-over: the next member primes the state anew.
void lz_reset();

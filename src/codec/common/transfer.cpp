// Check values (CRC-32, 16-bit sum), the member transfer and the data paths
// shared by all formats and codecs: copies, the member reader and the output sink.
#include "codec/common/transfer.h"

#include <cstdio>
#include <cstring>
#ifdef __x86_64__
#include <cpuid.h>
#include <immintrin.h>
#endif

#include "codec/common/settings.h"
#include "platform/console.h"
#include "platform/settings.h"

TransferState transfer;

namespace {

constexpr uint32_t kCrcPolynomial = 0xEDB88320u;  // reflected ISO 3309 polynomial
constexpr int kCopyStep = 2048;                   // bytes per copy step
constexpr int kRegionStep = 16384;                // bytes per check_region read
constexpr int kOutputPiece = 32768;               // largest piece the sink writes at once

// Stored members go out through a staging buffer of their own, so that a
// stored member never disturbs the window a block-mode stream carries.
constexpr int kStoredPiece = 32768;
unsigned char storedBuffer[kStoredPiece];

// The next byte of source, which stays where it was; -1 at the end.
int peek_byte(IoFile* source) {
  const int64_t at = io_tell(source);
  unsigned char c;
  const bool got = io_read(source, &c, 1) == 1;
  io_seek(source, at, 0);
  return got ? c : -1;
}

// crcSlices[0] is the classic byte table; slice k advances a byte that lies k
// positions further on, so eight bytes are folded in per step.
uint32_t crcSlices[8][256];
// crcPowers[n] is x^(2^n) modulo the polynomial: shifts a register over 2^n bits.
uint32_t crcPowers[32];
bool crcReady = false;

// Product of two polynomials modulo the CRC polynomial (bit-reflected, x^0 in bit 31).
uint32_t multiply_mod(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (uint32_t m = 1u << 31; m != 0; m >>= 1) {
    if (a & m) product ^= b;
    b = (b & 1) ? (b >> 1) ^ kCrcPolynomial : b >> 1;
  }
  return product;
}

// x^(8 * bytes) modulo the polynomial: the factor that moves a register over that many bytes.
uint32_t byte_shift(size_t bytes) {
  uint32_t factor = 1u << 31;  // x^0
  for (unsigned k = 3; bytes != 0; bytes >>= 1, k++)
    if (bytes & 1) factor = multiply_mod(crcPowers[k & 31], factor);
  return factor;
}

void build_crc_tables() {
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t r = i;
    for (int bit = 0; bit < 8; bit++) r = (r & 1) ? (r >> 1) ^ kCrcPolynomial : r >> 1;
    crcSlices[0][i] = r;
  }
  for (int k = 1; k < 8; k++)
    for (int i = 0; i < 256; i++) {
      uint32_t prev = crcSlices[k - 1][i];
      crcSlices[k][i] = (prev >> 8) ^ crcSlices[0][prev & 0xFF];
    }
  uint32_t power = 1u << 30;  // x^1
  crcPowers[0] = power;
  for (int n = 1; n < 32; n++) crcPowers[n] = power = multiply_mod(power, power);
}

inline uint32_t load_le32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Counted error naming a driver path (or nothing when it is unset), with the
// reason the system gave for the failure on file.
void report_named(int message, const PathName* name, const IoFile* file) {
  const char* reason = io_error_text(file);
  if (name != nullptr)
    report_error_path_because(message_text(message), *name, reason);
  else
    report_error_because(message_text(message), nullptr, reason);
}

// Prints the short percentage and moves the cursor back over it, so the next
// figure overwrites it; restarts the progress clock. Only a live console gets
// figures: redirected output receives each action line once, finished.
void show_progress(uint32_t part) {
  if (!console_live()) return;
  char figure[16];
  format_percent(transfer.expectedTotal, part, figure, false);
  print_text(figure);
  print_repeated('\b', static_cast<int>(strlen(figure)));
  flush_messages();
  progress_reset();
}

// Folds eight bytes into the register.
inline uint32_t slice8(uint32_t reg, const unsigned char* p) {
  uint32_t one = load_le32(p) ^ reg;
  uint32_t two = load_le32(p + 4);
  return crcSlices[7][one & 0xFF] ^ crcSlices[6][(one >> 8) & 0xFF] ^ crcSlices[5][(one >> 16) & 0xFF] ^
         crcSlices[4][one >> 24] ^ crcSlices[3][two & 0xFF] ^ crcSlices[2][(two >> 8) & 0xFF] ^
         crcSlices[1][(two >> 16) & 0xFF] ^ crcSlices[0][two >> 24];
}

uint32_t crc32_by_table(uint32_t reg, const unsigned char* p, size_t count) {
  // Large blocks run as three independent lanes, so the table lookups of one
  // lane overlap those of the others; the lanes are then joined by shifting
  // each register over the bytes that follow it (the register is linear).
  constexpr size_t kMinLane = 4096, kMaxLane = 65536;
  while (count >= 3 * kMinLane) {
    size_t lane = (count / 3) & ~size_t(7);
    if (lane > kMaxLane) lane = kMaxLane;
    const unsigned char* second = p + lane;
    const unsigned char* third = p + 2 * lane;
    uint32_t r1 = reg, r2 = 0, r3 = 0;
    for (size_t i = 0; i < lane; i += 8) {
      r1 = slice8(r1, p + i);
      r2 = slice8(r2, second + i);
      r3 = slice8(r3, third + i);
    }
    uint32_t shift = byte_shift(lane);
    reg = multiply_mod(shift, multiply_mod(shift, r1) ^ r2) ^ r3;
    p += 3 * lane;
    count -= 3 * lane;
  }
  while (count >= 8) {
    reg = slice8(reg, p);
    p += 8;
    count -= 8;
  }
  while (count-- > 0) reg = crcSlices[0][(reg ^ *p++) & 0xFF] ^ (reg >> 8);
  return reg;
}

#ifdef __x86_64__
#define KVX_CRC_FOLDING 1

// Folding by carry-less multiplication. The block is read as 16-byte lanes
// in the register's order (the first bit of the stream lowest). A lane n bits
// before another is worth there, modulo the polynomial, its first half times
// x^(n+64) plus its second half times x^n: each half is multiplied by a
// constant and the products are added (XOR) to that lane. A product of a
// 64-bit half and a reflected constant lands 32 bits off from where that lane
// counts, so the constants are x^(n+32) and x^(n-32) modulo the polynomial,
// reflected in 32 bits and shifted left by one. The register enters as the
// first four bytes' own bits; the lane left at the end goes through the
// tables as the CRC-32 from zero of its 16 bytes.
constexpr size_t kFoldMin = 64;                    // four lanes; shorter blocks go through the table
constexpr size_t kWideFoldMin = 256;               // the wide way takes 128 bytes a step
constexpr long long kFold1024Low = 0x1E88EF372;    // x^(1024+32): eight lanes ahead
constexpr long long kFold1024High = 0x14A7FE880;   // x^(1024-32)
constexpr long long kFold512Low = 0x154442BD4;     // x^(512+32): four lanes ahead
constexpr long long kFold512High = 0x1C6E41596;    // x^(512-32)
constexpr long long kFold256Low = 0x0F1DA05AA;     // x^(256+32): two lanes ahead
constexpr long long kFold256High = 0x15A546366;    // x^(256-32)
constexpr long long kFold128Low = 0x1751997D0;     // x^(128+32): one lane ahead
constexpr long long kFold128High = 0x0CCAA009E;    // x^(128-32)

CrcWay crcBest = CrcWay::Tables;  // the widest way the processor has
CrcWay crcWay = CrcWay::Tables;   // the way crc32_block takes

__attribute__((target("pclmul"))) inline __m128i fold_lane(__m128i lane, __m128i factors, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(lane, factors, 0x00),
                                     _mm_clmulepi64_si128(lane, factors, 0x11)),
                       next);
}

inline __m128i load_lane(const unsigned char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// Folds the lane x over the whole lanes of [p, p + count), then the tables
// take the lane and the bytes left.
__attribute__((target("pclmul"))) uint32_t finish_folding(__m128i x, const unsigned char* p, size_t count) {
  const __m128i oneAhead = _mm_set_epi64x(kFold128High, kFold128Low);
  for (; count >= 16; p += 16, count -= 16) x = fold_lane(x, oneAhead, load_lane(p));
  unsigned char last[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(last), x);
  return crc32_by_table(crc32_by_table(0, last, 16), p, count);
}

// count >= kFoldMin. The four lanes are named, so that they stay in registers.
__attribute__((target("pclmul"))) uint32_t crc32_by_folding(uint32_t reg, const unsigned char* p, size_t count) {
  __m128i x0 = _mm_xor_si128(load_lane(p), _mm_cvtsi32_si128(int(reg)));
  __m128i x1 = load_lane(p + 16), x2 = load_lane(p + 32), x3 = load_lane(p + 48);
  const __m128i fourAhead = _mm_set_epi64x(kFold512High, kFold512Low);
  for (p += kFoldMin, count -= kFoldMin; count >= kFoldMin; p += kFoldMin, count -= kFoldMin) {
    x0 = fold_lane(x0, fourAhead, load_lane(p));
    x1 = fold_lane(x1, fourAhead, load_lane(p + 16));
    x2 = fold_lane(x2, fourAhead, load_lane(p + 32));
    x3 = fold_lane(x3, fourAhead, load_lane(p + 48));
  }
  const __m128i oneAhead = _mm_set_epi64x(kFold128High, kFold128Low);
  return finish_folding(fold_lane(fold_lane(fold_lane(x0, oneAhead, x1), oneAhead, x2), oneAhead, x3), p, count);
}

// The same two lanes at a time in 32-byte registers.
#define KVX_WIDE __attribute__((target("avx2,vpclmulqdq,pclmul")))

KVX_WIDE inline __m256i fold_pair(__m256i pair, __m256i factors, __m256i next) {
  return _mm256_xor_si256(_mm256_xor_si256(_mm256_clmulepi64_epi128(pair, factors, 0x00),
                                           _mm256_clmulepi64_epi128(pair, factors, 0x11)),
                          next);
}

KVX_WIDE inline __m256i load_pair(const unsigned char* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// count >= kWideFoldMin.
KVX_WIDE uint32_t crc32_by_wide_folding(uint32_t reg, const unsigned char* p, size_t count) {
  __m256i y0 = _mm256_xor_si256(load_pair(p), _mm256_setr_epi32(int(reg), 0, 0, 0, 0, 0, 0, 0));
  __m256i y1 = load_pair(p + 32), y2 = load_pair(p + 64), y3 = load_pair(p + 96);
  const __m256i eightAhead = _mm256_set_epi64x(kFold1024High, kFold1024Low, kFold1024High, kFold1024Low);
  for (p += 128, count -= 128; count >= 128; p += 128, count -= 128) {
    y0 = fold_pair(y0, eightAhead, load_pair(p));
    y1 = fold_pair(y1, eightAhead, load_pair(p + 32));
    y2 = fold_pair(y2, eightAhead, load_pair(p + 64));
    y3 = fold_pair(y3, eightAhead, load_pair(p + 96));
  }
  const __m256i twoAhead = _mm256_set_epi64x(kFold256High, kFold256Low, kFold256High, kFold256Low);
  const __m256i y = fold_pair(fold_pair(fold_pair(y0, twoAhead, y1), twoAhead, y2), twoAhead, y3);
  const __m128i oneAhead = _mm_set_epi64x(kFold128High, kFold128Low);
  return finish_folding(fold_lane(_mm256_castsi256_si128(y), oneAhead, _mm256_extracti128_si256(y, 1)), p, count);
}
#endif

// The tables, and the widest folding the processor allows.
void prepare_crc() {
  build_crc_tables();
#ifdef KVX_CRC_FOLDING
  // The processor's own answers rather than __builtin_cpu_supports, whose
  // support code would add kilobytes to the program before its help. The
  // 32-byte registers also need the system's leave (XCR0: SSE and AVX state).
  unsigned eax, ebx, ecx, edx;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_PCLMUL) != 0) {
    crcBest = CrcWay::Folding;
    if ((ecx & bit_OSXSAVE) != 0 && (ecx & bit_AVX) != 0) {
      unsigned xcr0, xcr0High;
      __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
      if ((xcr0 & 6) == 6 && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & bit_AVX2) != 0 &&
          (ecx & bit_VPCLMULQDQ) != 0)
        crcBest = CrcWay::WideFolding;
    }
  }
  crcWay = crcBest;
#endif
  crcReady = true;
}

}  // namespace

CrcWay crc32_use(CrcWay wanted) {
  if (!crcReady) prepare_crc();
#ifdef KVX_CRC_FOLDING
  crcWay = wanted < crcBest ? wanted : crcBest;
  return crcWay;
#else
  (void)wanted;
  return CrcWay::Tables;
#endif
}

uint32_t crc32_block(uint32_t reg, const void* data, size_t count) {
  if (!crcReady) prepare_crc();
  const unsigned char* p = static_cast<const unsigned char*>(data);
#ifdef KVX_CRC_FOLDING
  if (crcWay == CrcWay::WideFolding && count >= kWideFoldMin) return crc32_by_wide_folding(reg, p, count);
  if (crcWay != CrcWay::Tables && count >= kFoldMin) return crc32_by_folding(reg, p, count);
#endif
  return crc32_by_table(reg, p, count);
}

void check_start() {
  if (!crcReady) prepare_crc();
  transfer.inputCount = 0;
  transfer.checkRegister = transfer.checkUpdate == sum16_update ? 0 : 0xFFFFFFFFu;
}

void crc32_update(const void* data, int count) {
  if (count > 0) transfer.checkRegister = crc32_block(transfer.checkRegister, data, static_cast<size_t>(count));
}

void sum16_update(const void* data, int count) {
  if (count <= 0) return;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint32_t sum = transfer.checkRegister;
  for (int i = 0; i < count; i++) sum += p[i];
  transfer.checkRegister = sum & 0xFFFF;
}

uint32_t check_value() { return transfer.checkUpdate == sum16_update ? transfer.checkRegister : ~transfer.checkRegister; }

void copy_bytes(IoFile* source, IoFile* target, int64_t count) {
  copy_bytes_with_check(source, target, count, 0);
}

void copy_bytes_with_check(IoFile* source, IoFile* target, int64_t count, int update) {
  unsigned char piece[kCopyStep];
  while (count > 0) {
    int step = count < kCopyStep ? static_cast<int>(count) : kCopyStep;
    int got = io_read(source, piece, step);
    if (got != step) {
      report_named(MSG_READ_ERROR, transfer.readSourceName, source);
      return;
    }
    if (target != nullptr && io_write(target, piece, got) != got) {
      report_named(MSG_WRITE_ERROR, transfer.writeTargetName, target);
      return;
    }
    if (update) transfer.checkUpdate(piece, got);
    count -= got;
  }
}

int read_with_check(IoFile* source, void* buffer, int count, uint32_t* value) {
  int got = count > 0 ? io_read(source, buffer, count) : 0;
  if (got < 0) got = 0;
  check_start();
  transfer.checkUpdate(buffer, got);
  // check_value rather than a bare complement, so the 16-bit sum comes out right too.
  if (value != nullptr) *value = check_value();
  return got;
}

uint32_t check_region(IoFile* source, int64_t count) {
  unsigned char piece[kRegionStep];
  transfer.checkRegister = 0xFFFFFFFFu;
  if (transfer.textMode) {
    // The carriage returns of CR LF are skipped and do not count towards count.
    bool atEnd = false;
    while (count > 0 && !atEnd) {
      int placed = 0;
      while (placed < kRegionStep && placed < count) {
        int c = io_get_byte(source);
        if (c < 0) {
          atEnd = true;
          break;
        }
        if (c == '\r' && peek_byte(source) == '\n') continue;
        piece[placed++] = static_cast<unsigned char>(c);
      }
      transfer.checkUpdate(piece, placed);
      count -= placed;
    }
  } else {
    while (count > 0) {
      int step = count < kRegionStep ? static_cast<int>(count) : kRegionStep;
      int got = io_read(source, piece, step);
      if (got <= 0) break;
      transfer.checkUpdate(piece, got);
      count -= got;
    }
  }
  return transfer.checkRegister;
}

int drop_carriage_returns(unsigned char* bytes, int count, int next) {
  int placed = 0;
  for (int i = 0; i < count; i++) {
    const int following = i + 1 < count ? bytes[i + 1] : next;
    if (bytes[i] != '\r' || following != '\n') bytes[placed++] = bytes[i];
  }
  return placed;
}

int byte_after_piece(IoFile* source, const unsigned char* piece, int count, int64_t left) {
  if (count <= 0 || left <= 0 || piece[count - 1] != '\r') return -1;
  return peek_byte(source);
}

void copy_stored(uint32_t size) {
  while (size > 0) {
    int want = size < static_cast<uint32_t>(kStoredPiece) ? static_cast<int>(size) : kStoredPiece;
    int got = io_read(transfer.input, storedBuffer, want);
    if (got <= 0) return;
    transfer.checkUpdate(storedBuffer, got);
    if (output_sink(storedBuffer, 0, got) != 0) return;
    if (got < want) return;
    size -= static_cast<uint32_t>(got);
  }
}

int read_member_input(void* buffer, int wanted) {
  unsigned char* bytes = static_cast<unsigned char*>(buffer);
  if (transfer.inputRemaining <= 0) return -1;
  // A read whose bytes are all carriage returns places nothing; reading goes
  // on until something is placed, since the compressors take 0 as the end.
  for (;;) {
    int step = wanted < transfer.inputRemaining ? wanted : static_cast<int>(transfer.inputRemaining);
    int got = step > 0 ? io_read(transfer.input, bytes, step) : 0;
    if (got <= 0) return 0;
    transfer.inputRemaining -= got;
    int placed = got;
    if (transfer.inputChecked) {
      if (transfer.textMode) {
        placed = drop_carriage_returns(bytes, got,
                                       byte_after_piece(transfer.input, bytes, got, transfer.inputRemaining));
      }
      transfer.checkUpdate(bytes, placed);
      transfer.inputCount += static_cast<uint32_t>(placed);
      if (transfer.inputCount != 0 && progress_ticks() > 8) show_progress(transfer.inputCount);
    }
    if (placed > 0 || transfer.inputRemaining <= 0) return placed;
  }
}

int output_sink(const unsigned char* buffer, int from, int to) {
  if (to <= from) return 0;
  transfer.outputCount += static_cast<uint32_t>(to - from);
  if (transfer.output != nullptr) {
    for (int pos = from; pos < to;) {
      // Text members hold LF line ends, which are this platform's own: they
      // are written as they are.
      int piece = to - pos < kOutputPiece ? to - pos : kOutputPiece;
      // Standard output on a terminal is written at once (through the pager
      // when it is on); everything else through the file object.
      bool failed = io_console_write(transfer.output, buffer + pos, piece) != piece;
      if (failed || (transfer.output->flags & IO_WRITE_ERROR)) {
        report_named(MSG_WRITE_ERROR, transfer.writeTargetName, transfer.output);
        // In block mode the members after this one are decoded from where
        // its stream ends: its decoding goes on without output.
        if (codecSettings.blockMode) {
          transfer.output = nullptr;
          break;
        }
        return 1;
      }
      pos += piece;
    }
  }
  // The figure is drawn on the console, so never while member data goes there.
  bool toConsole = transfer.output != nullptr && transfer.output == ioStandardOutput;
  if (transfer.outputCount < transfer.expectedTotal && transfer.showProgress && !toConsole && progress_ticks() >= 9)
    show_progress(transfer.outputCount);
  return 0;
}

int output_window(int from, int to) {
  if (transfer.window == nullptr) return to > from ? 1 : 0;
  return output_sink(transfer.window, from, to);
}

void transfer_begin(IoFile* input, IoFile* output, uint32_t size) {
  transfer.input = input;
  transfer.output = output;
  transfer.expectedTotal = size;
  transfer.outputCount = 0;
  check_start();
  progress_reset();
}

void transfer_announce(const PathName* displayName, const PathName* outputName) {
  if (!displayName) return;
  print_action(*displayName, transfer.output ? ActionKind::Extract : ActionKind::Test);
  if (outputName) {
    // The output is named when it is not what the action line shows already
    // (the full path with paths kept, the name part otherwise).
    char shown[PATH_MAX_TEXT];
    char target[PATH_MAX_TEXT];
    if (platformSettings.pathMode) {
      displayName->full_path(shown);
    } else {
      snprintf(shown, sizeof shown, "%s", displayName->name);
    }
    outputName->full_path(target);
    if (strcmp(shown, target) != 0) {
      print_text(message_text(MSG_TO));
      print_name(target);
      print_text(" \t");
      flush_messages();
      return;
    }
  }
  print_text("  ");
  flush_messages();
}

uint32_t transfer_finish() {
  if (transfer.output) io_flush(transfer.output);
  return check_value();
}

// The shared part of the fuzz targets: see support.h.
#include "support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/settings.h"
#include "codec/common/settings.h"
#include "codec/common/transfer.h"
#include "codec/huff/encode.h"
#include "codec/lz/lz77.h"
#include "codec/methods.h"
#include "codec/pack.h"
#include "formats/format_table.h"
#include "platform/console.h"
#include "platform/iofile.h"
#include "platform/name_table.h"
#include "platform/settings.h"

namespace {

constexpr uint32_t kHiddenEntry = 0x80000000u;     // hidden entries are no members
constexpr uint32_t kMaxProduce = 1u << 20;         // bytes a decoder run may be asked for
constexpr int kPoolLimit = 20000;                  // pooled directory texts kept between runs

std::string scratchDir;                  // the process's own directory
std::vector<std::string> scratchFiles;   // the files made in it

void remove_scratch() {
  for (const std::string& file : scratchFiles) unlink(file.c_str());
  rmdir(scratchDir.c_str());
}

void make_scratch_dir() {
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/kvx-fuzz-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) {
    perror("fuzz: scratch directory");
    abort();
  }
  scratchDir = pattern;
  atexit(remove_scratch);
}

void require(bool holds, const char* what) {
  if (holds) return;
  fprintf(stderr, "round trip: %s\n", what);
  abort();
}

uint32_t le16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t le24(const uint8_t* p) { return le16(p) | uint32_t(p[2]) << 16; }

// "t" of one member: decoded with no output, its action line written.
void test_member(ArchiveFile* archive, PathName& name, void*) {
  if (archive->entry.hidden & kHiddenEntry) return;
  archive->extract(archive, nullptr, &name, nullptr);
}

void decode(const MethodRow& row, IoFile* input, IoFile* output, uint32_t size, uint32_t packed, bool blockMode,
            int* result, uint32_t* check) {
  transfer_begin(input, output, size);
  *result = row.unpack(input, size, packed, blockMode);
  *check = transfer_finish();
}

}  // namespace

void fuzz_start_run() {
  static FILE* nowhere = nullptr;
  if (nowhere == nullptr) {
    nowhere = fopen("/dev/null", "r+");
    if (nowhere == nullptr) abort();
    make_scratch_dir();
  }
  console_use_streams(nowhere, nowhere, nowhere);
  set_error_count(0);
  set_quiet(0);
  platformSettings = PlatformSettings{};
  select_catalog();
  codecSettings = CodecSettings{};
  archiveSettings = ArchiveSettings{};
  transfer = TransferState{};
  // Stored names intern their directories for the whole run; a long fuzzing
  // run would otherwise keep every directory any input ever named.
  if (directory_pool().item_count() > kPoolLimit) directory_pool().release(true);
}

const char* fuzz_scratch(const char* tag) {
  static std::string path;
  path = scratchDir + "/" + tag;
  bool known = false;
  for (const std::string& file : scratchFiles) known = known || file == path;
  if (!known) scratchFiles.push_back(path);
  return path.c_str();
}

const char* fuzz_put(const char* tag, const uint8_t* data, size_t size) {
  const char* path = fuzz_scratch(tag);
  FILE* f = fopen(path, "wb");
  if (f == nullptr || (size > 0 && fwrite(data, 1, size, f) != size) || fclose(f) != 0) {
    perror(path);
    abort();
  }
  return path;
}

std::string fuzz_read_all(const char* path) {
  std::string text;
  if (FILE* f = fopen(path, "rb")) {
    char piece[65536];
    size_t got;
    while ((got = fread(piece, 1, sizeof piece, f)) > 0) text.append(piece, got);
    fclose(f);
  }
  return text;
}

void fuzz_walk(ArchiveKind kind, HeaderRepair repair, const uint8_t* data, size_t size) {
  fuzz_start_run();
  if (size == 0) return;
  const uint8_t choice = data[0];
  std::vector<uint8_t> bytes(data + 1, data + size);
  if ((choice & WALK_REPAIR) && repair && !bytes.empty()) repair(bytes.data(), bytes.size());
  const char* path = fuzz_put("archive", bytes.data(), bytes.size());
  ArchiveFile* archive = open_archive(PathName(path), 1, (choice & WALK_DETECT) ? Detect : kind, 1, 0);
  if (archive == nullptr) return;
  // As "t" reads a block-mode archive: one stream for all its members.
  if (archive->globalFlags & GLOBAL_BLOCKED) codecSettings.blockMode = 1;
  unpack_reset_carry();
  print_archive_comment(archive);
  for_each_entry(archive, test_member);
  close_archive(archive);
}

void fuzz_unpack(int method, const uint8_t* data, size_t size) {
  fuzz_start_run();
  constexpr size_t kHead = 6;
  if (size < kHead) return;
  const bool blockMode = (data[0] & 1) != 0;
  const uint32_t produce = le24(data + 1) % (kMaxProduce + 1);
  const uint32_t packed = static_cast<uint32_t>(size - kHead);
  const uint32_t first = blockMode && le16(data + 4) < packed ? le16(data + 4) : packed;
  IoFile* input = io_open(fuzz_put("stream", data + kHead, packed), IO_MODE_READ);
  if (input == nullptr) abort();
  const MethodRow* row = method_by_code(method);
  unpack_reset_carry();
  int result;
  uint32_t check;
  decode(*row, input, nullptr, produce, first, blockMode, &result, &check);
  if (blockMode) {
    io_seek(input, first, 0);
    decode(*row, input, nullptr, produce, packed - first, true, &result, &check);
  }
  io_close(input);
}

void fuzz_round_trip(const uint8_t* data, size_t size) {
  constexpr size_t kHead = 4;
  if (size < kHead) return;
  const uint8_t choice = data[0];
  const uint8_t* bytes = data + kHead;
  size_t length = size - kHead;
  std::vector<uint8_t> expanded;
  if ((choice & ROUND_EXPAND) && length > 0) {
    // Each copy is XORed with its own byte: the same shapes in new contexts.
    expanded.resize(ROUND_EXPANDED_LENGTH);
    for (size_t i = 0; i < expanded.size(); i++) {
      expanded[i] = static_cast<uint8_t>(bytes[i % length] ^ ((i / length) * 0x9Du));
    }
    bytes = expanded.data();
    length = expanded.size();
  }
  const MethodRow& row = method_for_packing();
  codecSettings.narrowWindow = (choice & ROUND_NARROW) != 0;
  codecSettings.blockMode = (choice & ROUND_BLOCK) != 0;
  const bool memoryMode = (choice & ROUND_MEMORY) && !codecSettings.blockMode && row.code == METHOD_DEFAULT;
  const size_t split = le24(data + 1) < length ? le24(data + 1) : length;

  struct Member {
    int64_t offset, unpacked, packed;
    uint32_t check;
  };
  std::vector<Member> members;
  std::vector<size_t> lengths{length};
  if (codecSettings.blockMode) lengths = {split, length - split};

  const char* plain = fuzz_put("plain", bytes, length);
  IoFile* input = io_open(plain, IO_MODE_READ);
  const std::string packedPath = fuzz_scratch("packed");
  IoFile* archive = memoryMode ? nullptr : io_open(packedPath.c_str(), IO_MODE_CREATE);
  require(input != nullptr && (memoryMode || archive != nullptr), "scratch files");
  transfer.inputChecked = 1;
  lz_reset();
  unpack_reset_carry();
  codec_buffers_alloc();
  for (size_t memberLength : lengths) {
    Member m{};
    m.offset = memoryMode ? 0 : io_tell(archive);
    m.check = pack_member(input, archive, memoryMode, static_cast<int64_t>(memoryMode ? split : memberLength),
                          &m.unpacked, &m.packed);
    members.push_back(m);
  }
  io_close(input);
  transfer.inputChecked = 0;
  if (memoryMode) {
    fuzz_put("packed", codec_memory_buffer(), static_cast<size_t>(codec_memory_size()));
  } else {
    io_close(archive);
  }
  require(error_count() == 0, "packing reported an error");

  archive = io_open(packedPath.c_str(), IO_MODE_READ);
  const std::string unpackedPath = fuzz_scratch("unpacked");
  IoFile* output = io_open(unpackedPath.c_str(), IO_MODE_CREATE);
  require(archive != nullptr && output != nullptr, "scratch files");
  unpack_reset_carry();
  size_t covered = 0;
  for (const Member& m : members) {
    io_seek(archive, m.offset, 0);
    int result;
    uint32_t check;
    decode(row, archive, output, static_cast<uint32_t>(m.unpacked), static_cast<uint32_t>(m.packed),
           codecSettings.blockMode != 0, &result, &check);
    require(result == UNPACK_DONE, "the decoder failed");
    require(check == m.check, "the check values differ");
    covered += static_cast<size_t>(m.unpacked);
  }
  io_close(archive);
  io_close(output);
  require(error_count() == 0, "unpacking reported an error");
  require(memoryMode ? covered <= split : covered == length, "the packed size is not the input's");
  const std::string back = fuzz_read_all(unpackedPath.c_str());
  require(back.size() == covered && back.compare(0, covered, reinterpret_cast<const char*>(bytes), covered) == 0,
          "the bytes differ");
}

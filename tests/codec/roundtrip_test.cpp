// Round trips through the default method: pack_member writes a member, the
// member extraction entry reads it back, for every level, the narrow window,
// block mode and memory mode.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "codec/methods.h"
#include "codec/common/transfer.h"
#include "codec/huff/decode.h"
#include "codec/pack.h"
#include "archive/member.h"
#include "codec/lz/lz77.h"
#include "codec/common/settings.h"
#include "platform/settings.h"
#include "platform/console.h"
#include "platform/iofile.h"
#include "support/temp_dir.h"

namespace {

Bytes text_sample(size_t size, uint32_t seed) {
  static const char* const words[] = {"the ",    "archive ", "member ", "window ",  "of ",
                                      "block ",  "code ",    "and ",    "length ",  "a ",
                                      "value\n", "table ",   "bits ",   "symbol, ", "data. "};
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < size) {
    const char* w = words[rng() % 15];
    for (const char* p = w; *p && out.size() < size; p++) out.push_back(static_cast<uint8_t>(*p));
  }
  return out;
}

Bytes random_sample(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(size);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

// Little-endian counters and small records: structured binary data.
Bytes binary_sample(size_t size) {
  Bytes out;
  for (uint32_t i = 0; out.size() < size; i++) {
    uint32_t v = i * 2654435761u >> (i % 7);
    for (int k = 0; k < 4 && out.size() < size; k++) out.push_back(static_cast<uint8_t>(v >> (8 * k)));
    if (i % 5 == 0 && out.size() < size) out.push_back(0);
  }
  return out;
}

// Text, random stretches and long repeats, large enough to slide the window.
Bytes mixed_sample(size_t size) {
  Bytes out;
  uint32_t seed = 1;
  while (out.size() < size) {
    Bytes part = seed % 3 == 0 ? random_sample(20000, seed) : text_sample(60000, seed);
    out.insert(out.end(), part.begin(), part.end());
    out.insert(out.end(), 3000, static_cast<uint8_t>(seed));
    // A repeat from far back (still within reach of the parser's window).
    if (out.size() > 70000) out.insert(out.end(), out.end() - 60000, out.end() - 59000);
    seed++;
  }
  out.resize(size);
  return out;
}

struct Sample {
  const char* name;
  Bytes data;
};

std::vector<Sample> samples() {
  return {
      {"empty", {}},
      {"one byte", {'x'}},
      {"two bytes", {'x', 'y'}},
      {"1000 equal bytes", Bytes(1000, 'e')},
      {"text", text_sample(50000, 5)},
      {"binary", binary_sample(70000)},
      {"random", random_sample(40000, 9)},
      {"over 400 KB", mixed_sample(450000)},
  };
}

struct Config {
  const char* name;
  int level;
  int narrow;
};

const Config kConfigs[] = {
    {"level 2", 2, 0},   {"level 1", 1, 0},   {"level 0", 0, 0},
    {"level -1", -1, 0}, {"level -2", -2, 0}, {"narrow window", 0, 1},
    {"narrow window, level -2", -2, 1},
};

class RoundTripTest : public testing::Test {
 protected:
  void SetUp() override {
    saved = codecSettings;
    platformSettings.language = 1;
    transfer.showProgress = 1;
    select_catalog();
    messages = tmpfile();
    errors = tmpfile();
    console_use_streams(messages, errors, nullptr);
    set_error_count(0);
    transfer.checkUpdate = crc32_update;
    transfer.inputChecked = 1;
    codec_buffers_alloc();
    lz_reset();
    unpack_reset_carry();
  }
  void TearDown() override {
    codecSettings = saved;
    transfer.inputChecked = 0;
    console_use_streams(stdout, stderr, nullptr);
    fclose(messages);
    fclose(errors);
  }

  std::string temp(const char* tag) { return dir.unique(tag); }

  std::string write_temp(const Bytes& data) {
    std::string name = temp("in");
    write_file(name, data);
    return name;
  }

  struct Packed {
    uint32_t crc;
    int64_t unpacked;
    int64_t packed;
  };

  // Packs data as one member appended to the open archive stream.
  Packed pack(IoFile* archive, const Bytes& data) {
    std::string in = write_temp(data);
    IoFile* input = io_open(in.c_str(), IO_MODE_READ);
    EXPECT_NE(input, nullptr);
    Packed p;
    p.crc = pack_member(input, archive, 0, static_cast<int32_t>(data.size()), &p.unpacked, &p.packed);
    io_close(input);
    return p;
  }

  // Reads one member at `offset` of the archive file back through unpack_member.
  Bytes unpack(const std::string& archivePath, int32_t offset, const Packed& p, bool blockMode,
               uint32_t* crc) {
    ArchiveFile archive;
    archive.file = io_open(archivePath.c_str(), IO_MODE_READ);
    EXPECT_NE(archive.file, nullptr);
    archive.kind = Kvn;
    archive.globalFlags = blockMode ? GLOBAL_BLOCKED : 0;
    archive.entry.methodCode = METHOD_DEFAULT;
    archive.entry.packedSize = static_cast<uint32_t>(p.packed);
    archive.entry.unpackedSize = static_cast<uint32_t>(p.unpacked);
    io_seek(archive.file, offset, 0);
    std::string outName = temp("out");
    IoFile* out = io_open(outName.c_str(), IO_MODE_CREATE);
    *crc = unpack_member(&archive, out, nullptr, nullptr);
    io_close(out);
    io_close(archive.file);
    return read_file(outName);
  }

  CodecSettings saved;
  FILE* messages = nullptr;
  FILE* errors = nullptr;
  TempDir dir{"kvx-roundtrip"};
};

TEST_F(RoundTripTest, EverySampleAtEveryLevel) {
  for (const Config& config : kConfigs) {
    codecSettings.level = config.level;
    codecSettings.narrowWindow = config.narrow;
    for (const Sample& sample : samples()) {
      SCOPED_TRACE(std::string(config.name) + ", " + sample.name);
      std::string archivePath = temp("arc");
      IoFile* archive = io_open(archivePath.c_str(), IO_MODE_CREATE);
      ASSERT_NE(archive, nullptr);
      Packed p = pack(archive, sample.data);
      io_close(archive);
      EXPECT_EQ(p.unpacked, static_cast<int32_t>(sample.data.size()));
      EXPECT_EQ(p.crc, crc32_of(sample.data.data(), sample.data.size()));
      uint32_t crc = 0;
      Bytes back = unpack(archivePath, 0, p, false, &crc);
      EXPECT_EQ(crc, p.crc);
      EXPECT_EQ(back.size(), sample.data.size());
      EXPECT_TRUE(back == sample.data);
    }
  }
  EXPECT_EQ(error_count(), 0);
}

TEST_F(RoundTripTest, BlockModeMembersShareOneWindow) {
  codecSettings.blockMode = 1;
  Bytes text = text_sample(30000, 21);
  const Bytes members[] = {text, Bytes(text.begin() + 100, text.begin() + 9000), {}, text,
                           mixed_sample(200000), text};
  std::string archivePath = temp("block");
  IoFile* archive = io_open(archivePath.c_str(), IO_MODE_CREATE);
  ASSERT_NE(archive, nullptr);
  std::vector<Packed> packed;
  std::vector<int32_t> offsets;
  for (const Bytes& m : members) {
    offsets.push_back(io_tell(archive));
    packed.push_back(pack(archive, m));
  }
  io_close(archive);
  // The fourth member repeats the first: in block mode it costs almost nothing.
  EXPECT_LT(packed[3].packed, packed[0].packed / 4);
  for (size_t i = 0; i < packed.size(); i++) {
    SCOPED_TRACE(i);
    uint32_t crc = 0;
    Bytes back = unpack(archivePath, offsets[i], packed[i], true, &crc);
    EXPECT_EQ(crc, crc32_of(members[i].data(), members[i].size()));
    EXPECT_TRUE(back == members[i]);
  }
  EXPECT_EQ(error_count(), 0);
}

TEST_F(RoundTripTest, MemoryModeCoversExactlyTheBytesItCoded) {
  Bytes data = mixed_sample(300000);
  std::string in = write_temp(data);
  for (int32_t budget : {200000, 30000, 5000}) {
    SCOPED_TRACE(budget);
    IoFile* input = io_open(in.c_str(), IO_MODE_READ);
    ASSERT_NE(input, nullptr);
    Packed p;
    p.crc = pack_member(input, nullptr, 1, budget, &p.unpacked, &p.packed);
    io_close(input);
    ASSERT_GT(p.unpacked, 0);
    ASSERT_LE(p.unpacked, budget);
    Bytes coded(codec_memory_buffer(), codec_memory_buffer() + codec_memory_size());
    std::string arc = write_temp(coded);
    uint32_t crc = 0;
    Bytes back = unpack(arc, 0, p, false, &crc);
    EXPECT_EQ(crc, p.crc);
    EXPECT_TRUE(back == Bytes(data.begin(), data.begin() + p.unpacked));
  }
}

}  // namespace

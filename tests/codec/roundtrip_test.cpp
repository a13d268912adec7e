// Round trips through the default method: pack_member writes a member, the
// member extraction entry reads it back, for every level, the narrow window,
// block mode and memory mode.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/codec_fixture.h"

namespace {

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

using RoundTripTest = MemberCodecTest;

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

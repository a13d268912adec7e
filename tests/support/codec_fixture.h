// Sample data for the codec tests and a fixture that packs members with
// pack_member into an archive file and reads them back through the member
// extraction entry, with the console captured.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/member.h"
#include "codec/common/settings.h"
#include "codec/common/transfer.h"
#include "codec/lz/lz77.h"
#include "codec/methods.h"
#include "codec/pack.h"
#include "platform/console.h"
#include "platform/iofile.h"
#include "platform/settings.h"
#include "support/temp_dir.h"

inline Bytes text_sample(size_t size, uint32_t seed) {
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

inline Bytes random_sample(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(size);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

// Little-endian counters and small records: structured binary data.
inline Bytes binary_sample(size_t size) {
  Bytes out;
  for (uint32_t i = 0; out.size() < size; i++) {
    uint32_t v = i * 2654435761u >> (i % 7);
    for (int k = 0; k < 4 && out.size() < size; k++) out.push_back(static_cast<uint8_t>(v >> (8 * k)));
    if (i % 5 == 0 && out.size() < size) out.push_back(0);
  }
  return out;
}

// Text, random stretches and long repeats, large enough to slide the window.
inline Bytes mixed_sample(size_t size) {
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

class MemberCodecTest : public testing::Test {
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

  // Packs data with the method the codec settings choose, as one member
  // appended to the open archive stream.
  Packed pack(IoFile* archive, const Bytes& data) {
    std::string in = write_temp(data);
    IoFile* input = io_open(in.c_str(), IO_MODE_READ);
    EXPECT_NE(input, nullptr);
    Packed p;
    p.crc = pack_member(input, archive, 0, static_cast<int32_t>(data.size()), &p.unpacked, &p.packed);
    io_close(input);
    return p;
  }

  // Reads one member of `method` at `offset` of the archive file back
  // through unpack_member.
  Bytes unpack(const std::string& archivePath, int64_t offset, const Packed& p, bool blockMode,
               uint32_t* crc, int method = METHOD_DEFAULT) {
    ArchiveFile archive;
    archive.file = io_open(archivePath.c_str(), IO_MODE_READ);
    EXPECT_NE(archive.file, nullptr);
    archive.kind = Kvn;
    archive.globalFlags = blockMode ? GLOBAL_BLOCKED : 0;
    archive.entry.methodCode = method;
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
  TempDir dir{"kvx-codec"};
};

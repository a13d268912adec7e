// Test helper: archives of kvx's own format made byte by byte, damaged on
// purpose where a test needs it, and the checks every safety test makes.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "codec/common/transfer.h"
#include "archive/kvn_format.h"
#include "e2e/e2e.h"

namespace e2e {

inline std::string be_bytes(uint32_t v, int count) {
  std::string s;
  for (int i = count - 1; i >= 0; --i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

// The global header, with a comment (stored with its zero) when one is given.
inline std::string kvn_global(uint16_t flags = GLOBAL_WIDE_WINDOW, const std::string& comment = "") {
  std::string s = std::string("\xFF" "KVG", 4) + be_bytes(flags, 2);
  if (!comment.empty()) s += be_bytes(uint32_t(comment.size() + 1), 4) + comment + std::string(1, '\0');
  return s;
}

// The header of a stored member, written by the format's own writer; the
// packed size may be given apart from the data (for damage).
inline std::string kvn_header(const std::string& name, const std::string& data, uint16_t flags = ENTRY_STORED,
                              int64_t packedSize = -1) {
  EntryInfo entry;
  entry.flags = flags;
  entry.time = 0x224FAB2F;  // 15 February 1997
  entry.name.assign_stored(name.c_str());
  entry.unpackedSize = uint32_t(data.size());
  entry.packedSize = packedSize < 0 ? uint32_t(data.size()) : uint32_t(packedSize);
  entry.dataCrc = crc32_of(data.data(), data.size());
  unsigned char buffer[KVN_HEADER_CAPACITY];
  int length = build_entry_header(buffer, sizeof buffer, &entry);
  return length > 0 ? std::string(reinterpret_cast<char*>(buffer), size_t(length)) : std::string();
}

inline std::string kvn_member(const std::string& name, const std::string& data) {
  return kvn_header(name, data) + data;
}

// An entry header around any body, with its length and a valid header CRC.
inline std::string kvn_raw_header(const std::string& body) {
  return std::string("\xFF" "KVX", 4) + be_bytes(uint32_t(body.size()), 2) + body +
         be_bytes(crc32_of(body.data(), body.size()), 4);
}

inline const std::string kvn_end = std::string(2, '\0');

// Whether a temporary archive (or anything of that name form) is in the sandbox.
inline bool has_temp_file(const Sandbox& box) {
  for (const std::string& name : box.list())
    if (name.rfind("_kv", 0) == 0) return true;
  return false;
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace e2e

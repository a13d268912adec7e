// Test support: archives of kvx's own format made byte by byte, so that a
// test can write exactly the headers it needs, damaged ones included.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "codec/common/transfer.h"

namespace kvn {

// The low count bytes of v, most significant first.
inline std::string be(uint32_t v, int count) {
  std::string s;
  for (int i = count - 1; i >= 0; --i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

// The global header. A comment (stored with its zero) is written when the
// flags have a comment bit, and sets GLOBAL_COMMENT when it is not empty.
inline std::string global(uint16_t flags = GLOBAL_WIDE_WINDOW, const std::string& comment = "") {
  if (!comment.empty() && !(flags & (GLOBAL_COMMENT | GLOBAL_COMMENT_ALT))) flags |= GLOBAL_COMMENT;
  std::string s = std::string("\xFF" "KVG", 4) + be(flags, 2);
  if (flags & (GLOBAL_COMMENT | GLOBAL_COMMENT_ALT)) s += be(uint32_t(comment.size() + 1), 4) + comment + '\0';
  return s;
}

inline const std::string end(2, '\0');

// One member header as an archive holds it, every field as given.
struct Entry {
  std::string name;
  uint16_t flags = 0;
  uint8_t host = 5;
  uint8_t attribute = 0;
  uint32_t time = 0;
  uint32_t unpacked = 0;
  uint32_t packed = 0;
  uint32_t crc = 0;
  uint32_t pieceOffset = 0;   // written with ENTRY_PIECE
  std::string comment;        // written with ENTRY_COMMENT
  uint32_t unixMode = 0;      // the extension block, written with ENTRY_EXTENSION (hosts 1 and 4):
  uint32_t unixTime = 0;      // mode, seconds since 1970, user and group,
  uint32_t uid = 0;
  uint32_t gid = 0;
  std::string linkTarget;     // then the link target
  std::string longName;       // the extension block of hosts 3 and 5: a name replacing the body's
};

// An entry header around any body, with its length and a valid header CRC.
inline std::string raw_header(const std::string& body) {
  return std::string("\xFF" "KVX", 4) + be(uint32_t(body.size()), 2) + body +
         be(crc32_of(body.data(), body.size()), 4);
}

inline std::string header(const Entry& e) {
  std::string body = be(e.flags, 2) + static_cast<char>(e.host) + static_cast<char>(e.attribute) + be(e.time, 4) +
                     e.name + '\0';
  if (e.flags & ENTRY_PIECE) body += be(e.pieceOffset, 4);
  body += be(e.unpacked, 4) + be(e.packed, 4) + be(e.crc, 4);
  if (e.flags & ENTRY_COMMENT) body += be(uint32_t(e.comment.size()), 2) + e.comment;
  if ((e.flags & ENTRY_EXTENSION) && (e.host == 3 || e.host == 5)) {
    body += be(uint32_t(e.longName.size()), 2) + e.longName;
  } else if (e.flags & ENTRY_EXTENSION) {
    body += be(uint32_t(16 + e.linkTarget.size()), 2) + be(e.unixMode, 4) + be(e.unixTime, 4) + be(e.uid, 4) +
            be(e.gid, 4);
    body += e.linkTarget;
  }
  return raw_header(body);
}

// The entry of a member holding data stored; a packed size of its own may be
// given (for damage).
inline Entry stored(const std::string& name, const std::string& data, uint16_t flags = ENTRY_STORED,
                    int64_t packed = -1) {
  Entry e;
  e.name = name;
  e.flags = flags;
  e.time = 0x224FAB2F;  // 15 February 1997
  e.unpacked = uint32_t(data.size());
  e.packed = packed < 0 ? uint32_t(data.size()) : uint32_t(packed);
  e.crc = crc32_of(data.data(), data.size());
  return e;
}

inline std::string member(const std::string& name, const std::string& data, uint16_t flags = ENTRY_STORED) {
  return header(stored(name, data, flags)) + data;
}

// An archive of stored members (name, data) with its end marker.
inline std::string archive(const std::vector<std::pair<std::string, std::string>>& members,
                           uint16_t flags = GLOBAL_WIDE_WINDOW) {
  std::string out = global(flags);
  for (const auto& m : members) out += member(m.first, m.second);
  return out + end;
}

}  // namespace kvn

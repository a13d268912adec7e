// Test helper: reads the members of an archive of kvx's own format straight
// from its bytes, so tests can check order, flags and byte-for-byte copies
// without going through kvx itself; and sets file times.
#pragma once

#include <sys/stat.h>
#include <sys/time.h>

#include <cstdint>
#include <string>
#include <vector>

namespace e2e {

struct KvnMember {
  std::string name;
  uint16_t flags = 0;
  uint32_t time = 0;         // packed DOS date and time
  uint32_t pieceOffset = 0;  // with flag 0x0008
  uint32_t unpacked = 0;
  uint32_t packed = 0;
  std::string bytes;         // the whole member: header and data
};

struct KvnArchive {
  bool ok = false;           // the layout held up to the end marker
  uint16_t globalFlags = 0;
  std::vector<KvnMember> members;
};

inline uint32_t kvn_be(const std::string& s, size_t at, int count) {
  uint32_t v = 0;
  for (int i = 0; i < count; ++i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
  return v;
}

inline KvnArchive read_kvn(const std::string& data) {
  KvnArchive archive;
  size_t at = data.find(std::string("\xFF" "KVG", 4));
  if (at == std::string::npos || at + 6 > data.size()) return archive;
  archive.globalFlags = static_cast<uint16_t>(kvn_be(data, at + 4, 2));
  at += 6;
  if (archive.globalFlags & 0x0300) at += 4 + kvn_be(data, at, 4);
  while (at + 2 <= data.size()) {
    if (data[at] == 0 && data[at + 1] == 0) {
      archive.ok = at + 2 == data.size();
      return archive;
    }
    if (at + 6 > data.size() || data.compare(at, 4, "\xFF" "KVX", 4) != 0) return archive;
    size_t length = kvn_be(data, at + 4, 2);
    size_t body = at + 6;
    if (body + length + 4 > data.size()) return archive;
    KvnMember m;
    m.flags = static_cast<uint16_t>(kvn_be(data, body, 2));
    m.time = kvn_be(data, body + 4, 4);
    size_t p = body + 8;
    while (p < body + length && data[p] != 0) m.name += data[p++];
    ++p;
    if (m.flags & 0x0008) {
      m.pieceOffset = kvn_be(data, p, 4);
      p += 4;
    }
    m.unpacked = kvn_be(data, p, 4);
    m.packed = kvn_be(data, p + 4, 4);
    size_t end = body + length + 4 + m.packed;
    if (end > data.size()) return archive;
    m.bytes = data.substr(at, end - at);
    archive.members.push_back(m);
    at = end;
  }
  return archive;
}

inline std::vector<std::string> kvn_names(const KvnArchive& archive) {
  std::vector<std::string> names;
  for (const KvnMember& m : archive.members) names.push_back(m.name);
  return names;
}

inline const KvnMember* kvn_find(const KvnArchive& archive, const std::string& name) {
  for (const KvnMember& m : archive.members)
    if (m.name == name) return &m;
  return nullptr;
}

// Sets a file's access and modification time (seconds since 1970).
inline void set_file_time(const std::string& path, long seconds) {
  struct timeval times[2] = {{seconds, 0}, {seconds, 0}};
  utimes(path.c_str(), times);
}

inline long file_mtime(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_mtime) : -1;
}

// Bytes that do not shrink, and text that does.
inline std::string noise(size_t size, unsigned seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    s[i] = static_cast<char>(seed >> 16);
  }
  return s;
}

inline std::string prose(size_t size, const std::string& word = "archive ") {
  std::string s;
  while (s.size() < size) s += word + std::to_string(s.size() % 97) + " ";
  s.resize(size);
  return s;
}

}  // namespace e2e

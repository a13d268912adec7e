// Path names: the canonical form of path texts, splitting and joining, the
// stored form kept in archives, ordering, and volume names.
#include "platform/paths.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/settings.h"
#include "platform/console.h"
#include "platform/name_table.h"
#include "platform/os.h"

namespace {

constexpr int TEXT_LIMIT = PATH_MAX_TEXT - 1;  // longest text a buffer holds

char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool is_lower_drive(const char* text) { return text[0] >= 'a' && text[0] <= 'z' && text[1] == ':'; }

bool is_wildcard(char c) { return c == '*' || c == '?' || c == '['; }

bool has_wildcard(const char* text) {
  for (; text && *text; ++text) {
    if (is_wildcard(*text)) return true;
  }
  return false;
}

// Removes the n bytes at text + at (the rest moves up, zero included).
void cut(char* text, size_t at, size_t n) { memmove(text + at, text + at + n, strlen(text + at + n) + 1); }

// Appends src to dst holding `used` bytes; false (dst unchanged) when dst cannot hold them.
bool append(char* dst, size_t& used, const char* src) {
  size_t n = strlen(src);
  if (used + n > static_cast<size_t>(TEXT_LIMIT)) return false;
  memcpy(dst + used, src, n + 1);
  used += n;
  return true;
}

// dir and name as full_path forms them, normalized into dst; -1 when too long.
int compose_full(char* dst, const char* dir, const char* name) {
  char work[PATH_MAX_TEXT];
  size_t used = 0;
  work[0] = '\0';
  if (dir && strcmp(dir, ".") != 0) {
    if (!append(work, used, dir)) return -1;
    if (name[0] && !append(work, used, "/")) return -1;
  }
  if (!append(work, used, name)) return -1;
  return path_normalize(dst, work, PATH_MODE_NORMAL);
}

int compare_folded(const char* a, const char* b) {
  for (;; ++a, ++b) {
    unsigned char ca = static_cast<unsigned char>(lower_ascii(*a));
    unsigned char cb = static_cast<unsigned char>(lower_ascii(*b));
    if (ca != cb) return ca < cb ? -1 : 1;
    if (!ca) return 0;
  }
}

int compare_bytes(const char* a, const char* b) {
  int r = strcmp(a, b);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

// The text after the drive, network and leading-slash removals of the stored form.
const char* stored_part(const char* text) {
  if (is_lower_drive(text)) text += 2;
  if (text[0] == '/' && text[1] == '/') {
    const char* next = strchr(text + 2, '/');
    if (next) text = next;
  }
  if (platformSettings.stripLeadingSlash && text[0] == '/') ++text;
  return text;
}

}  // namespace

// The one place that words the refusal of an overlong path text.
void report_name_too_long(const char* text) { report_error_with("name is too long: %", text); }

bool path_leads_outside(const char* text) {
  const auto separator = [](char c) { return c == '/' || c == '\\'; };
  if (separator(text[0])) return true;
  const bool letter = (text[0] >= 'a' && text[0] <= 'z') || (text[0] >= 'A' && text[0] <= 'Z');
  if (letter && text[1] == ':') return true;
  for (const char* part = text; *part;) {
    size_t length = 0;
    while (part[length] && !separator(part[length])) ++length;
    if (length >= 2 && strspn(part, ".") >= length) return true;
    if (!part[length]) break;
    part += length + 1;
  }
  return false;
}

int path_normalize(char* dst, const char* src, int mode) {
  if (!src) src = "";
  size_t length = strlen(src);
  if (length > static_cast<size_t>(TEXT_LIMIT)) {
    dst[0] = '\0';
    return -1;
  }
  memmove(dst, src, length + 1);

  if (mode == PATH_MODE_NORMAL || mode == PATH_MODE_FOLD) {
    bool line_end = false;
    for (char* p = dst; *p; ++p) {
      if (*p == '\n') {
        *p = '\0';
        line_end = true;
        break;
      }
      if (*p == '\\') *p = '/';
      if (mode == PATH_MODE_FOLD) *p = lower_ascii(*p);
    }
    length = strlen(dst);
    if (!line_end && length > 0 && dst[length - 1] == '.' && dst[0] != '.') dst[--length] = '\0';
  }

  if (is_lower_drive(dst)) {
    if (dst[2] == '/' && dst[3] == '\0') strcpy(dst + 3, ".");
    else if (dst[2] == '\0') strcpy(dst + 2, ".");
  }
  if (strcmp(dst, "/") == 0) strcpy(dst, "/.");

  for (char* at = strstr(dst, "/./"); at; at = strstr(dst, "/./")) cut(dst, static_cast<size_t>(at - dst), 2);
  if (dst[0]) {
    for (char* at = strstr(dst + 1, "//"); at; at = strstr(dst + 1, "//")) cut(dst, static_cast<size_t>(at - dst), 1);
  }
  if (dst[0] == '.' && dst[1] == '/') cut(dst, 0, 2);
  return 0;
}

char* path_normalize_dup(const char* text) {
  char buffer[PATH_MAX_TEXT];
  if (path_normalize(buffer, text, PATH_MODE_NORMAL) != 0) return nullptr;
  return strdup(buffer);
}

const SplitPath* path_split(const char* text) {
  static SplitPath result;
  char work[PATH_MAX_TEXT + 1];  // room for the slash added after a drive's directory
  if (!text) text = "";
  size_t length = strlen(text);
  if (length > static_cast<size_t>(TEXT_LIMIT)) return nullptr;
  memcpy(work, text, length + 1);
  for (char* p = work; *p; ++p) {
    if (*p == '\\') *p = '/';
  }
  bool drive = work[0] && work[1] == ':';
  if (drive && length > 0 && work[length - 1] == '/') {
    work[length] = '/';
    work[length + 1] = '\0';
  }
  char* body = drive ? work + 2 : work;
  char* last = strrchr(body, '/');
  char prefix[4] = {0, 0, 0, 0};
  if (drive) memcpy(prefix, work, 2);

  if (!last) {
    if (path_normalize(result.name, body, PATH_MODE_NORMAL) != 0) return nullptr;
    snprintf(result.dir, sizeof result.dir, "%s.", prefix);
    return &result;
  }
  if (path_normalize(result.name, last + 1, PATH_MODE_NORMAL) != 0) return nullptr;
  if (last == body) {
    char root[8];
    snprintf(root, sizeof root, "%s/", prefix);
    path_normalize(result.dir, root, PATH_MODE_NORMAL);
  } else {
    *last = '\0';
    if (path_normalize(result.dir, work, PATH_MODE_NORMAL) != 0) return nullptr;
  }
  return &result;
}

const char* path_join(const char* dir, const char* name) {
  static char result[PATH_MAX_TEXT];
  char work[PATH_MAX_TEXT];
  size_t used = 0;
  work[0] = '\0';
  if (dir && strcmp(dir, ".") != 0) {
    if (!append(work, used, dir)) return nullptr;
    if ((used == 0 || work[used - 1] != '/') && !append(work, used, "/")) return nullptr;
  }
  if (!append(work, used, name ? name : "")) return nullptr;
  if (path_normalize(result, work, PATH_MODE_NORMAL) != 0) return nullptr;
  return result;
}

const char* dir_intern(const char* text) {
  DirectoryEntry* entry = directory_pool().intern(text);
  return entry ? entry->text : nullptr;
}

PathName::PathName(const char* text) : dir(nullptr) {
  name[0] = '\0';
  assign(text);
}

PathName::PathName(const char* dir_text, const char* name_text) : dir(nullptr) {
  name[0] = '\0';
  const char* joined = path_join(dir_text, name_text);
  if (!joined) {
    char shown[2 * PATH_MAX_TEXT];  // for the message only: the console cuts it further
    snprintf(shown, sizeof shown, "%s/%s", dir_text ? dir_text : ".", name_text ? name_text : "");
    report_name_too_long(shown);
    dir = dir_intern(".");
    refused = true;
    return;
  }
  assign(joined);
}

PathName::PathName(const PathName& other) : dir(nullptr) {
  name[0] = '\0';
  *this = other;
}

PathName& PathName::operator=(const PathName& other) {
  if (other.refused) {
    dir = dir_intern(".");
    name[0] = '\0';
    refused = true;
    return *this;
  }
  char text[PATH_MAX_TEXT];
  assign(other.full_path(text));
  return *this;
}

void PathName::assign(const char* text) {
  refused = false;
  const SplitPath* parts = path_split(text);
  char whole[PATH_MAX_TEXT];
  if (parts && compose_full(whole, parts->dir, parts->name) == 0) {
    dir = dir_intern(parts->dir);
    memcpy(name, parts->name, strlen(parts->name) + 1);
    return;
  }
  // Refused: an empty path that names nothing, so no caller acts on a cut name.
  report_name_too_long(text);
  dir = dir_intern(".");
  name[0] = '\0';
  refused = true;
}

void PathName::assign_stored(const char* text) {
  if (!text) text = "";
  if (strlen(text) > static_cast<size_t>(TEXT_LIMIT)) {
    assign(text);  // refused with its report
    return;
  }
  char copy[PATH_MAX_TEXT];
  strcpy(copy, stored_part(text));
  assign(copy);
}

char* PathName::full_path(char* dst) const {
  if (refused || compose_full(dst, dir, name) != 0) {
    if (!refused) report_name_too_long(name);
    dst[0] = '\0';
  }
  return dst;
}

const char* PathName::full_path() const {
  static char result[PATH_MAX_TEXT];
  return full_path(result);
}

void PathName::stored_name(char* dst) const {
  char whole[PATH_MAX_TEXT];
  full_path(whole);
  const char* part = stored_part(whole);
  memmove(dst, part, strlen(part) + 1);
}

bool PathName::has_wildcards() const { return has_wildcard(name) || has_wildcard(dir); }

bool PathName::is_directory() const {
  if (refused || has_wildcards()) return false;
  if (!name[0]) return true;
  FileStatus status;
  return path_stat(*this, status) == 0 && status.is_directory();
}

PathName* PathName::next_volume_name(char lead) {
  char* dot = strrchr(name, '.');
  if (!dot) return nullptr;
  const char* digits = dot + 1;
  if (lead != 0 && (*digits | 0x20) == (lead | 0x20)) ++digits;
  const int limit = lead != 0 ? 99 : 999;
  int value = 0;
  if (lead == 0 || digits != dot + 1)
    for (const char* p = digits; *p >= '0' && *p <= '9' && value < limit; ++p) value = value * 10 + (*p - '0');
  ++value;
  if (value >= limit) return nullptr;
  size_t at = static_cast<size_t>(dot - name) + 1;
  char candidate[PATH_MAX_TEXT];
  if (at + 3 > static_cast<size_t>(TEXT_LIMIT)) return nullptr;
  memcpy(candidate, name, at);
  if (lead != 0)
    snprintf(candidate + at, sizeof candidate - at, "%c%02d", lead, value);
  else
    snprintf(candidate + at, sizeof candidate - at, "%03d", value);
  char whole[PATH_MAX_TEXT];
  if (compose_full(whole, dir, candidate) != 0) return nullptr;
  strcpy(name, candidate);
  return this;
}

// Directory texts first, then names, ignoring case; texts that differ only in
// case are then told apart byte by byte, so that on a case-sensitive file
// system two distinct files never count as one.
int path_compare(const PathName& a, const PathName& b) {
  const char* dir_a = a.dir ? a.dir : ".";
  const char* dir_b = b.dir ? b.dir : ".";
  int r = 0;
  if (dir_a != dir_b) r = compare_folded(dir_a, dir_b);
  if (r == 0) r = compare_folded(a.name, b.name);
  if (r == 0 && dir_a != dir_b) r = compare_bytes(dir_a, dir_b);
  if (r == 0) r = compare_bytes(a.name, b.name);
  return r;
}

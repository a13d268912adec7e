// Path names: a pooled directory text plus a name part, with the canonical
// form, stored forms and volume names used everywhere in kvx.
#pragma once

constexpr int PATH_MAX_TEXT = 512;  // every path text fits 511 bytes and its zero

struct PathName {
  const char* dir;            // pooled directory text ("." for the current one); compared by pointer
  char name[PATH_MAX_TEXT];   // name part, zero-terminated; empty when the path is a directory

  explicit PathName(const char* text);
  PathName(const char* dir, const char* name);
  PathName(const PathName& other);
  PathName& operator=(const PathName& other);

  void assign(const char* text);
  void assign_stored(const char* text);
  char* full_path(char* dst) const;   // dst holds PATH_MAX_TEXT bytes
  const char* full_path() const;      // shared result buffer, valid until the next call
  void stored_name(char* dst) const;  // dst holds PATH_MAX_TEXT bytes
  bool has_wildcards() const;
  bool is_directory() const;
  PathName* next_volume_name();       // itself, or null when there is no next name
};

int path_compare(const PathName& a, const PathName& b);

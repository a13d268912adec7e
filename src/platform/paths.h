// Path names: a pooled directory text plus a name part, with the canonical
// form, stored forms and volume names used everywhere in kvx.
#pragma once

constexpr int PATH_MAX_TEXT = 512;  // every path text fits 511 bytes and its zero

struct PathName {
  const char* dir;            // pooled directory text ("." for the current one); compared by pointer
  char name[PATH_MAX_TEXT];   // name part, zero-terminated; empty when the path is a directory

  bool refused = false;       // the text given was too long: the path is empty and names nothing

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
  // Itself with the extension of the next volume (".001" after any other,
  // then ".002" ... up to ".998"; with a lead letter ".a01" ... ".a99"), or
  // null when there is no next name.
  PathName* next_volume_name(char lead = 0);
};

int path_compare(const PathName& a, const PathName& b);

// Text operations on path texts. Every text is zero-terminated and at most
// PATH_MAX_TEXT - 1 bytes; longer inputs are refused, never cut.

constexpr int PATH_MODE_NORMAL = 5;  // canonical form
constexpr int PATH_MODE_FOLD = 0;    // canonical form with A-Z folded to a-z; other modes skip the character pass

// Copies src into dst (they may be the same buffer, dst holds PATH_MAX_TEXT
// bytes) in canonical form. Answers 0, or -1 when src is too long (dst is then empty).
int path_normalize(char* dst, const char* src, int mode);
// The canonical form (normal mode) as a heap copy to be released with free(); null when memory is short or the text is too long.
char* path_normalize_dup(const char* text);

struct SplitPath {
  char dir[PATH_MAX_TEXT];   // directory part: "." for none, "x:." for a drive alone, "/." for the root
  char name[PATH_MAX_TEXT];  // name part, possibly empty
};
// Splits text into directory and name in a shared result (valid until the next
// call); null when the text is too long.
const SplitPath* path_split(const char* text);
// dir joined with name in canonical form, in a shared buffer valid until the
// next call; null when the result would be too long.
const char* path_join(const char* dir, const char* name);
// The pooled copy of a directory text: one pointer per distinct text for the whole run; null when memory is short.
const char* dir_intern(const char* text);
// Reports a path text refused for its length as a counted error.
void report_name_too_long(const char* text);
// Whether a path text, taken from outside (a stored member name, a typed
// name), would lead out of the directory it is meant for: absolute (a leading
// '/' or '\\', or a drive "x:"), or with a component of two or more dots
// alone; '/' and '\\' both separate components.
bool path_leads_outside(const char* text);

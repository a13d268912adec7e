// Directory listings, the wildcard language, and sorted, duplicate-free lists
// of file specifications expanded on disk.
#include "platform/scan.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <set>

#include "platform/settings.h"
#include "platform/console.h"
#include "platform/name_table.h"
#include "platform/os.h"

namespace {

const char* const kPackedExtensions = ".arc,.arj,.kvx,.kvn,.lzh,.zip,.zoo,.hpk,.pak,.uc2,.sqz,.rar,.gz,.tgz";

int foundOnDisk = 0;   // entries expanding specifications found, see spec_found_count

const char* const kNoMatchingMember = "%: no matching member";
// Set while the archives of a wildcard archive name are worked through.
bool unmatchedDeferred = false;

// Visitor of spec_matches: 1 for a specification that matches the name. A
// specification with a directory part matches the member's whole path,
// whatever the path mode; one without matches its name part unless paths
// are kept.
bool has_directory_part(const PathName& pattern) { return pattern.dir && strcmp(pattern.dir, ".") != 0; }

int mark_match(FileSpecList&, SpecNode* node, void* name) {
  const PathName* pattern = node->path;
  return path_match(static_cast<const PathName*>(name), pattern, platformSettings.pathMode || has_directory_part(*pattern))
             ? 1
             : 0;
}

// Whether an exclusion matches the path whose whole text is whole and whose
// last part is name.
bool excluded_text(const char* whole, const char* name) {
  for (SpecNode* node = platformSettings.exclusions; node; node = node->next) {
    const PathName& pattern = *node->path;
    if (has_directory_part(pattern)) {
      char mask[PATH_MAX_TEXT];
      if (wild_match(whole, pattern.full_path(mask))) return true;
    } else if (wild_match(name, pattern.name)) {
      return true;
    }
  }
  return false;
}

char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Outcome of one '[...]' set against character c.
enum SetResult { SET_MISS, SET_HIT, SET_UNCLOSED_MISS, SET_UNCLOSED_HIT };

// Matches c against the set whose text starts after '['; on a closed set
// *after points past its ']'.
SetResult match_set(const char* p, char c, const char** after) {
  bool negate = false;
  if (*p == '!') {
    negate = true;
    ++p;
  }
  bool inside = false;
  signed char sc = static_cast<signed char>(c);
  while (*p && *p != ']') {
    signed char low = static_cast<signed char>(*p);
    signed char high = low;
    if (p[1] == '-' && p[2] && p[2] != ']') {
      high = static_cast<signed char>(p[2]);
      p += 3;
    } else {
      ++p;
    }
    if (sc >= low && sc <= high) inside = true;
  }
  bool hit = inside != negate;
  if (*p != ']') return hit ? SET_UNCLOSED_HIT : SET_UNCLOSED_MISS;
  *after = p + 1;
  return hit ? SET_HIT : SET_MISS;
}

// Whether p's full path is itself a symbolic link (lstat does not follow it).
bool is_symlink(const PathName& p) {
  char full[PATH_MAX_TEXT];
  p.full_path(full);
  struct stat info;
  return full[0] && lstat(full, &info) == 0 && S_ISLNK(info.st_mode);
}

bool listed_before(const char* dir) {
  DirectoryEntry* entry = directory_pool().entry(dir ? dir : ".");
  return entry && entry->mark == 1;
}

void mark_listed(const char* dir) {
  if (DirectoryEntry* entry = directory_pool().intern(dir)) entry->mark = 1;
}

// Reports an entry whose on-disk name the path model cannot carry.
void report_unusable(const DirScan& scan) {
  char text[2 * PATH_MAX_TEXT];  // for the message only: the console cuts it further
  const char* dir = scan.entry.dir ? scan.entry.dir : ".";
  if (strcmp(dir, ".") == 0) snprintf(text, sizeof text, "%s", scan.rawName);
  else snprintf(text, sizeof text, "%s/%s", dir, scan.rawName);
  if (scan.nameProblem == DIR_NAME_TOO_LONG) report_name_too_long(text);
  else report_error_with("file name not supported: %", text);
}

// What a listing already found out about one of its entries (path mode only).
struct ListedStatus {
  FileStatus status;
  bool link;   // the entry itself is a symbolic link (only asked for directories)
};

int add_spec(FileSpecList& list, const PathName& spec, int flags, bool from_listing,
             const ListedStatus* listed = nullptr);

// Adds everything below the directory spec names; the directory counts as listed afterwards.
int descend(FileSpecList& list, const PathName& spec, int flags) {
  char dir[PATH_MAX_TEXT];
  spec.full_path(dir);
  if (!dir[0]) return 0;
  const char* pattern = path_join(dir, "*");
  if (!pattern) {
    report_name_too_long(dir);
    return 0;
  }
  PathName below(pattern);
  if (below.refused) return 0;
  int result = add_spec(list, below, flags, false);
  mark_listed(dir);
  return result;
}

// Lists spec's directory and adds the entries matching its name, descending
// into subdirectories while platformSettings.pathMode is on.
int list_and_add(FileSpecList& list, const PathName& spec, int flags) {
  if (listed_before(spec.dir)) return 0;
  DirScan* scan = dir_open(spec);
  if (!scan) return 0;
  print_text("Parsing ");
  print_path(spec);
  print_text("\n");
  bool wildcards = spec.has_wildcards();
  while (dir_next(scan)) {
    const PathName& entry = scan->entry;
    if (strcmp(scan->rawName, ".") == 0 || strcmp(scan->rawName, "..") == 0) continue;
    if (scan->nameProblem != DIR_NAME_OK) {
      report_unusable(*scan);
      continue;
    }
    // An excluded directory is not looked into; what the specification
    // matched counts as found all the same.
    if (spec_excluded(entry)) {
      if (wild_match(entry.name, spec.name)) ++foundOnDisk;
      continue;
    }
    ListedStatus listed{};
    if (platformSettings.pathMode) {
      FileStatus& status = listed.status;
      if (path_stat(entry, status) != 0) continue;
      listed.link = status.is_directory() && is_symlink(entry);
      if (wildcards && status.is_directory() && !listed.link) {
        char dir[PATH_MAX_TEXT];
        entry.full_path(dir);
        const char* below = path_join(dir, spec.name);
        if (!below) {
          report_name_too_long(dir);
        } else {
          PathName nested(below);
          if (!nested.refused) add_spec(list, nested, flags, false);
          if (strcmp(spec.name, "*") == 0) mark_listed(dir);
        }
      }
    }
    // Entry and specification share the listed directory, so the names decide;
    // a directory text holding '[' then still matches itself.
    if (wild_match(entry.name, spec.name)) add_spec(list, entry, flags, true, platformSettings.pathMode ? &listed : nullptr);
  }
  dir_close(scan);
  return 1;
}

// An entry found in a listing exists as named: it is inserted as it is, never
// taken for a pattern again (its name may hold '*' or '['), and a symbolic
// link to a directory is not descended into, so link loops end. The status a
// listing found for the entry (listed) spares asking for it again.
int add_spec(FileSpecList& list, const PathName& spec, int flags, bool from_listing, const ListedStatus* listed) {
  if (spec.refused) return 0;
  if (!(flags & SPEC_SCAN)) {
    spec_insert(list, spec, flags);
    return 1;
  }
  FileStatus status;
  if (from_listing) {
    ++foundOnDisk;
    spec_insert(list, spec, flags);
    if (!platformSettings.pathMode) return 1;
    if (listed) {
      if (!listed->status.is_directory() || listed->link) return 1;
    } else if (path_stat(spec, status) != 0 || !status.is_directory() || is_symlink(spec)) {
      return 1;
    }
    return descend(list, spec, flags);
  }
  if (!spec.has_wildcards() && path_stat(spec, status) == 0) {
    ++foundOnDisk;
    spec_insert(list, spec, flags);
    if (!platformSettings.pathMode || !status.is_directory()) return 1;
    return descend(list, spec, flags);
  }
  return list_and_add(list, spec, flags);
}

// Sets the current entry from a name read from disk.
void take_name(DirScan* scan, const char* raw) {
  scan->rawName = raw;
  scan->nameProblem = DIR_NAME_OK;
  char canonical[PATH_MAX_TEXT];
  if (path_normalize(canonical, raw, PATH_MODE_NORMAL) != 0) {
    scan->nameProblem = DIR_NAME_TOO_LONG;
    scan->entry.name[0] = '\0';
    return;
  }
  strcpy(scan->entry.name, canonical);
  const char* dir = scan->entry.dir ? scan->entry.dir : ".";
  size_t whole = strcmp(dir, ".") == 0 ? strlen(canonical) : strlen(dir) + 1 + strlen(canonical);
  if (whole > static_cast<size_t>(PATH_MAX_TEXT - 1)) scan->nameProblem = DIR_NAME_TOO_LONG;
  else if (strcmp(canonical, raw) != 0 && strcmp(raw, ".") != 0 && strcmp(raw, "..") != 0)
    scan->nameProblem = DIR_NAME_ALTERED;
}

}  // namespace

DirScan* dir_open(const PathName& p) {
  if (p.refused) return nullptr;
  const char* dir = (p.dir && p.dir[0]) ? p.dir : ".";
  DIR* handle = opendir(dir);
  if (!handle) return nullptr;
  struct dirent* first = readdir(handle);
  const char* pooled = dir_intern(dir);
  DirScan* scan = (first && pooled) ? new (std::nothrow) DirScan(PathName(".")) : nullptr;
  if (!scan) {
    closedir(handle);
    return nullptr;
  }
  scan->handle = handle;
  scan->entry.dir = pooled;
  take_name(scan, first->d_name);
  scan->state = 1;
  return scan;
}

int dir_next(DirScan* scan) {
  if (!scan || scan->state == 3) return 0;
  if (scan->state == 1) {
    scan->state = 2;
    return 1;
  }
  struct dirent* next = readdir(static_cast<DIR*>(scan->handle));
  if (!next) {
    scan->state = 3;
    return 0;
  }
  take_name(scan, next->d_name);
  return 1;
}

void dir_close(DirScan* scan) {
  if (!scan) return;
  if (scan->handle) closedir(static_cast<DIR*>(scan->handle));
  delete scan;
}

namespace {

struct ByPath {
  bool operator()(const SpecNode* a, const SpecNode* b) const { return path_compare(*a->path, *b->path) < 0; }
};

// The nodes of the list inserted into last, in order: a listing of many
// files then finds each place without walking the list from its head. The
// index belongs to one list, known by the address of its head pointer and by
// the head itself (a caller that puts another list there gets a new index),
// and it is dropped whenever nodes are freed.
struct SpecIndex {
  const FileSpecList* list = nullptr;
  const SpecNode* head = nullptr;
  std::set<SpecNode*, ByPath> nodes;
};
SpecIndex specIndex;

void drop_index() {
  specIndex.list = nullptr;
  specIndex.head = nullptr;
  specIndex.nodes.clear();
}

// Whether the index covers list, building it when it covers another one;
// false when memory is short (the list is then walked instead).
bool index_ready(FileSpecList& list) {
  if (specIndex.list == &list && specIndex.head == list) return true;
  drop_index();
  try {
    for (SpecNode* node = list; node; node = node->next) specIndex.nodes.insert(specIndex.nodes.end(), node);
  } catch (const std::bad_alloc&) {
    drop_index();
    return false;
  }
  specIndex.list = &list;
  specIndex.head = list;
  return true;
}

}  // namespace

// The search compares the node's own copy, whose directory text is canonical
// again, so "a/./b" and "a/b" count as one path.
int spec_insert(FileSpecList& list, const PathName& p, int flags) {
  if (p.refused) return 0;
  PathName* copy = new (std::nothrow) PathName(p);
  if (!copy) return 1;
  SpecNode** link = &list;
  const bool indexed = index_ready(list);
  SpecNode probe{nullptr, copy, 0};
  auto place = specIndex.nodes.end();
  if (indexed) {
    // The first node not before the copy; the new node goes after the one before it.
    place = specIndex.nodes.lower_bound(&probe);
    if (place != specIndex.nodes.end() && path_compare(*copy, *(*place)->path) == 0) {
      delete copy;
      return 0;
    }
    if (place != specIndex.nodes.begin()) link = &(*std::prev(place))->next;
  } else {
    for (; *link; link = &(*link)->next) {
      int order = path_compare(*copy, *(*link)->path);
      if (order == 0) {
        delete copy;
        return 0;
      }
      if (order < 0) break;
    }
  }
  SpecNode* node = new (std::nothrow) SpecNode;
  if (!node) {
    delete copy;
    return 1;
  }
  node->path = copy;
  node->flags = flags;
  node->next = *link;
  *link = node;
  if (indexed) {
    try {
      specIndex.nodes.insert(place, node);
      specIndex.head = list;
    } catch (const std::bad_alloc&) {
      drop_index();
    }
  }
  return 0;
}

int spec_add(FileSpecList& list, const PathName& spec, int flags) { return add_spec(list, spec, flags, false); }

int spec_found_count() { return foundOnDisk; }

bool spec_matches(FileSpecList& list, const PathName& name) {
  // The specifications an excluded member matches were not given in vain:
  // they are marked all the same.
  return spec_for_each(list, mark_match, const_cast<PathName*>(&name), SPEC_MATCHED, 0) > 0 &&
         !spec_excluded_below(name);
}

bool spec_excluded(const PathName& path) {
  if (!platformSettings.exclusions) return false;
  char whole[PATH_MAX_TEXT];
  return excluded_text(path.full_path(whole), path.name);
}

bool spec_excluded_below(const PathName& path) {
  if (!platformSettings.exclusions) return false;
  char whole[PATH_MAX_TEXT];
  path.full_path(whole);
  // Each leading part of the path in turn: "a", "a/b", "a/b/c".
  for (char* part = whole;;) {
    char* slash = strchr(part, '/');
    if (slash) *slash = '\0';
    const bool excluded = excluded_text(whole, part);
    if (!slash) return excluded;
    *slash = '/';
    if (excluded) return true;
    part = slash + 1;
  }
}

void defer_unmatched_specs(bool defer) { unmatchedDeferred = defer; }

void clear_spec_marks(FileSpecList& list) {
  if (unmatchedDeferred) return;
  for (SpecNode* node = list; node; node = node->next) node->flags &= ~SPEC_MATCHED;
}

void report_unmatched_specs(FileSpecList& list) {
  if (unmatchedDeferred) return;
  // Only names the user gave count: the implied "*" has nothing to miss.
  for (SpecNode* node = list; node; node = node->next)
    if ((node->flags & SPEC_GIVEN) && !(node->flags & SPEC_MATCHED)) report_error_path(kNoMatchingMember, *node->path);
}

void spec_clear(FileSpecList& list) {
  drop_index();
  while (list) {
    SpecNode* node = list;
    list = node->next;
    delete node->path;
    delete node;
  }
}

int spec_remove_matching(FileSpecList& list, const PathName& pattern) {
  drop_index();
  int removed = 0;
  SpecNode** link = &list;
  while (*link) {
    SpecNode* node = *link;
    if (path_match(node->path, &pattern, platformSettings.pathMode)) {
      *link = node->next;
      delete node->path;
      delete node;
      ++removed;
    } else {
      link = &node->next;
    }
  }
  return removed;
}

int spec_for_each(FileSpecList& list, SpecVisitor fn, void* user, int set_mask, int filter_mask) {
  int sum = 0;
  for (SpecNode* node = list; node; node = node->next) {
    int marks = node->flags & 0xFF;
    if (filter_mask != 0 && marks != 0 && (filter_mask & marks) == 0) continue;
    int r = fn(list, node, user);
    if (r < 0) return -1;
    if (set_mask != 0 && r > 0) node->flags |= set_mask;
    sum += r;
  }
  return sum;
}

// '*' takes the shortest run first; since every other token takes exactly one
// character, going back to the latest '*' alone finds a match whenever one exists.
int wild_match(const char* text, const char* pattern) {
  const char* star_pattern = nullptr;  // pattern just after the latest '*'
  const char* star_text = nullptr;     // text where that '*' run ends for now
  for (;;) {
    bool step = false;
    if (*pattern == '*') {
      star_pattern = ++pattern;
      star_text = text;
      continue;
    }
    if (*pattern == '\0') {
      if (*text == '\0') return 1;
    } else if (*text != '\0') {
      if (*pattern == '?') {
        step = true;
        ++pattern;
      } else if (*pattern == '[') {
        const char* after = nullptr;
        switch (match_set(pattern + 1, *text, &after)) {
          case SET_UNCLOSED_HIT: return 1;
          case SET_HIT:
            step = true;
            pattern = after;
            break;
          default: break;
        }
      } else if (lower_ascii(*pattern) == lower_ascii(*text)) {
        step = true;
        ++pattern;
      }
    }
    if (step) {
      ++text;
      continue;
    }
    if (!star_pattern || *star_text == '\0') return 0;
    pattern = star_pattern;
    text = ++star_text;
  }
}

int path_match(const PathName* a, const PathName* pattern, int path_mode) {
  if (!a || !pattern) return 0;
  if (path_mode == 0) return wild_match(a->name, pattern->name);
  char text[PATH_MAX_TEXT];
  char mask[PATH_MAX_TEXT];
  return wild_match(a->full_path(text), pattern->full_path(mask));
}

bool ext_in_list(const PathName& p) {
  const char* dot = strrchr(p.name, '.');
  if (!dot) return false;
  const char* ext = dot + 1;
  size_t length = strlen(ext);
  for (const char* entry = kPackedExtensions; *entry;) {
    const char* end = strchr(entry, ',');
    if (!end) end = entry + strlen(entry);
    const char* body = entry + 1;  // past the entry's dot
    if (static_cast<size_t>(end - body) == length) {
      size_t i = 0;
      while (i < length && lower_ascii(body[i]) == lower_ascii(ext[i])) ++i;
      if (i == length) return true;
    }
    entry = *end ? end + 1 : end;
  }
  return false;
}

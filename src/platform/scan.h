// File specification lists and directory scanning.
#pragma once

#include "platform/paths.h"

constexpr int SPEC_TEXT = 0x20;     // the name was given in text mode
constexpr int SPEC_SCAN = 0x100;    // expand the specification on disk
constexpr int SPEC_MATCH = 0x200;   // match the specification against members
constexpr int SPEC_DONE = 0x10;     // mark: the node has been processed
constexpr int SPEC_MATCHED = 0x40;  // mark: the node matched a member
constexpr int SPEC_GIVEN = 0x400;   // the user named it (not the implied "*")

struct SpecNode {
  SpecNode* next;   // following node, null at the end
  PathName* path;   // the node's own copy of the path
  int flags;        // caller flags; the low byte carries marks
};

using FileSpecList = SpecNode*;  // held by its head pointer

// What is wrong with the current entry's name as found on disk.
constexpr int DIR_NAME_OK = 0;
constexpr int DIR_NAME_ALTERED = 1;   // its canonical form names another file (a '\\', a final '.', a line end)
constexpr int DIR_NAME_TOO_LONG = 2;  // the directory and the name together exceed a path text

// An open listing of one directory.
struct DirScan {
  PathName entry;       // dir: the listed directory (pooled); name: the current entry, canonical form
  int state;            // 0 not started, 1 first entry ready, 2 listing, 3 finished
  void* handle;         // the system's directory stream, from state 1 on
  int nameProblem;      // DIR_NAME_* of the current entry
  const char* rawName;  // the current name as on disk, valid until the next dir_next

  explicit DirScan(const PathName& dir)
      : entry(dir), state(0), handle(nullptr), nameProblem(DIR_NAME_OK), rawName(nullptr) {}
};

// Lists every entry of p's directory, "." and ".." included; null when it cannot be listed.
DirScan* dir_open(const PathName& p);
// 1 when scan->entry holds the next name, 0 at the end (also for null).
int dir_next(DirScan* scan);
// Ends the listing and frees it (null is allowed).
void dir_close(DirScan* scan);

// Inserts a copy of p in name order; 0 when inserted or already present, 1 when memory is short.
int spec_insert(FileSpecList& list, const PathName& p, int flags);
// Adds a specification, expanding it on disk when flags has SPEC_SCAN (descending
// into directories while platformSettings.pathMode is on). 1 after an insertion or a
// completed listing, 0 when the directory was listed before or cannot be listed.
int spec_add(FileSpecList& list, const PathName& spec, int flags);
// How many entries on disk spec_add calls with SPEC_SCAN have found so far
// (inserted, or already in the list): a call that leaves it unchanged found nothing.
int spec_found_count();
// Frees every node and its path; the list is then empty.
void spec_clear(FileSpecList& list);
// Unlinks and frees every node matching pattern under platformSettings.pathMode; answers
// how many. Not to be called from a spec_for_each visitor of the same list.
int spec_remove_matching(FileSpecList& list, const PathName& pattern);

using SpecVisitor = int (*)(FileSpecList& list, SpecNode* node, void* user);
// Calls fn for every node whose low flag byte is 0 or shares a bit with
// filter_mask (every node when filter_mask is 0); ORs set_mask into the flags
// of nodes for which fn answered > 0. Sum of the answers, or -1 at the first negative one.
int spec_for_each(FileSpecList& list, SpecVisitor fn, void* user, int set_mask, int filter_mask);

// 1 when text matches the wildcard pattern ('*', '?', '[set]', '[!set]'), else 0.
int wild_match(const char* text, const char* pattern);
// Matches names alone with path_mode 0, full paths otherwise; 0 when either is null.
int path_match(const PathName* a, const PathName* pattern, int path_mode);
// True when some specification of list, taken as a wildcard pattern, matches
// name: its whole path when the specification has a directory part or paths
// are kept, else its name part. Every matching node is marked SPEC_MATCHED.
// An empty list matches nothing, and an excluded name (spec_excluded_below)
// matches nothing either, though the specifications it fits are marked.
bool spec_matches(FileSpecList& list, const PathName& name);

// Exclusions (platformSettings.exclusions): a pattern without a directory
// part excludes every file or directory of that name, one with a directory
// part the paths it matches whole.
// Whether path itself is excluded (a file found on disk, a name given).
bool spec_excluded(const PathName& path);
// Whether path or a directory on its way is excluded (an archive member,
// whose directories are not listed on their own).
bool spec_excluded_below(const PathName& path);
void clear_spec_marks(FileSpecList& list);
// A counted error for every specification the user gave (SPEC_GIVEN) that
// matched no member.
void report_unmatched_specs(FileSpecList& list);
// While set, marks are kept and nothing is reported: a run over several
// archives reports, at its end, the names that no archive had.
void defer_unmatched_specs(bool defer);

// Whether the name's extension marks an already packed file (.zip, .gz, ...).
bool ext_in_list(const PathName& p);

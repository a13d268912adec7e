// Test helper: the checks every safety test makes, and the archive builder
// they craft archives with.
#pragma once

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include <map>
#include <string>

#include "e2e/e2e.h"
#include "support/kvn_builder.h"

namespace e2e {

// Whether a temporary archive (or anything of that name form) is in the sandbox.
inline bool has_temp_file(const Sandbox& box) {
  for (const std::string& name : box.list())
    if (name.rfind("_kv", 0) == 0) return true;
  return false;
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// What lies below root, links not followed: path relative to root -> a
// regular file's content; with everything set, directories ("<dir>"), links
// ("<link> " and the target) and other kinds ("<other>") as well.
inline std::map<std::string, std::string> tree_below(const std::string& root, bool everything) {
  static std::map<std::string, std::string>* collected;
  static size_t rootLength;
  static bool all;
  std::map<std::string, std::string> files;
  collected = &files;
  rootLength = root.size() + 1;
  all = everything;
  nftw(root.c_str(),
       [](const char* path, const struct stat* st, int, struct FTW*) {
         if (strlen(path) < rootLength) return 0;  // root itself
         std::string& slot = (*collected)[std::string(path).substr(rootLength)];
         if (S_ISREG(st->st_mode)) {
           slot = Sandbox::read_whole(path);
         } else if (S_ISDIR(st->st_mode)) {
           slot = "<dir>";
         } else if (S_ISLNK(st->st_mode)) {
           char target[4096];
           ssize_t n = readlink(path, target, sizeof target);
           slot = "<link> " + std::string(target, n > 0 ? size_t(n) : 0);
         } else {
           slot = "<other>";
         }
         if (!all && !S_ISREG(st->st_mode)) collected->erase(std::string(path).substr(rootLength));
         return 0;
       },
       16, FTW_PHYS);
  return files;
}

// The regular files below root: path relative to root -> content.
inline std::map<std::string, std::string> files_below(const std::string& root) { return tree_below(root, false); }

// A file of the test data (tests/fixtures/folder/name).
inline std::string fixture(const std::string& folder, const std::string& name) {
  return Sandbox::read_whole((std::string(KVX_FIXTURES) + "/" + folder + "/" + name).c_str());
}

}  // namespace e2e

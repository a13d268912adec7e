// Test helper: the checks every safety test makes, and the archive builder
// they craft archives with.
#pragma once

#include <string>

#include <ftw.h>
#include <sys/stat.h>

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

// The regular files below root: path relative to root -> content.
inline std::map<std::string, std::string> files_below(const std::string& root) {
  static std::map<std::string, std::string>* collected;
  static size_t rootLength;
  std::map<std::string, std::string> files;
  collected = &files;
  rootLength = root.size() + 1;
  nftw(root.c_str(),
       [](const char* path, const struct stat* st, int, struct FTW*) {
         if (S_ISREG(st->st_mode)) (*collected)[std::string(path).substr(rootLength)] = Sandbox::read_whole(path);
         return 0;
       },
       16, FTW_PHYS);
  return files;
}

// A file of the test data (tests/fixtures/folder/name).
inline std::string fixture(const std::string& folder, const std::string& name) {
  return Sandbox::read_whole((std::string(KVX_FIXTURES) + "/" + folder + "/" + name).c_str());
}

}  // namespace e2e

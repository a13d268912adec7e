// Test helper: the checks every safety test makes, and the archive builder
// they craft archives with.
#pragma once

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

}  // namespace e2e

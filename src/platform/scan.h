// File specification lists and directory scanning.
#pragma once

#include "platform/paths.h"

constexpr int SPEC_TEXT = 0x20;     // the name was given in text mode
constexpr int SPEC_SCAN = 0x100;    // expand the specification on disk
constexpr int SPEC_MATCH = 0x200;   // match the specification against members
constexpr int SPEC_DONE = 0x10;     // mark: the node has been processed

struct SpecNode {
  SpecNode* next;   // following node, null at the end
  PathName* path;   // the node's own copy of the path
  int flags;        // caller flags; the low byte carries marks
};

using FileSpecList = SpecNode*;  // held by its head pointer

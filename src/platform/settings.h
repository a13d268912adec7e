// The few switches the platform layer acts on, set by the command line: the
// message language, the pager, whether names keep their directories,
// whether stored names lose a leading '/', and the names excluded.
#pragma once

struct SpecNode;

struct PlatformSettings {
  int language = 0;           // 0 Russian, 1 English, 2 German: messages and help texts
  int pageOutput = 0;         // pause console output every 23 lines with "-more- "
  int pathMode = 0;           // names keep their directories: scanning, matching, action lines
  int stripLeadingSlash = 1;  // while nonzero (always), a leading '/' is removed from stored names
  SpecNode* exclusions = nullptr;  // "-e": names never added or processed (see spec_excluded)
};

extern PlatformSettings platformSettings;

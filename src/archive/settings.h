// The switches the archive formats act on.
#pragma once

struct ArchiveSettings {
  int ignoreTextFlags = 0;  // "-s", the extension "exe": members read from kvn archives are not text
  int multivolume = 0;      // the archive being written is a volume of a set
};

extern ArchiveSettings archiveSettings;

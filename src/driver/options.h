// The switch record, the command codes and the driver's process-wide state.
#pragma once

#include <cstdint>

#include "archive/settings.h"
#include "codec/common/settings.h"
#include "platform/fatal.h"
#include "platform/paths.h"
#include "platform/scan.h"
#include "platform/settings.h"

enum CommandCode : int {
  None = 0,
  Add = 1,
  Create = 2,
  HelpNoLetter3 = 3,
  Delete = 4,
  Fresh = 5,
  Help = 6,
  CommandJ = 7,
  HelpNoLetter8 = 8,
  List = 9,
  HelpNoLetter10 = 10,
  ListO = 11,
  Print = 12,
  Test = 13,
  Update = 14,
  Extract = 15,
  CommandEquals = 16,
  CommandCaret = 17,
  CommandS = 18,
};

constexpr int MAX_EXCLUSIONS = 64;

struct Options {
  CommandCode command = None;
  int listLayout = 1;
  int listVariantO = 0;
  int moveFiles = 0;
  int testAfter = 0;
  int dirBlock = 0;
  int volumeSize = 0;
  int textMode = 0;
  int allowWildcardModify = 0;
  unsigned confirmMask = 0;
  int assumeYes = 0;
  int keepBroken = 0;
  int updateOnly = 0;
  int freshOnly = 0;
  int restoreOwners = 0;                 // "-n": extracted members get their owner and group (as root)
  PathName* exclusions[MAX_EXCLUSIONS] = {};
  int exclusionCount = 0;
  PathName* workDirectory = nullptr;     // none when null
  PathName* outputDirectory = nullptr;   // none when null
  int commentPerFile = 0;
  PathName* commentFile = nullptr;       // none when null
  int commentFileCount = 0;
  int editArchiveComment = 0;
  int showArchiveComment = 1;
  int silent = 0;
  int storePackedExtensions = 1;
  int archiveKindIndex = 0;
  int archiveKindFixed = 0;
  int extractOverwriteMode = 0;
  char** names = nullptr;
  unsigned char* nameTextFlags = nullptr;
  int nameCount = 0;
  int nameCapacity = 0;
};

struct DriverState {
  const char* programPath = nullptr;
  PathName* archivePath = nullptr;
  PathName* tempArchivePath = nullptr;
  PathName* backupArchivePath = nullptr;
  int usesTempArchive = 0;
  int tempArchiveOpen = 0;
  int archiveMovedAside = 0;
  const PathName* movedArchivePath = nullptr;    // the name the old archive was moved aside from
  const PathName* stagingArchivePath = nullptr;  // a copy of the new archive being made beside the old one
  uint32_t newestMemberTime = 0;
  FileSpecList fileSpecs = nullptr;
  FileSpecList archiveSpecs = nullptr;
};

extern Options options;
extern DriverState driverState;

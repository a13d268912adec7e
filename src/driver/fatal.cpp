// What the fatal path undoes for the driver: the temporary archive goes, an
// old archive moved aside comes back, a half-extracted file goes. It may run
// from a signal handler, so it only unlinks and renames names it holds.
#include "driver/fatal.h"

#include <cstring>

#include "driver/options.h"
#include "platform/fatal.h"
#include "platform/os.h"

namespace {

char unfinishedOutput[PATH_MAX_TEXT];

void undo_unfinished_work() {
  if (unfinishedOutput[0]) {
    path_unlink_text(unfinishedOutput);
    unfinishedOutput[0] = '\0';
  }
  if (driverState.tempArchiveOpen && driverState.tempArchivePath) {
    driverState.tempArchiveOpen = 0;
    path_unlink(*driverState.tempArchivePath);
  }
  if (driverState.stagingArchivePath) path_unlink(*driverState.stagingArchivePath);
  if (driverState.archiveMovedAside && driverState.archivePath && driverState.backupArchivePath) {
    driverState.archiveMovedAside = 0;
    const PathName& place = driverState.movedArchivePath ? *driverState.movedArchivePath : *driverState.archivePath;
    path_unlink(place);
    path_rename(*driverState.backupArchivePath, place);
  }
}

}  // namespace

void install_archive_cleanup() { set_fatal_cleanup(undo_unfinished_work); }

void mark_unfinished(const char* path) {
  // Paths hold at most PATH_MAX_TEXT - 1 bytes; a cut name is never recorded,
  // since the clean-up would remove some other file.
  const size_t length = strlen(path);
  unfinishedOutput[0] = '\0';
  if (length < sizeof unfinishedOutput) memcpy(unfinishedOutput, path, length + 1);
}

void mark_finished() { unfinishedOutput[0] = '\0'; }

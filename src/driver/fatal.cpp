// What the fatal path undoes for the driver: the temporary archive goes, an
// old archive moved aside comes back.
#include "driver/fatal.h"

#include "driver/options.h"
#include "platform/fatal.h"
#include "platform/os.h"

namespace {

void undo_unfinished_archive() {
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

void install_archive_cleanup() { set_fatal_cleanup(undo_unfinished_archive); }

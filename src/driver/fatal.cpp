// The one way out of the run after an unrecoverable error: the temporary
// archive goes, an old archive moved aside comes back, status 1.
#include <unistd.h>

#include <cstdlib>

#include "driver/options.h"
#include "platform/console.h"
#include "platform/os.h"

void fatal_error(const char* message) {
  // An interrupt while the clean-up runs must not start it a second time.
  static volatile int entered = 0;
  if (entered) _exit(1);
  entered = 1;

  report_error(message);
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
  exit(1);
}

// Runs the command chosen on the command line through the table of command
// entry points.
#include "driver/dispatch.h"

#include <cstdlib>

#include "archive/resources.h"
#include "driver/add.h"
#include "driver/cmdline.h"
#include "driver/delete_fresh.h"
#include "driver/replace.h"
#include "driver/extract.h"
#include "driver/list.h"
#include "codec/common/transfer.h"
#include "platform/console.h"

namespace {

const char* const kNotBuilt = "command is not available in this build";

// A command that is not in this build fails with a counted error, so
// the run never ends as if it had done the work.
void not_built() { report_error(kNotBuilt); }

// The entry point of each command, one row each; a command that is not in
// this build keeps not_built.
enum CommandWork { ADDING, FRESHING, DELETING, EXTRACTING, TESTING, LISTING, WORK_COUNT };

struct CommandEntry {
  CommandWork work;
  void (*run)();
};

const CommandEntry kCommandEntries[WORK_COUNT] = {
    {ADDING, add_members},       // a, m, n, b, u
    {FRESHING, fresh_members},   // f
    {DELETING, delete_members},  // d, and after a move-out extraction
    {EXTRACTING, [] { extract_archive(1); }},  // e, x, p, following volumes
    {TESTING, [] { extract_archive(1); }},     // t, without output
    {LISTING, list_archive},   // list_archive: l, v, (, o
};

void run(CommandWork work) {
  for (const CommandEntry& entry : kCommandEntries) {
    if (entry.work == work) return entry.run();
  }
  not_built();
}

// Extraction; with -m the extracted members then leave the archive, but
// only when nothing went wrong, and only those extracted.
void extract_and_maybe_delete() {
  run(EXTRACTING);
  if (!options.moveFiles || error_count() != 0) return;
  print_text(message_text(MSG_NOW_DELETING));
  driverState.usesTempArchive = 1;
  if (!driverState.tempArchivePath) driverState.tempArchivePath = temp_archive_name(0);
  if (!driverState.backupArchivePath) driverState.backupArchivePath = temp_archive_name(1);
  delete_extracted_members();
}

}  // namespace

void dispatch(CommandCode command) {
  // Member data of "p" goes to the console: no progress figures there.
  transfer.showProgress = command != Print;
  if (command_is_help(command)) {
    platformSettings.pageOutput = 1;
    show_full_help(driverState.programPath, platformSettings.language);
    exit(0);
  }
  switch (command) {
    case Update:
      options.updateOnly = 1;
      run(ADDING);
      break;
    case Add:
    case Create:
      run(ADDING);
      break;
    case Fresh:
      options.freshOnly = 1;
      run(FRESHING);
      break;
    case Delete:
      run(DELETING);
      break;
    case Test:
      run(TESTING);
      break;
    case Extract:
    case Print:
      extract_and_maybe_delete();
      break;
    case ListO:
      ++options.listVariantO;
      run(LISTING);
      break;
    case List:
      run(LISTING);
      break;
    default:   // CommandS, and None which never gets here
      break;
  }
}

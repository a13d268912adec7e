// The help texts carried in the program file: an archive of the own format
// placed after the program image, read with the ordinary archive reader and
// extracted to standard output.
#include "archive/resources.h"

#include <strings.h>

#include <cstdint>
#include <cstdio>

#include "archive/archive.h"
#include "archive/kvn_format.h"
#include "codec/common/settings.h"
#include "platform/console.h"
#include "platform/iofile.h"
#include "platform/paths.h"

namespace {

// The reader starts here; the archive's global header must begin within the
// scan limit of the own format after it.
constexpr int32_t kResourceStart = 55000;

constexpr int kNoBriefHelp = 84;  // "brief help is not available"
constexpr int kNoHelp = 85;       // "help is not available"

// "first?.hlp" or "full?.hlp" with the language's digit in place of "?".
void help_member_name(char (&out)[16], const char* stem, int language) {
  snprintf(out, sizeof out, "%s%d.hlp", stem, language);
}

// Extracts the current member to standard output; true when its data check holds.
bool show_member(ArchiveFile* archive) {
  if (!archive->extract) return false;  // no decoder in this build
  const uint32_t value = archive->extract(archive, ioStandardOutput, nullptr, nullptr);
  io_flush(ioStandardOutput);
  if (value == archive->entry.dataCrc) return true;
  report_error_path("integrity check corrupt: %", archive->entry.name);
  return false;
}

}  // namespace

int show_resource(const char* programPath, const char* memberName) {
  const int savedBlockMode = codecSettings.blockMode;

  ArchiveFile* archive = nullptr;
  if (programPath && *programPath) {
    PathName program(programPath);
    archive = open_archive_as(program, 1, &kKvnFormat, nullptr, 1, kResourceStart);
  }
  if (io_stdout() != 0) {
    close_archive(archive);
    codecSettings.blockMode = savedBlockMode;
    return 1;
  }
  // The handle has reported why the program file is not readable as an
  // archive; the help is still missing, so the caller says so as well.
  if (!archive) {
    codecSettings.blockMode = savedBlockMode;
    return 1;
  }

  bool shown = false;
  while (next_entry(archive) == 1) {
    if (strcasecmp(archive->entry.name.name, memberName) == 0) {
      shown = show_member(archive);
      break;
    }
    skip_entry(archive);
  }
  close_archive(archive);
  codecSettings.blockMode = savedBlockMode;
  return shown ? 0 : 1;
}

void show_brief_help(const char* programPath, int language) {
  char member[16];
  help_member_name(member, "first", language);
  if (show_resource(programPath, member) == 1) report_error(message_text(kNoBriefHelp));
}

void show_full_help(const char* programPath, int language) {
  char member[16];
  help_member_name(member, "full", language);
  if (show_resource(programPath, member) == 1) report_error(message_text(kNoHelp));
}

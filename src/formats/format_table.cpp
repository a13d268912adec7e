// The table of archive formats and what reads it.
#include "formats/format_table.h"

#include <strings.h>

#include <cstdlib>

#include "archive/kvn_format.h"
#include "formats/arj.h"
#include "formats/kvx.h"
#include "formats/tar.h"
#include "formats/zip.h"
#include "platform/fatal.h"

namespace {

constexpr int kDetectBytes = 32768;  // bytes of the file the detectors see

// Formats whose readers are to come keep their rows (extension, words and
// whether they can be written); two kinds have no reader at all. Detection
// tries the rows in the order of kFormats.
const FormatRow kKv2Format = {Kv2, ".kv2", {nullptr}, nullptr, false, false, true, false, false, nullptr, nullptr, nullptr, 0};
// The older own format: written too, without text flags, block mode or volumes.
const FormatRow kKvxFormat = {Kvx,  ".kvx", {"kvx", nullptr}, nullptr,  true, false, false, false, true,
                              &kKvxOps, fill_entry_from_file, kvx_resync, 0};
// Never recognised by content: its header id is two bytes anything may hold.
const FormatRow kArjFormat = {Arj,  ".arj", {"arj", nullptr}, nullptr,  false, false, true, false, true,
                              &kArjOps, nullptr, arj_resync, 'a'};
// Never recognised by content: a ZIP is read from its local headers.
const FormatRow kZipFormat = {Zip,  ".zip", {"zip", nullptr}, nullptr,  false, false, true, false, true,
                              &kZipOps, nullptr, zip_resync, 0};
const FormatRow kLzhFormat = {Lzh, ".lzh", {"lzh", nullptr}, nullptr, false, false, true, false, false, nullptr, nullptr, nullptr, 0};
const FormatRow kTarFormat = {Tar,  "",    {"tar", nullptr}, tar_detect, false, false, true, false, true,
                              &kTarOps, nullptr, tar_resync, 0};

// In the order of the kinds; detection tries the rows in this order.
const FormatRow* const kFormats[] = {&kKvnFormat, &kKv2Format, &kKvxFormat, &kArjFormat,
                                     &kZipFormat, &kLzhFormat, &kTarFormat};

const FormatRow* detect_format(IoFile* f) {
  const FormatRow* own = &kKvnFormat;
  unsigned char* first = static_cast<unsigned char*>(malloc(kDetectBytes));
  if (first == nullptr) return own;
  int got = io_read(f, first, kDetectBytes);
  io_seek(f, 0, 0);
  const FormatRow* found = own;
  if (got > 0)
    for (const FormatRow* row : kFormats)
      if (row->detect != nullptr && row->detect(first, got) == 0) {
        found = row;
        break;
      }
  free(first);
  return found;
}

}  // namespace

const FormatRow* format_of_kind(int kind) {
  for (const FormatRow* row : kFormats)
    if (row->kind == kind) return row;
  return nullptr;
}

int kind_index_of(const char* word) {
  for (const FormatRow* row : kFormats)
    for (const char* const* w = row->words; *w != nullptr; ++w)
      if (strcasecmp(word, *w) == 0) return row->kind;
  return Detect;
}

const char* default_extension(int kind) {
  const FormatRow* row = format_of_kind(kind);
  return row ? row->extension : "";
}

ArchiveFile* open_archive(const PathName& path, int mode, ArchiveKind kind, int report, int64_t startOffset) {
  const FormatRow* format = kind == Detect ? nullptr : format_of_kind(kind);
  // A new archive of no particular kind is of the own format.
  if (kind == Detect && mode == 0) format = &kKvnFormat;
  if (kind != Detect && format == nullptr) fatal_error("bad select archiver\n");
  return open_archive_as(path, mode, format, detect_format, report, startOffset);
}

// Helpers for the archive tests: captured console output, the options the
// archive code reads, and a builder of own-format archives with stored members.
// Temporary folders and whole-file I/O come from support/temp_dir.h.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formats/format_table.h"
#include "archive/archive.h"
#include "codec/common/transfer.h"
#include "archive/kvn_format.h"
#include "driver/options.h"
#include "support/kvn_builder.h"
#include "platform/console.h"
#include "support/temp_dir.h"

inline Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

inline void append_be32(Bytes& to, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) to.push_back(uint8_t(v >> shift));
}
inline void append_be16(Bytes& to, uint32_t v) {
  to.push_back(uint8_t(v >> 8));
  to.push_back(uint8_t(v));
}

// Catches the console's message and error streams and the error count while alive.
class ConsoleCapture {
 public:
  ConsoleCapture() : messages_(tmpfile()), errors_(tmpfile()), startCount_(error_count()) {
    oldMessages_ = message_stream();
    oldErrors_ = error_stream();
    platformSettings.language = 1;
    select_catalog();
    console_use_streams(messages_, errors_, nullptr);
  }
  ~ConsoleCapture() {
    console_use_streams(oldMessages_, oldErrors_, nullptr);
    fclose(messages_);
    fclose(errors_);
  }
  int errors() const { return error_count() - startCount_; }
  std::string error_text() { return read_stream(errors_); }
  std::string message_text_out() { return read_stream(messages_); }

 private:
  FILE* messages_;
  FILE* errors_;
  FILE* oldMessages_ = nullptr;
  FILE* oldErrors_ = nullptr;
  int startCount_;
};

// Sets the options the archive code reads back to those of a fresh run.
inline void reset_archive_options() {
  codecSettings.narrowWindow = 0;
  archiveSettings.multivolume = 0;
  transfer.textMode = 0;
  archiveSettings.ignoreTextFlags = 0;
  options.editArchiveComment = 0;
  options.command = None;
}

// The bytes of an own-format global header.
inline Bytes global_header(uint16_t flags, const std::string& comment = std::string()) {
  return bytes_of(kvn::global(flags, comment));
}

// A complete entry header for a stored member.
inline Bytes stored_header(const std::string& name, const Bytes& data, uint16_t flags = ENTRY_STORED,
                           uint32_t time = 0x224FAB2F) {
  kvn::Entry entry = kvn::stored(name, std::string(data.begin(), data.end()), flags);
  entry.time = time;
  return bytes_of(kvn::header(entry));
}

// Header and data of one stored member.
inline Bytes stored_member(const std::string& name, const std::string& text) {
  return bytes_of(kvn::member(name, text));
}

// An archive with the given members (name, content) and the terminator.
inline Bytes simple_archive(const std::vector<std::pair<std::string, std::string>>& members,
                            uint16_t globalFlags = GLOBAL_WIDE_WINDOW) {
  return bytes_of(kvn::archive(members, globalFlags));
}

// Opens a file for reading as an own-format archive (no report of a missing file).
inline ArchiveFile* open_for_reading(const std::string& path, ArchiveKind kind = Kvn, int report = 1) {
  return open_archive(PathName(path.c_str()), 1, kind, report, 0);
}

// The names of all members a walk finds.
inline std::vector<std::string> walk_names(ArchiveFile* archive) {
  std::vector<std::string> names;
  for_each_entry(
      archive,
      [](ArchiveFile*, PathName& name, void* context) {
        static_cast<std::vector<std::string>*>(context)->push_back(name.name);
      },
      &names);
  return names;
}

// The archive handle: one record per opened archive with its stream, the
// archive-wide data, the current member and the six operations of its format.
#pragma once

#include <cstdint>
#include <string>

#include "codec/common/transfer.h"
#include "platform/iofile.h"
#include "platform/os.h"
#include "platform/paths.h"

// Archive kinds; the codes are those of Options::archiveKindIndex.
enum ArchiveKind : int {
  Kvn = 0,  // own format
  Kv2 = 1,  // no reader
  Kvx = 2,  // older own format
  Arj = 3,
  Zip = 4,
  Lzh = 5,  // no reader
  Tar = 6,
  Detect = 7,  // chosen by content at open
};

// What a reader found wrong with a stored name that the member's path no
// longer shows; extraction refuses such members.
enum NameProblem : uint8_t {
  NAME_FINE = 0,
  NAME_OUTSIDE = 1,   // absolute or climbing as stored (path_leads_outside), whatever its canonical form
  NAME_LINE_END = 2,  // holds a line end, where a path here would be cut
};

// Host system codes of members. Members of hosts 1 and 4 carry Unix data
// (mode with its type bits, exact time, owner, link target); foreign readers
// give their Unix members host 1.
constexpr uint32_t HOST_DOS = 0;
constexpr uint32_t HOST_UNIX = 1;
constexpr uint32_t HOST_OS2 = 2;
constexpr uint32_t HOST_LONG_NAME = 3;  // its block holds a long name, no mode
constexpr uint32_t HOST_UNIX_Q = 4;     // listed "Q"
constexpr uint32_t HOST_WIN32 = 5;

inline bool host_carries_unix_data(uint32_t host) { return host == HOST_UNIX || host == HOST_UNIX_Q; }

// The current member, in one shape for every format.
struct EntryInfo {
  uint32_t magic = 0;                   // entry magic of the own format; 0 for other formats
  uint16_t headerSize = 0;              // bytes from the header's start to the data
  uint16_t flags = 0;                   // entry flags (ENTRY_* below)
  uint32_t hidden = 0;                  // bit 31: not a member, skipped by listing and extraction
  uint32_t time = 0;                    // packed DOS date and time
  uint16_t nameLength = 0;              // length of the stored name
  uint16_t commentLength = 0;           // length of the member comment
  uint32_t dataCrc = 0;                 // stored data checksum (0 where a format has none)
  uint32_t pieceOffset = 0;             // position of this piece within the whole file (ENTRY_PIECE)
  uint32_t unpackedSize = 0;            // bytes after decoding
  uint32_t packedSize = 0;              // bytes of data in the archive
  uint16_t methodCode = 0;              // decoder selector: own format 0, 7, 9, 10
  uint32_t uid = 0;                     // user id
  uint32_t gid = 0;                     // group id
  uint32_t mode = 0;                    // access mode bits (0444, 0777, ...); for hosts 1 and 4 with
                                        // the type bits, 0 when the member carries no Unix data
  int64_t mtime = 0;                    // modification time, seconds since 1970, when mode is carried
  uint32_t host = 0;                    // host system code
  PathName name{""};                    // the member's path
  NameProblem nameProblem = NAME_FINE;  // what the stored name had that the path does not show
  char linkTarget[PATH_MAX_TEXT] = {};  // zero-terminated link target or long-name work area
  char commentText[256] = {};           // zero-terminated member comment
};

// Entry flags of the own format (foreign readers map their bits onto these).
constexpr uint16_t ENTRY_TEXT = 0x0001;
constexpr uint16_t ENTRY_CONV_KEY = 0x0002;
constexpr uint16_t ENTRY_PUBLIC_KEY = 0x0004;
constexpr uint16_t ENTRY_PIECE = 0x0008;
constexpr uint16_t ENTRY_LOCAL_TAILER = 0x0010;
constexpr uint16_t ENTRY_COMMENT = 0x0020;
constexpr uint16_t ENTRY_COMMENT_ALT = 0x0040;
constexpr uint16_t ENTRY_EXTENSION = 0x0080;
constexpr uint16_t ENTRY_VERSION_BLOCK = 0x0100;
constexpr uint16_t ENTRY_DIRECTORY = 0x0200;
constexpr uint16_t ENTRY_OWNER_DIR = 0x0400;
constexpr uint16_t ENTRY_STORED = 0x0800;
constexpr uint16_t ENTRY_G = 0x1000;
constexpr uint16_t ENTRY_LEARN_DICT = 0x2000;
constexpr uint16_t ENTRY_HIGH = 0x4000;
constexpr uint16_t ENTRY_FIVE = 0x8000;

// Global flags of the own format.
constexpr uint16_t GLOBAL_BLOCKED = 0x0001;
constexpr uint16_t GLOBAL_CONV_KEY = 0x0002;
constexpr uint16_t GLOBAL_PUBLIC_KEY = 0x0004;
constexpr uint16_t GLOBAL_DIR_BLOCK = 0x0008;
constexpr uint16_t GLOBAL_BACKUP = 0x0010;
constexpr uint16_t GLOBAL_LEARNED = 0x0020;
constexpr uint16_t GLOBAL_MULTIVOLUME = 0x0040;
constexpr uint16_t GLOBAL_WIDE_WINDOW = 0x0080;  // "64K buffer"
constexpr uint16_t GLOBAL_COMMENT = 0x0100;
constexpr uint16_t GLOBAL_COMMENT_ALT = 0x0200;
constexpr uint16_t GLOBAL_RESERVED_TOP = 0xFC00;

// Bits of ArchiveFile::state.
constexpr uint32_t ARCHIVE_OPEN = 0x1;
constexpr uint32_t ARCHIVE_ENDED = 0x8;      // the walk has reached the end: next_entry answers 0
constexpr uint32_t ARCHIVE_STATE_READ = 3;   // after opening for reading
constexpr uint32_t ARCHIVE_STATE_WRITE = 5;  // after opening for writing

struct ArchiveFile;

// Answers of a format's next operation for damage; next_entry reports each
// with the stretch of the archive it skips.
constexpr int ENTRY_NOT_A_HEADER = -1;    // no entry magic, or a body length past the limit
constexpr int ENTRY_CUT_SHORT = -2;       // the file ended inside the header
constexpr int ENTRY_BAD_FIELD = -3;       // intact header whose fields do not fit
constexpr int ENTRY_BAD_HEADER_CRC = -4;
constexpr int ENTRY_DATA_PAST_END = -5;   // the member's data runs past the end of the file
constexpr int ENTRY_NO_END_MARKER = -6;   // the file ends where a header or the end marker belongs

// The six operations a format supplies.
// open: reads the archive-level header; 0 accepted, non-zero not this format.
using OpenSlot = int (*)(ArchiveFile* archive);
// next: reads one member header into archive->entry; 1 member, 0 end, negative damage.
using NextSlot = int (*)(ArchiveFile* archive);
// extract: decodes the current member to output (null: test), announcing
// displayName (or nothing) and outputName (or nothing); answers the data check.
using ExtractSlot = uint32_t (*)(ArchiveFile* archive, IoFile* output, const PathName* displayName,
                                 const PathName* outputName);
// buildHeader: writes a member header for entry into buffer; answers its length.
using BuildHeaderSlot = int (*)(unsigned char* buffer, int capacity, EntryInfo* entry);
// writeGlobal: writes the archive-level header with a comment (or null) and the block-mode flag.
using WriteGlobalSlot = void (*)(ArchiveFile* archive, const char* comment, int blockMode);

// One format's row of operations; each format exports one (kKvnOps, ...).
struct FormatOps {
  OpenSlot open;
  NextSlot next;
  ExtractSlot extract;
  CheckFunction checksum;
  BuildHeaderSlot buildHeader;
  WriteGlobalSlot writeGlobal;
};

// 0 when the first bytes of a file (length of them) are of the format.
using Detector = int (*)(const unsigned char* buffer, int length);
// Prepares entry for a file of the given name and status about to be added.
using FillEntry = void (*)(const char* name, const FileStatus& status, EntryInfo* entry);
// After damage at offset from: positions file at the next place a header may
// start and answers it; -1 when there is none.
using ResyncFunction = int64_t (*)(IoFile* file, int64_t from);

// Everything the program knows of one archive format; the table of them is
// in formats/format_table.h.
struct FormatRow {
  ArchiveKind kind;
  const char* extension;     // given to an archive name without one ("" for none)
  const char* words[3];      // extension words that choose it, regardless of case; null-ended
  Detector detect;           // recognises it by content; null: never
  bool writable;             // modifying commands may write it
  bool blockMode;            // block mode (and dir-block) may be used
  bool textFlags;            // packed members keep their text flag
  bool directories;          // directory members can be written
  bool readerPlanned;        // false: no reader exists for it at all
  const FormatOps* ops;      // null: its reader is not part of this build
  FillEntry fillEntry;       // null when it cannot be written
  ResyncFunction resync;     // null: the search for the own format's entry magic
  char volumeLead;           // volumes after the first are .X01, .X02 ... with this letter; 0: .001, .002 ...
};

// An opened archive.
struct ArchiveFile {
  IoFile* file = nullptr;     // the archive's stream, owned
  PathName* path = nullptr;   // copy of the archive's path, owned
  int64_t volumeBudget = -1;  // bytes that may still be written to this volume
  int64_t dataPos = 0;        // position of the current member's data
  int64_t headerPos = 0;      // position of the current member's header
  int64_t nextPos = 0;        // position of the next header; -1 when there is none
  int64_t prefixLength = 0;   // bytes before the global header
  uint64_t device = 0;        // the archive file's identity (device and inode), so that
  uint64_t inode = 0;         // extraction never writes over the archive it reads
  char* comment = nullptr;    // archive comment (malloc'd), owned, or null
  uint32_t state = 0;         // ARCHIVE_* bits
  uint16_t globalFlags = 0;   // global flags; foreign readers set 0
  EntryInfo entry;            // the current member
  uint32_t failures = 0;      // write failures noted; non-zero stops further writing
  OpenSlot open = nullptr;
  NextSlot next = nullptr;
  ExtractSlot extract = nullptr;
  CheckFunction checksum = nullptr;
  BuildHeaderSlot buildHeader = nullptr;
  WriteGlobalSlot writeGlobal = nullptr;
  ArchiveKind kind = Kvn;              // the installed format
  const FormatRow* format = nullptr;   // its row
};

// Resets every field of entry (the name becomes empty).
void clear_entry(EntryInfo& entry);

// What is wrong with a member name as an archive stores it.
NameProblem stored_name_problem(const char* text);
// Gives entry the name an archive stores (in its stored form) and its problem.
void take_member_name(EntryInfo& entry, const char* text);
// The same for a directory member (flagged so) whose name may end in
// separators, which the name then goes without: "a/b/" is the directory "a/b".
void take_directory_name(EntryInfo& entry, std::string text);

// Installs the operations of format and makes its checksum the current
// transfer.checkUpdate. Answers 0; -1 (after a counted error) for a format whose
// reader is not part of this build. A format without any reader (or none)
// ends the run through fatal_error("bad select archiver\n").
int install_format(ArchiveFile* archive, const FormatRow* format);

// Picks the format of a file opened for reading by its first bytes.
using FormatChooser = const FormatRow* (*)(IoFile* file);

// Opens path for reading (mode 1) or creates it for writing (mode 0) as an
// archive of format; with a null format (reading only) choose picks it by
// content. With report set, a missing or uncreatable file is reported; a file
// that exists but cannot be read, or is no regular file, and a refused format
// are always reported. Reading starts at startOffset. Answers the record, or
// null. (formats/format_table.h opens archives by kind.)
ArchiveFile* open_archive_as(const PathName& path, int mode, const FormatRow* format, FormatChooser choose,
                             int report, int64_t startOffset);
// Releases the archive with its stream and comment; answers null.
ArchiveFile* close_archive(ArchiveFile* archive);
// Prints " -\n" and the archive comment when there is one.
void print_archive_comment(ArchiveFile* archive);

// Reads the next member header into archive->entry, passing over damaged
// stretches to the next entry magic; each is reported once as a counted error
// with the archive's name, its offset and its length. An archive that ends
// without its end marker is reported too. 1 member, 0 end.
int next_entry(ArchiveFile* archive);
// Visitor of for_each_entry: the archive, the member's path and the caller's context.
using EntryVisitor = void (*)(ArchiveFile* archive, PathName& name, void* context);
// Calls visitor for every member, moving to the next header after each. Answers 0.
int for_each_entry(ArchiveFile* archive, EntryVisitor visitor, void* context = nullptr);
void skip_entry(ArchiveFile* archive);    // seek to nextPos
void rewind_entry(ArchiveFile* archive);  // seek to headerPos

uint32_t failure_count(ArchiveFile* archive);  // 1 for null
void note_failure(ArchiveFile* archive);

// Slots of formats that cannot be written: end the run with message 86.
int refuse_build_header(unsigned char* buffer, int capacity, EntryInfo* entry);
void refuse_write_global(ArchiveFile* archive, const char* comment, int blockMode);

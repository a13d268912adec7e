// Operating-system services: file-system calls on PathNames, file status, free
// space, temporary-name digits, answers read from standard input, and hooks.
#pragma once

#include <cstdint>

#include "platform/paths.h"

constexpr int FS_TYPE_MASK = 0xF000;
constexpr int FS_TYPE_DIRECTORY = 0x4000;
constexpr int FS_TYPE_REGULAR = 0x8000;
constexpr int FS_TYPE_LINK = 0xA000;
constexpr int FS_READABLE = 0x0100;
constexpr int FS_WRITABLE = 0x0080;
constexpr int FS_EXECUTABLE = 0x0040;

struct FileStatus {
  int mode;            // type (mode & 0xF000) and permission bits FS_READABLE/WRITABLE/EXECUTABLE
  uint32_t uid;        // owner
  uint32_t gid;        // group
  int64_t size;        // length in bytes
  int64_t atime;       // last access, seconds since 1970-01-01 00:00 UTC
  int64_t mtime;       // last modification, same unit
  int64_t ctime;       // creation (status change here), same unit
  uint16_t nlink;      // link count
  uint8_t spare;       // always 0
  uint64_t device;     // the file system holding the file, with inode: the file's identity
  uint64_t inode;

  bool is_directory() const { return (mode & FS_TYPE_MASK) == FS_TYPE_DIRECTORY; }
  bool is_regular() const { return (mode & FS_TYPE_MASK) == FS_TYPE_REGULAR; }
  bool is_link() const { return (mode & FS_TYPE_MASK) == FS_TYPE_LINK; }
};

// Creates the missing directories above path (everything before its last
// '/'), parents first. False when a part exists but is not a directory, or
// cannot be made.
bool make_parent_directories(const char* path);

int path_stat(const PathName& path, FileStatus& out);   // 0, or -1 (out untouched but spare); errno tells why
// As path_stat, but a symbolic link is described itself (its type is FS_TYPE_LINK).
int path_lstat(const PathName& path, FileStatus& out);
int text_lstat(const char* path, FileStatus& out);      // path_lstat of a path text
// Whether two status records describe the same file.
inline bool same_file(const FileStatus& a, const FileStatus& b) { return a.device == b.device && a.inode == b.inode; }
int path_mkdir(const PathName& path);                   // 0 or -1
int path_rmdir(const PathName& path);                   // 0 or -1
int path_unlink(const PathName& path);                  // 0 or -1
int path_unlink_text(const char* path);                 // the same for a path text; safe in a signal handler
int path_rename(const PathName& from, const PathName& to);  // 0 or -1
int path_chmod(const PathName& path, int mode);         // only FS_WRITABLE has an effect; 0 or -1
// Sets the permission bits 0777 of mode exactly (set-id and sticky bits never); 0 or -1.
int path_set_permissions(const PathName& path, int mode);
int path_set_time(const PathName& path, int64_t atime, int64_t mtime);  // seconds since 1970; 0 or -1

int disk_free(const PathName& path);     // free bytes where path lies, at most 2147483647
// The first six 'X' become the digits of the process id's low 17 bits in
// octal; a later attempt (a name that was taken) adds attempt to them.
void make_temp_name(char* templ, unsigned attempt = 0);
// Gives path the permission bits (0777) of model and, where allowed, its
// owner and group; without a model, 0666 less the umask. 0 or -1.
int path_take_permissions(const PathName& path, const PathName* model);
// The file a symbolic link at path leads to, as a path text in dst (which
// holds PATH_MAX_TEXT bytes); path itself when it is no link. False when the
// result does not fit.
bool path_resolve_link(const PathName& path, char* dst);

// Reads one line (at most 79 characters) from standard input and copies at most
// n characters of it into dst, as strncpy does; at end of input the answer is empty.
void read_answer_line(char* dst, int n);
// Reads one line from standard input and answers its first character, folded to
// lower case; '\n' for an empty line, 'n' (a refusal) at end of input.
int read_key();

int starts_with(const char* text, const char* prefix);  // 1 or 0; an empty prefix matches
char* str_dup(const char* text);                         // heap copy, or null

int make_link(const char* target, const PathName& path);  // links are not created here: -1
// Gives path (a link itself, not what it leads to) the owner and group when
// the process runs as root; otherwise nothing. 0, or -1 when the change failed.
int set_owner(const PathName& path, uint32_t uid, uint32_t gid);
char* get_password_string();                              // counted error, null

// Operating-system services on POSIX: file-system calls on PathNames, the
// status record, free space, temporary-name digits and answers from the user.
#include "platform/os.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/console.h"

namespace {

char pathText[PATH_MAX_TEXT];     // full path of the first PathName of a call
char secondText[PATH_MAX_TEXT];   // full path of the second name of path_rename

constexpr int ANSWER_LINE = 80;   // a line answer holds at most 79 characters
constexpr int KEY_LINE = 32;      // a key answer line holds at most 31 characters

const char* full(const PathName& path) { return path.full_path(pathText); }

FILE* answer_stream() {
  FILE* in = input_stream();
  return in ? in : stdin;
}

void fill_status(const struct stat& st, FileStatus& out) {
  // The type and permission bits of this platform have the values the rest
  // of the program expects (0x4000 directory, 0x8000 file, 0x0100/0x0080/0x0040).
  out.mode = static_cast<int>(st.st_mode & 0xFFFF);
  out.uid = st.st_uid;
  out.gid = st.st_gid;
  out.size = st.st_size;
  out.atime = st.st_atime;
  out.mtime = st.st_mtime;
  out.ctime = st.st_ctime;
  out.nlink = static_cast<uint16_t>(st.st_nlink > 0xFFFF ? 0xFFFF : st.st_nlink);
  out.device = st.st_dev;
  out.inode = st.st_ino;
}

}  // namespace

int path_stat(const PathName& path, FileStatus& out) {
  out.spare = 0;
  struct stat st;
  if (::stat(full(path), &st) != 0) return -1;
  fill_status(st, out);
  return 0;
}

int text_lstat(const char* path, FileStatus& out) {
  out.spare = 0;
  struct stat st;
  if (::lstat(path, &st) != 0) return -1;
  fill_status(st, out);
  return 0;
}

int path_lstat(const PathName& path, FileStatus& out) { return text_lstat(full(path), out); }

int path_mkdir(const PathName& path) { return ::mkdir(full(path), 0777) == 0 ? 0 : -1; }

int path_rmdir(const PathName& path) { return ::rmdir(full(path)) == 0 ? 0 : -1; }

int path_unlink(const PathName& path) { return path_unlink_text(full(path)); }

int path_unlink_text(const char* path) { return ::unlink(path) == 0 ? 0 : -1; }

int path_rename(const PathName& from, const PathName& to) {
  to.full_path(secondText);
  return ::rename(full(from), secondText) == 0 ? 0 : -1;
}

int path_chmod(const PathName& path, int mode) {
  const char* text = full(path);
  struct stat st;
  if (::stat(text, &st) != 0) return -1;
  // Only the writable bit counts: without it the file becomes read-only; with
  // it the file keeps the permissions it was created with.
  if (mode & FS_WRITABLE) return 0;
  mode_t permissions = st.st_mode & 07777 & ~static_cast<mode_t>(0222);
  return ::chmod(text, permissions) == 0 ? 0 : -1;
}

int path_set_permissions(const PathName& path, int mode) {
  return ::chmod(full(path), static_cast<mode_t>(mode & 0777)) == 0 ? 0 : -1;
}

int path_set_time(const PathName& path, int64_t atime, int64_t mtime) {
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(atime);
  times[0].tv_nsec = 0;
  times[1].tv_sec = static_cast<time_t>(mtime);
  times[1].tv_nsec = 0;
  return ::utimensat(AT_FDCWD, full(path), times, 0) == 0 ? 0 : -1;
}

int disk_free(const PathName& path) {
  const char* dir = path.dir && path.dir[0] ? path.dir : ".";
  struct statvfs vfs;
  if (::statvfs(dir, &vfs) != 0) return INT_MAX;
  unsigned long long bytes = static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
  return bytes > static_cast<unsigned long long>(INT_MAX) ? INT_MAX : static_cast<int>(bytes);
}

void make_temp_name(char* templ, unsigned attempt) {
  char* x = std::strchr(templ, 'X');
  if (!x || std::strlen(x) < 6) return;
  unsigned q = (static_cast<unsigned>(::getpid()) + attempt) & 0x1FFFF;
  x[0] = static_cast<char>('0' + ((q >> 15) & 3));
  for (int i = 1; i < 6; ++i) x[i] = static_cast<char>('0' + ((q >> (3 * (5 - i))) & 7));
}

// Reads one line into line; the rest of a longer line is read and dropped, so
// that it cannot answer the next question.
static bool read_one_line(FILE* in, char* line, int size) {
  sync_messages();   // the question is on the console before the wait for its answer
  if (!std::fgets(line, size, in)) return false;
  if (!std::strchr(line, '\n')) {
    int c;
    do c = std::fgetc(in);
    while (c != '\n' && c != EOF);
  }
  return true;
}

void read_answer_line(char* dst, int n) {
  char line[ANSWER_LINE];
  if (!read_one_line(answer_stream(), line, sizeof line)) line[0] = '\0';
  for (char* p = line; *p; ++p)
    if (*p == '\r' || *p == '\n') *p = '\0';
  if (n > 0) std::strncpy(dst, line, static_cast<size_t>(n));
}

int read_key() {
  char line[KEY_LINE];
  if (!read_one_line(answer_stream(), line, sizeof line)) return 'n';   // no more input: refuse
  int key = static_cast<unsigned char>(line[0]);
  if (key == '\r' || key == '\0') key = '\n';
  if (key >= 'A' && key <= 'Z') key += 'a' - 'A';
  return key;
}

int starts_with(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0 ? 1 : 0;
}

char* str_dup(const char* text) {
  if (!text) return nullptr;
  size_t n = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(n));
  if (copy) std::memcpy(copy, text, n);
  return copy;
}

int path_take_permissions(const PathName& path, const PathName* model) {
  char text[PATH_MAX_TEXT];
  path.full_path(text);
  struct stat st;
  if (model && ::stat(full(*model), &st) == 0) {
    // The owner first (changing it may clear set-id bits, which are never
    // copied anyway); where that is not allowed the file stays ours.
    if (::chown(text, st.st_uid, st.st_gid) != 0) errno = 0;
    return ::chmod(text, st.st_mode & 0777) == 0 ? 0 : -1;
  }
  mode_t mask = ::umask(0);
  ::umask(mask);
  return ::chmod(text, 0666 & ~mask) == 0 ? 0 : -1;
}

bool path_resolve_link(const PathName& path, char* dst) {
  path.full_path(dst);
  for (int depth = 0; depth < 16; ++depth) {
    struct stat st;
    if (::lstat(dst, &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    char target[PATH_MAX_TEXT];
    ssize_t n = ::readlink(dst, target, sizeof target - 1);
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof target) - 1) return false;
    target[n] = '\0';
    if (target[0] == '/') {
      std::strcpy(dst, target);
      continue;
    }
    // A relative target counts from the directory that holds the link.
    char* slash = std::strrchr(dst, '/');
    size_t keep = slash ? static_cast<size_t>(slash - dst) + 1 : 0;
    if (keep + static_cast<size_t>(n) >= PATH_MAX_TEXT) return false;
    std::memmove(dst + keep, target, static_cast<size_t>(n) + 1);
  }
  return false;
}

bool make_parent_directories(const char* path) {
  const char* slash = strrchr(path, '/');
  if (!slash || slash == path) return true;
  char directory[PATH_MAX_TEXT];
  size_t length = static_cast<size_t>(slash - path);
  if (length >= sizeof directory) return false;
  memcpy(directory, path, length);
  directory[length] = '\0';
  PathName target(directory);
  if (target.refused) return false;
  FileStatus status;
  if (path_stat(target, status) == 0) return status.is_directory();
  if (path_mkdir(target) == 0) return true;
  return make_parent_directories(directory) && path_mkdir(target) == 0;
}

int make_link(const char*, const PathName&) { return -1; }

int set_owner(const PathName& path, uint32_t uid, uint32_t gid) {
  if (::geteuid() != 0) return 0;
  return ::lchown(full(path), static_cast<uid_t>(uid), static_cast<gid_t>(gid)) == 0 ? 0 : -1;
}

char* get_password_string() {
  report_error("get_password_string yet not supported");
  return nullptr;
}

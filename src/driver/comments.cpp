// Member comments from a comment file ("-c@") or typed per member ("-cl"),
// and the archive comment typed when a new archive is begun ("-cg").
#include "driver/comments.h"

#include <cstdlib>
#include <cstring>

#include "archive/kvn_format.h"
#include "driver/options.h"
#include "platform/console.h"
#include "platform/iofile.h"
#include "platform/os.h"
#include "platform/scan.h"

namespace {

constexpr int COMMENT_LINE_MAX = 255;      // characters kept of a comment-file line
constexpr int ANSWER_BUFFER = 80;          // a typed line holds at most 79 characters
constexpr int ARCHIVE_COMMENT_MAX = 1023;  // characters of a typed archive comment
constexpr int OLD_COMMENT_MAX = 1024;      // characters kept of an old archive comment

// The comment file stays open for the whole run once opened.
struct CommentFileState {
  IoFile* file;  // open comment file, or null
  int tried;     // an open was attempted (a failure is reported only once)
};
CommentFileState commentFile = {nullptr, 0};

void set_comment(EntryInfo* entry, const char* text) {
  size_t length = strnlen(text, KVN_MAX_COMMENT);
  memcpy(entry->commentText, text, length);
  entry->commentText[length] = '\0';
  entry->commentLength = static_cast<uint16_t>(length);
  entry->flags |= ENTRY_COMMENT;
}

void remove_comment(EntryInfo* entry) {
  entry->commentText[0] = '\0';
  entry->commentLength = 0;
  entry->flags &= static_cast<uint16_t>(~ENTRY_COMMENT);
}

// Reads the next line into line (carriage returns dropped, at most
// COMMENT_LINE_MAX characters kept); false at the end of the file.
bool read_comment_line(IoFile* file, char* line) {
  int c = io_get_byte(file);
  if (c < 0) return false;
  int length = 0;
  for (; c >= 0 && c != '\n'; c = io_get_byte(file)) {
    if (c != '\r' && length < COMMENT_LINE_MAX) line[length++] = static_cast<char>(c);
  }
  line[length] = '\0';
  return true;
}

IoFile* comment_file() {
  if (!commentFile.tried) {
    commentFile.tried = 1;
    // It is read from its start for every member, so it must be a plain
    // file: a pipe would serve once, a device never end.
    FileStatus status{};
    const bool plain = path_stat(*options.commentFile, status) == 0 && status.is_regular();
    commentFile.file = plain ? io_open_path(*options.commentFile, IO_MODE_READ) : nullptr;
    if (!commentFile.file) report_error_path(message_text(MSG_NO_COMMENT_FILE), *options.commentFile);
  }
  return commentFile.file;
}

// The first line whose name part (before the first ':') matches the member
// decides: its comment is set, or removed when empty.
void comment_from_file(EntryInfo* entry) {
  IoFile* file = comment_file();
  if (!file) return;
  io_seek(file, 0, 0);
  char line[COMMENT_LINE_MAX + 1];
  while (read_comment_line(file, line)) {
    char* colon = strchr(line, ':');
    const char* comment = "";
    if (colon) {
      *colon = '\0';
      comment = colon + 1;
    }
    PathName pattern(line);
    if (!path_match(&entry->name, &pattern, platformSettings.pathMode)) continue;
    if (*comment) {
      set_comment(entry, comment);
    } else {
      remove_comment(entry);
    }
    return;
  }
}

// One line typed by the user, zero-terminated.
void read_line(char* line) {
  read_answer_line(line, ANSWER_BUFFER - 1);
  line[ANSWER_BUFFER - 1] = '\0';
}

void comment_typed(EntryInfo* entry) {
  QuestionShown shown;
  print_action_with(entry->name, ActionKind::Comment, message_text(MSG_COMMENT_PROMPT));
  char line[ANSWER_BUFFER];
  read_line(line);
  if (line[0]) {
    set_comment(entry, line);
  } else {
    remove_comment(entry);
  }
}

}  // namespace

void comment_member(EntryInfo* entry) {
  if (options.commentFile) {
    comment_from_file(entry);
  } else if (options.commentPerFile) {
    comment_typed(entry);
  }
}

char* edit_archive_comment(const char* oldComment) {
  QuestionShown shown;
  if (oldComment && *oldComment) {
    print_comment(oldComment);
    print_text("\n");
  }
  print_text(message_text(MSG_ENTER_COMMENT));
  char typed[ARCHIVE_COMMENT_MAX + 1];
  int length = 0;
  for (;;) {
    char line[ANSWER_BUFFER];
    read_line(line);
    if (!line[0]) break;
    for (const char* p = line; *p && length < ARCHIVE_COMMENT_MAX; ++p) typed[length++] = *p;
    if (length < ARCHIVE_COMMENT_MAX) typed[length++] = '\n';
  }
  typed[length] = '\0';
  if (length > 0) return str_dup(typed);
  if (!oldComment || !*oldComment) return nullptr;
  size_t keep = strnlen(oldComment, OLD_COMMENT_MAX);
  char* copy = static_cast<char*>(malloc(keep + 1));
  if (!copy) return nullptr;
  memcpy(copy, oldComment, keep);
  copy[keep] = '\0';
  return copy;
}

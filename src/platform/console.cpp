// Console output: streams, the active message catalogue, counted errors,
// action lines, the pager, repeated characters and the progress figure.
#include "platform/console.h"

#include <unistd.h>

#include <cctype>
#include <cstring>
#include <ctime>

#include "platform/settings.h"
#include "platform/messages.h"

namespace {

struct ConsoleState {
  FILE* messages = nullptr;       // ordinary output; stdout until redirected
  FILE* errors = nullptr;         // error reports and pager prompts
  FILE* input = nullptr;          // pager answers and user answers
  int quiet = 0;                  // nothing reaches the message stream while set
  int lineCounter = 0;            // newlines through the pager since its last prompt
  int errorCount = 0;             // counted errors of the run (the exit status)
  int asking = 0;                 // a question waits for its answer: shown even while quiet
  time_t progressStart = 0;       // the progress clock, whole seconds
  bool live = true;               // the message stream is watched as it is written (see decide_flushing)
  const char* const* active = russianMessages;  // one whole language; language 0 at start
};

ConsoleState console;
char stderrMessageBuffer[2048];   // the message stream's buffer after messages_to_stderr

FILE* messages_out() { return console.messages ? console.messages : stdout; }
FILE* errors_out() { return console.errors ? console.errors : stderr; }
FILE* input_in() { return console.input ? console.input : stdin; }

bool is_continuation_byte(unsigned char c) { return (c & 0xC0) == 0x80; }

// The message stream is live while someone may be watching it as it is
// written: on a terminal, and on any stream other than the process's
// standard output or error (a caller's file that it may read back at once).
// A live stream is flushed after each message and gets the redraws meant for
// a screen: progress figures and the pager. Redirected to a file, a pipe or
// the null device, the standard streams keep their buffers (a run over many
// files then costs a few writes instead of several per file) and receive
// every line once, finished. Nothing is reordered: the buffer is emptied
// before every error report, every read of an answer, every pager prompt and
// every direct write to the same handles (see sync_messages), and at exit.
void decide_flushing() {
  FILE* out = messages_out();
  console.live = (out != stdout && out != stderr) || isatty(fileno(out)) != 0;
}

bool silenced() { return console.quiet != 0 && console.asking == 0; }

// The pager pauses only a stream someone reads as it comes.
bool paging() { return platformSettings.pageOutput != 0 && console.live; }

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7F; }

// Copies text into out (at least 4 * strlen(text) + 1 bytes) with every
// control character written as \xHH, so that a name or comment taken from an
// archive cannot move the cursor, clear the screen or retitle the terminal.
// The C1 controls of UTF-8 (C2 80..C2 9F) count as control characters too.
// keepLines leaves line feeds and tabs alone and drops the carriage return
// of a CR LF. Answers the length written.
size_t escape_controls(const char* text, char* out, bool keepLines) {
  static const char kHex[] = "0123456789abcdef";
  size_t n = 0;
  auto escape = [&](unsigned char c) {
    out[n++] = '\\';
    out[n++] = 'x';
    out[n++] = kHex[c >> 4];
    out[n++] = kHex[c & 15];
  };
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    const unsigned char c = *p;
    if (keepLines && (c == '\n' || c == '\t' || (c == '\r' && p[1] == '\n'))) {
      if (c != '\r') out[n++] = static_cast<char>(c);
    } else if (is_control(c)) {
      escape(c);
    } else if (c == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F) {
      escape(c);
      escape(*++p);
    } else {
      out[n++] = static_cast<char>(c);
    }
  }
  out[n] = '\0';
  return n;
}

// Asks "-more- " on the error stream and waits for one answer line; 'a'
// (either case) or the end of the input turns the pager off for the run.
void pager_prompt() {
  fflush(messages_out());
  FILE* err = errors_out();
  fputs(message_text(MSG_MORE), err);
  fflush(err);

  char line[32];
  int answer = EOF;
  if (fgets(line, sizeof line, input_in()) != nullptr) {
    answer = static_cast<unsigned char>(line[0]);
    // Drop the rest of an over-long line so it cannot answer later questions.
    if (strchr(line, '\n') == nullptr) {
      int c;
      do {
        c = fgetc(input_in());
      } while (c != '\n' && c != EOF);
    }
  }
  answer = tolower(answer);

  fputs("\r       \r", err);
  fflush(err);
  if (answer == 'a' || answer == EOF) {
    platformSettings.pageOutput = 0;
    console.lineCounter = -32767;
  } else {
    console.lineCounter = 0;
  }
}

void pager_put(FILE* to, unsigned char c) {
  fputc(c, to);
  if (c == '\n') ++console.lineCounter;
  if (console.lineCounter >= PAGE_LENGTH) {
    fflush(to);
    pager_prompt();
  }
}

// Writes bytes to a stream one at a time through the pager. The pager may be
// turned off part way; the remaining bytes still go out.
void write_paged(FILE* to, const unsigned char* bytes, int n) {
  for (int i = 0; i < n; ++i) pager_put(to, bytes[i]);
  fflush(to);
}

int action_message(ActionKind kind) {
  switch (kind) {
    case ActionKind::Add: return 1;
    case ActionKind::Update: return 2;
    case ActionKind::Test: return 3;
    case ActionKind::Fresh: return 4;
    case ActionKind::Delete: return 5;
    case ActionKind::Extract: return 6;
    case ActionKind::Skip: return 7;
    case ActionKind::Comment: return 8;
  }
  return MSG_TO;
}

// Builds a counted-error text: the first '%' takes arg (nothing when null),
// later '%' vanish; at most ERROR_TEXT_MAX bytes, cut before any UTF-8
// sequence that would not fit whole.
void build_error_text(char* out, const char* templ, const char* arg) {
  char text[ERROR_TEXT_MAX + 2];  // one byte beyond the limit shows whether a cut happens
  int len = 0;
  bool substituted = false;
  for (const char* t = templ ? templ : ""; *t != '\0' && len <= ERROR_TEXT_MAX; ++t) {
    if (*t != '%') {
      text[len++] = *t;
      continue;
    }
    if (substituted || arg == nullptr) {
      substituted = true;
      continue;
    }
    substituted = true;
    for (const char* a = arg; *a != '\0' && len <= ERROR_TEXT_MAX; ++a) text[len++] = *a;
  }
  if (len > ERROR_TEXT_MAX) {
    len = ERROR_TEXT_MAX;
    while (len > 0 && is_continuation_byte(static_cast<unsigned char>(text[len]))) --len;
  }
  memcpy(out, text, static_cast<size_t>(len));
  out[len] = '\0';
}

int report_counted(const char* templ, const char* arg) {
  // The argument is a name or a word from outside: shown with its controls
  // escaped. Only as much of it as the text can hold matters.
  char head[ERROR_TEXT_MAX + 2];
  char shown[4 * sizeof head + 1];
  if (arg) {
    snprintf(head, sizeof head, "%s", arg);
    escape_controls(head, shown, false);
    arg = shown;
  }
  char text[ERROR_TEXT_MAX + 1];
  build_error_text(text, templ, arg);
  sync_messages();   // messages written so far come before the report
  FILE* err = errors_out();
  fputc('\a', err);
  fputs(text, err);
  fflush(err);
  fputc('\n', err);
  fflush(err);
  return ++console.errorCount;
}

}  // namespace

void console_init() {
  console.messages = stdout;
  console.errors = stderr;
  console.input = stdin;
  console.lineCounter = 0;
  console.progressStart = time(nullptr);
  decide_flushing();
}

void console_use_streams(FILE* messages, FILE* errors, FILE* input) {
  if (messages) console.messages = messages;
  if (errors) console.errors = errors;
  if (input) console.input = input;
  console.lineCounter = 0;
  decide_flushing();
}

FILE* message_stream() { return messages_out(); }
FILE* error_stream() { return errors_out(); }
FILE* input_stream() { return input_in(); }

void select_catalog() {
  switch (platformSettings.language) {
    case 0: console.active = russianMessages; break;
    case 2: console.active = germanMessages; break;
    default: console.active = englishMessages; break;
  }
}

const char* message_text(int number) {
  if (number < 0 || number >= MESSAGE_COUNT) return "";
  return console.active[number];
}

const char* catalog_text(int language, int number) {
  if (number < 0 || number >= MESSAGE_COUNT) return "";
  switch (language) {
    case 0: return russianMessages[number];
    case 1: return englishMessages[number];
    case 2: return germanMessages[number];
  }
  return "";
}

const char* month_name(int month) {
  if (month < 1 || month > 12) return "???";
  const char* name = message_text(MSG_MONTHS);
  for (int i = 1; i < month; ++i) name += strlen(name) + 1;
  return name;
}

void print_text(const char* text) {
  if (silenced() || text == nullptr) return;
  if (paging()) {
    write_paged(messages_out(), reinterpret_cast<const unsigned char*>(text), static_cast<int>(strlen(text)));
  } else {
    fputs(text, messages_out());
    if (console.live) fflush(messages_out());
  }
}

void print_name(const char* name) {
  if (name == nullptr) return;
  // Names are bounded like every path text; a cut never splits a UTF-8 sequence.
  char buffer[PATH_MAX_TEXT];
  size_t len = strnlen(name, PATH_MAX_TEXT);
  if (len >= PATH_MAX_TEXT) {
    len = PATH_MAX_TEXT - 1;
    while (len > 0 && is_continuation_byte(static_cast<unsigned char>(name[len]))) --len;
  }
  memcpy(buffer, name, len);
  buffer[len] = '\0';
  char shown[4 * PATH_MAX_TEXT];
  escape_controls(buffer, shown, false);
  print_text(shown);
}

void print_comment(const char* text) {
  if (text == nullptr) return;
  // Comments are printed in pieces, each escaped on its own.
  char piece[PATH_MAX_TEXT];
  char shown[4 * sizeof piece + 1];
  for (size_t left = strlen(text); left > 0;) {
    size_t take = left < sizeof piece - 1 ? left : sizeof piece - 1;
    // A CR LF or a two-byte C1 control is never split between two pieces.
    if (take < left && (text[take - 1] == '\r' || static_cast<unsigned char>(text[take - 1]) == 0xC2)) --take;
    memcpy(piece, text, take);
    piece[take] = '\0';
    escape_controls(piece, shown, true);
    print_text(shown);
    text += take;
    left -= take;
  }
}

void print_path(const PathName& path) {
  char buffer[PATH_MAX_TEXT];
  print_name(path.full_path(buffer));
}

void flush_messages() {
  if (console.live) fflush(messages_out());
}

void sync_messages() { fflush(messages_out()); }

void print_action(const PathName& path, ActionKind kind) {
  print_text(message_text(action_message(kind)));
  if (platformSettings.pathMode) {
    print_path(path);
  } else {
    print_name(path.name);
  }
  print_text("\t");
}

void print_action_with(const PathName& path, ActionKind kind, const char* tail) {
  print_action(path, kind);
  print_text(tail);
  flush_messages();
}

int report_error(const char* text) { return report_counted(text, nullptr); }

int report_error_with(const char* templ, const char* text) {
  return report_counted(templ, text);
}

int report_error_path(const char* templ, const PathName& path) {
  char buffer[PATH_MAX_TEXT];
  return report_counted(templ, path.full_path(buffer));
}

int report_error_because(const char* templ, const char* text, const char* reason) {
  if (reason == nullptr || *reason == '\0') return report_counted(templ, text);
  char joined[ERROR_TEXT_MAX + 1];
  snprintf(joined, sizeof joined, "%s: %s", templ ? templ : "", reason);
  return report_counted(joined, text);
}

int report_error_path_because(const char* templ, const PathName& path, const char* reason) {
  char buffer[PATH_MAX_TEXT];
  return report_error_because(templ, path.full_path(buffer), reason);
}

int error_count() { return console.errorCount; }
void set_error_count(int count) { console.errorCount = count; }

void print_repeated(char c, int n) {
  if (silenced() || n <= 0) return;
  if (paging()) {
    for (int i = 0; i < n; ++i) pager_put(messages_out(), static_cast<unsigned char>(c));
    fflush(messages_out());
    return;
  }
  char piece[256];
  memset(piece, c, sizeof piece);
  if (!console.live) {
    // Nobody watches the cursor: the characters join the buffered messages.
    while (n > 0) {
      int chunk = n < static_cast<int>(sizeof piece) ? n : static_cast<int>(sizeof piece);
      fwrite(piece, 1, static_cast<size_t>(chunk), messages_out());
      n -= chunk;
    }
    return;
  }
  // Straight to the handle in pieces; the stream holds nothing unwritten.
  fflush(messages_out());
  int fd = fileno(messages_out());
  while (n > 0) {
    int chunk = n < static_cast<int>(sizeof piece) ? n : static_cast<int>(sizeof piece);
    ssize_t written = write(fd, piece, static_cast<size_t>(chunk));
    if (written <= 0) return;  // console write failures are not reported
    n -= static_cast<int>(written);
  }
}

void page_write(const void* data, int n) {
  if (data == nullptr || n <= 0) return;
  // Member data belongs on standard output, wherever the messages go.
  write_paged(stdout, static_cast<const unsigned char*>(data), n);
}

void format_percent(int64_t total, int64_t part, char* out, bool long_form) {
  if (total <= 0 || part <= 0) {
    strcpy(out, long_form ? "00.0%" : " %0 ");
    return;
  }
  if (part >= total) {
    strcpy(out, long_form ? " 100%" : "%100");
    return;
  }
  while (total > 2000000) {
    total >>= 1;
    part >>= 1;
  }
  int32_t m = static_cast<int32_t>(part * 1000 / total);
  // Halving can make part equal total; the figure stays below 100%.
  if (m > 999) m = 999;
  char hundreds = static_cast<char>('0' + m / 100);
  char tens = static_cast<char>('0' + (m / 10) % 10);
  if (long_form) {
    out[0] = hundreds;
    out[1] = tens;
    out[2] = '.';
    out[3] = static_cast<char>('0' + m % 10);
    out[4] = '%';
    out[5] = '\0';
  } else {
    out[0] = ' ';
    out[1] = '%';
    out[2] = hundreds;
    out[3] = tens;
    out[4] = '\0';
  }
}

void progress_reset() { console.progressStart = time(nullptr); }

long progress_ticks() {
  return static_cast<long>(time(nullptr) - console.progressStart) * 18;
}

void messages_to_stderr() {
  console.messages = stderr;
  setvbuf(stderr, stderrMessageBuffer, _IOFBF, sizeof stderrMessageBuffer);
  decide_flushing();
}

void set_quiet(int flag) { console.quiet = flag; }
void begin_question() { ++console.asking; }
void end_question() {
  if (console.asking > 0) --console.asking;
}
bool console_live() { return console.live; }
int is_quiet() { return console.quiet; }

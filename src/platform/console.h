// Console output: the numbered message catalogue in three languages, the
// message, error and input streams, counted errors, action lines, the pager
// and the progress percentage and clock.
#pragma once

#include "platform/message_numbers.h"

#include <cstdint>
#include <cstdio>

#include "platform/paths.h"

constexpr int MESSAGE_COUNT = 96;  // numbered messages 0..95 in every language
constexpr int PAGE_LENGTH = 23;    // lines shown before the pager asks "-more- "
constexpr int ERROR_TEXT_MAX = 159;  // counted-error texts are cut to this many bytes


// The work an action line announces; any other value prints message 0.
enum class ActionKind : int {
  Add = 1,
  Update = 2,
  Test = 3,
  Fresh = 5,
  Delete = 6,
  Extract = 7,
  Skip = 8,
  Comment = 9,
};

// Message stream := stdout, error stream := stderr, input stream := stdin,
// progress clock started, pager line counter reset.
void console_init();
// Fills the active catalogue from platformSettings.language (0 Russian, 1 English,
// 2 German, anything else English). Cheap; may be called again at any time.
void select_catalog();
// The active catalogue's text of message `number`; "" for a number outside 0..95.
// Never null.
const char* message_text(int number);
// The text of message `number` in a given language (0, 1, 2), regardless of
// the active one; "" for a number or language out of range.
const char* catalog_text(int language, int number);
// The abbreviation of month 1..12 from message 94 of the active catalogue,
// "???" for any other month. Message 94 holds twelve zero-terminated names
// back to back: four bytes apart in English and German, wider in Russian,
// whose UTF-8 letters take two bytes each, so callers must not index it.
const char* month_name(int month);

// Writes a text to the message stream and flushes it when the stream is live
// (see console_live); through the pager while platformSettings.pageOutput is
// non-zero and the stream is live. Nothing while quiet, unless a question is
// being asked.
void print_text(const char* text);
// Writes a file name as print_text does. Names are shown as the file system
// holds them, with '/' separators and UTF-8 bytes unchanged, except control
// characters (C0, DEL and the C1 controls of UTF-8), which are shown as
// \xHH so that no name can drive the terminal. Counted errors show their
// argument the same way.
void print_name(const char* name);
// Writes a comment as print_text does, with control characters shown as
// print_name shows them; line feeds and tabs stay, the CR of a CR LF goes.
void print_comment(const char* text);
// print_name of the path's full path.
void print_path(const PathName& path);
// Shows what was written so far: flushes the message stream when it is
// watched; a redirected standard stream keeps its buffer.
void flush_messages();
// Empties the message stream's buffer whatever the stream: before anything
// that must come after the messages (a report on the error stream, a read
// of an answer, a direct write to the standard handles).
void sync_messages();

// The action word of `kind`, the name (full path when platformSettings.pathMode is on,
// the name part otherwise) and a tab; the line is left open.
void print_action(const PathName& path, ActionKind kind);
// print_action, then print_text(tail), then flush_messages.
void print_action_with(const PathName& path, ActionKind kind, const char* tail);

// Counted errors: BEL and the text (cut to 159 bytes, never inside a UTF-8
// sequence) on the error stream, a newline, and one more counted error.
// The first '%' of a template takes the argument (nothing when it is null),
// further '%' vanish. Each returns the new error count. Quiet and the pager
// do not apply.
int report_error(const char* text);
int report_error_with(const char* templ, const char* text);
int report_error_path(const char* templ, const PathName& path);
// The same with the system's reason for the failure appended (": Permission
// denied"); a null reason appends nothing.
int report_error_because(const char* templ, const char* text, const char* reason);
int report_error_path_because(const char* templ, const PathName& path, const char* reason);
int error_count();
void set_error_count(int count);

// Writes byte c n times to the message stream; nothing while quiet.
void print_repeated(char c, int n);
// Writes bytes through the pager to standard output (the console write of
// IoFile uses it while the pager is on and standard output is a terminal).
// The quiet flag does not apply.
void page_write(const void* data, int n);

// Percentage of part in total, zero-terminated into out (at least 6 bytes):
// long form "07.5%" (5 characters) or short form " %07" (4 characters).
void format_percent(int64_t total, int64_t part, char* out, bool long_form);
// Restarts the progress clock.
void progress_reset();
// Time since the progress clock started, in units of 1/18 s (whole seconds x 18).
long progress_ticks();

// Moves ordinary messages to standard error (for commands that write member
// data to standard output); the stream gets a fully buffered 2048-byte buffer.
void messages_to_stderr();
void set_quiet(int flag);
int is_quiet();
// Between these calls a question waits for its answer: what it prints is
// shown even while quiet. Calls may nest.
void begin_question();
void end_question();
// Shows a question's texts while it lives (see begin_question).
struct QuestionShown {
  QuestionShown() { begin_question(); }
  ~QuestionShown() { end_question(); }
  QuestionShown(const QuestionShown&) = delete;
  QuestionShown& operator=(const QuestionShown&) = delete;
};
// Whether the message stream is live: watched as it is written, as on a
// terminal (or a stream of the caller's own, not the standard output or
// error). Only a live stream is flushed after every message and gets the
// redraws meant for a screen (progress figures, the pager); redirected
// output gets every line once, finished.
bool console_live();

FILE* message_stream();
FILE* error_stream();
FILE* input_stream();
// Replaces the three console streams (tests and redirections) and resets the
// pager's line counter; a null argument keeps that stream.
void console_use_streams(FILE* messages, FILE* errors, FILE* input);

// Installs on_interrupt for SIGINT, SIGTERM, SIGHUP and SIGQUIT, and ignores
// SIGXFSZ and SIGPIPE, so that their causes show as write errors.
void install_interrupt_handler();
// Between these two calls an interrupt or a request to end waits: for steps
// that create a file and record it for the clean-up, or move an archive and
// record where it went, which must happen together.
void hold_interrupts();
void release_interrupts();
// Closes handles 3..99 and ends the run through fatal_signal with the text of
// the signal (message 95 for an interrupt or a request to end).
void on_interrupt(int signal);

// Short questions on the console and the confirmation rule of "-q" and "-y".
#include "driver/prompts.h"

#include "driver/options.h"
#include "platform/console.h"
#include "platform/os.h"

namespace {

// Each operation bit and the catalogue message of its prompt.
struct ConfirmPrompt {
  unsigned operation;
  int message;
};

const ConfirmPrompt kConfirmPrompts[] = {
    {CONFIRM_DELETE, 62},           // "delete "
    {CONFIRM_ADD, 60},              // "add to archive "
    {CONFIRM_FRESH, 64},            // "fresh "
    {CONFIRM_REPLACE, 61},          // "replace "
    {CONFIRM_DELETE_ARCHIVED, 63},  // "delete from archive "
    {CONFIRM_EXTRACT, 65},          // "extract "
    {CONFIRM_EXTRACT_DIR, 66},      // "extract directory "
};

}  // namespace

int ask(const char* prompt, const PathName* path) {
  QuestionShown shown;
  print_text(prompt);
  if (path) print_path(*path);
  print_text(": ");
  return read_key();
}

int ask_text(const char* prompt, const char* name) {
  QuestionShown shown;
  print_text(prompt);
  print_name(name);
  print_text(": ");
  return read_key();
}

const char* confirm_prompt(unsigned operation) {
  for (const ConfirmPrompt& p : kConfirmPrompts) {
    if (p.operation == operation) return message_text(p.message);
  }
  return "";
}

int confirm(const PathName* path, unsigned operation) {
  if ((options.confirmMask & operation) == 0) return 1;
  if (options.assumeYes) return 1;
  int key = ask(confirm_prompt(operation), path);
  print_text("\n");
  flush_messages();
  if (key == 'a') {
    options.confirmMask = 0;   // "all": no more questions for any operation
    return 1;
  }
  return key == 'y' ? 1 : 0;
}

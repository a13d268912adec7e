// The command line: arguments, response files, the command letter, the
// switches, the archive-kind table and the consistency checks of the switches.
#include "driver/cmdline.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <new>

#include "codec/methods.h"
#include "formats/format_table.h"
#include "platform/console.h"
#include "platform/iofile.h"
#include "platform/os.h"

namespace {

// Texts of this module that have no catalogue number.
const char* const kResponseTooDeep = "%: response files nested too deeply";
const char* const kEmptyDirectory = "-%: needs a directory name";
const char* const kMethodOnlyKvn = "the high method and method five are allowed only for kvn archives";
const char* const kVolumesOnlyKvn = "volumes are allowed only for kvn archives";
const char* const kFiveWithoutVolumes = "Multivolume does not support method five";

int responseDepth = 0;       // response files being read, one inside the other
bool chainTooDeep = false;   // they went too deep: the files still open read no further ones
int failedArguments = 0;     // see failed_argument_count

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == 0; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

void select_language(int language) {
  platformSettings.language = language;
  select_catalog();   // every later message, parse errors included, in that language
}

// A PathName for the name argument of a switch; null (after the path code's
// report) when the name is refused for its length.
PathName* switch_path(const char* text) {
  PathName* path = new (std::nothrow) PathName(text);
  if (!path) fatal_error(message_text(MSG_NO_MEMORY));
  if (path->refused) {
    delete path;
    ++failedArguments;
    return nullptr;
  }
  return path;
}

void replace_path(PathName*& field, const char* text) {
  delete field;
  field = switch_path(text);
}

// "-v": 1450000 alone; digits accumulate in decimal (other characters are
// skipped) until 'b' (x512) or 'k' (x1024) ends the number; "-vf" fills the
// disk. Sizes beyond the 32-bit range stay at the largest one.
int volume_size_from(const char* arg) {
  if (arg[0] == 'f') return -1;
  if (!is_digit(arg[0])) return 1450000;
  int64_t size = 0;
  for (const char* p = arg; *p; ++p) {
    if (is_digit(*p)) {
      size = size * 10 + (*p - '0');
    } else if (*p == 'b' || *p == 'B') {
      size *= 512;
      break;
    } else if (*p == 'k' || *p == 'K') {
      size *= 1024;
      break;
    }
    if (size > INT32_MAX) size = INT32_MAX;
  }
  return size > INT32_MAX ? INT32_MAX : static_cast<int>(size);
}

unsigned confirm_mask_from(const char* letters) {
  if (*letters == 0) return 0xffff;
  static const char kLetters[] = "dafurxw";   // bit 0x01, 0x02, ... in this order
  unsigned mask = 0;
  for (const char* p = letters; *p; ++p) {
    const char* hit = strchr(kLetters, *p);
    if (hit) mask |= 1u << (hit - kLetters);
  }
  return mask;
}

void unknown_switch(const char* fromLetter) { report_error_with(message_text(MSG_UNKNOWN_COMMAND), fromLetter); }

}  // namespace

int failed_argument_count() { return failedArguments; }

bool command_is_modifying(int command) {
  switch (command) {
    case Add: case Create: case Delete: case Fresh: case HelpNoLetter10: case Update: case CommandCaret:
      return true;
    default:
      return false;
  }
}

bool command_is_help(int command) {
  switch (command) {
    case HelpNoLetter3: case Help: case CommandJ: case HelpNoLetter8: case HelpNoLetter10:
    case CommandEquals: case CommandCaret:
      return true;
    default:
      return false;
  }
}

int command_spec_flags(int command) {
  switch (command) {
    case Add: case Create: case Update:
      return SPEC_SCAN;
    case Delete: case Fresh: case HelpNoLetter8: case List: case HelpNoLetter10: case ListO:
    case Print: case Test: case Extract: case CommandEquals:
      return SPEC_MATCH;
    default:
      return 0;
  }
}

void set_kind_from_extension(const char* word) {
  if (options.archiveKindFixed) return;
  options.archiveKindIndex = kind_index_of(word);
  if (strcasecmp(word, "exe") == 0) archiveSettings.ignoreTextFlags = 1;
  ++options.archiveKindFixed;
}

void add_name(const char* text) {
  if (options.nameCount >= options.nameCapacity) {
    int capacity = options.nameCapacity + 32;
    char** names = static_cast<char**>(realloc(options.names, sizeof(char*) * capacity));
    if (names) options.names = names;
    unsigned char* flags = names ? static_cast<unsigned char*>(realloc(options.nameTextFlags, capacity)) : nullptr;
    if (flags) options.nameTextFlags = flags;
    if (!names || !flags) {
      report_error_with(message_text(MSG_NO_MEMORY_FOR_NAME), text);
      return;
    }
    options.nameCapacity = capacity;
  }
  char* copy = str_dup(text);
  if (!copy) {
    report_error_with(message_text(MSG_NO_MEMORY_FOR_NAME), text);
    return;
  }
  options.names[options.nameCount] = copy;
  options.nameTextFlags[options.nameCount] = options.textMode ? 1 : 0;
  ++options.nameCount;
}

void parse_argument(const char* text, int position) {
  if (position == 1) {
    parse_command(text);
  } else if (text[0] == '@') {
    read_response_file(text + 1, position);
  } else if (text[0] == '-' && text[1] == '-') {
    add_name(text + 1);
  } else if (text[0] == '-') {
    parse_switch(text);
  } else {
    add_name(text);
  }
}

void read_response_file(const char* path, int base) {
  // The run fails already; a file that names itself twice would otherwise
  // be read 2^16 times, and reported as often.
  if (chainTooDeep) return;
  if (responseDepth >= RESPONSE_FILE_DEPTH_MAX) {
    report_error_with(kResponseTooDeep, path);
    ++failedArguments;
    chainTooDeep = true;
    return;
  }
  // A list of names that cannot be read must not turn into "every file".
  size_t size = 0;
  char* text = io_read_whole(path, &size, RESPONSE_FILE_LIMIT);
  if (!text) {
    if (errno == ENOMEM) fatal_error(message_text(MSG_NO_MEMORY));
    report_error_because(message_text(MSG_RESPONSE_FILE_MISSING), path, errno == ENOENT ? nullptr : strerror(errno));
    ++failedArguments;
    return;
  }
  const size_t length = size;

  // Words are maximal runs of anything but blanks, tabs, line ends and NUL.
  ++responseDepth;
  int k = 0;
  size_t i = 0;
  while (i < length) {
    while (i < length && is_blank(text[i])) ++i;
    if (i >= length) break;
    size_t start = i;
    while (i < length && !is_blank(text[i])) ++i;
    text[i] = 0;
    // Below 1 (the options file) every word keeps the base: counting up,
    // the 32769th word would reach the command's position.
    parse_argument(text + start, base < 1 ? base : base + k);
    ++k;
    ++i;
  }
  if (--responseDepth == 0) chainTooDeep = false;
  free(text);
}

void parse_command(const char* text) {
  // The long form of help that users of other programs try first.
  if (strcmp(text, "--help") == 0) {
    options.command = Help;
    return;
  }
  const char* t = text;
  if (*t == '-' || *t == '/') ++t;
  switch (t[0]) {
    case '?':
    case 'h':
      options.command = Help;
      if (t[1] == 'e') select_language(1);
      if (t[1] == 'r') select_language(0);
      return;   // anything else after the letter is ignored
    case 'c':
      break;
    case 'a':
      options.command = Add;
      break;
    case 'm':
      options.command = Add;
      options.moveFiles = 1;
      break;
    case 'n':
      options.command = Create;
      break;
    case 'b':
      options.command = Create;
      platformSettings.pathMode = 1;
      options.testAfter = 1;
      codecSettings.level = -2;
      break;
    case 'd':
      options.command = Delete;
      break;
    case 'f':
      options.command = Fresh;
      platformSettings.pathMode = 1;
      break;
    case 'j':
      options.command = CommandJ;
      break;
    case 'l':
      options.command = List;
      options.listLayout = 1;
      break;
    case 'v':
      options.command = List;
      options.listLayout = 0;
      break;
    case '(':
      options.command = List;
      options.listLayout = 2;
      break;
    case 'o':
      options.command = ListO;
      break;
    case 'p':
      options.command = Print;
      messages_to_stderr();
      if (io_stdout() != 0) fatal_error(message_text(MSG_NO_MEMORY));
      break;
    case 't':
      options.command = Test;
      options.testAfter = 1;
      break;
    case 'u':
      options.command = Update;
      break;
    case 'e':
      options.command = Extract;
      platformSettings.pathMode = 0;
      break;
    case 'x':
      options.command = Extract;
      platformSettings.pathMode = 1;
      break;
    case '=':
      options.command = CommandEquals;
      break;
    case '^':
      options.command = CommandCaret;
      break;
    case 's':
      options.command = CommandS;
      break;
    default:
      report_error_with(message_text(MSG_UNKNOWN_COMMAND), t);
      break;
  }
  if (t[0] != 0 && t[1] != 0) report_error_with(message_text(MSG_GARBAGE_AFTER_COMMAND), t);
}

void parse_switch(const char* text) {
  const char letter = text[1];
  if (letter == 0) {
    unknown_switch(text + 1);
    return;
  }
  const char* arg = text + 2;
  switch (letter) {
    case '+':
      if (arg[0] == '+') {
        codecSettings.highMethodOrder = arg[1] == '3' ? 3 : arg[1] == '5' ? 5 : 4;
      } else if (arg[0] == 0 || arg[0] == '0') {
        codecSettings.level = 2;
      } else if (arg[0] == '1') {
        codecSettings.level = 1;
      } else if (arg[0] == '3') {
        codecSettings.level = -1;
      } else if (arg[0] == '4') {
        codecSettings.level = -2;
      }
      break;
    case '5':
      ++codecSettings.methodFive;
      break;
    case '/':
      ++platformSettings.stripLeadingSlash;
      break;
    case 'S':
      options.silent = 1;
      set_quiet(1);
      break;
    case 'a':
      ++platformSettings.pageOutput;
      break;
    case 'b':
      ++codecSettings.blockMode;
      break;
    case 'c':
      if (arg[0] == '@') {
        replace_path(options.commentFile, arg + 1);
        ++options.commentFileCount;
      } else if (arg[0] == 'g') {
        ++options.editArchiveComment;
      } else if (arg[0] == 'l') {
        ++options.commentPerFile;
      } else if (arg[0] == 's') {
        options.showArchiveComment = 0;
      } else {
        unknown_switch(text + 1);
      }
      break;
    case 'd':
      ++options.dirBlock;
      break;
    case 'e':
      if (options.exclusionCount < MAX_EXCLUSIONS) {
        PathName* path = switch_path(arg);
        if (path) options.exclusions[options.exclusionCount++] = path;
      }
      break;
    case 'f':
      options.freshOnly = 1;
      break;
    case 'g':
      // A password is accepted and not used; without one the system is asked for it.
      if (arg[0] >= '0' && arg[0] <= '2' && arg[1] == 0) get_password_string();
      break;
    case 'i':
      set_kind_from_extension(arg);
      break;
    case 'j':
      if (arg[0] == 'b') {
        options.textMode = 0;
      } else if (arg[0] == 't') {
        options.textMode = 1;
      } else if (arg[0] == 'c') {
        codecSettings.narrowWindow = 1;
      } else if (arg[0] == 'm' || arg[0] == 'u') {
        ++options.allowWildcardModify;
      } else {
        unknown_switch(text + 1);
      }
      break;
    case 'k':
      options.keepBroken = 1;
      break;
    case 'l':
      if (arg[0] == 'r' && arg[1] == 'u') select_language(0);
      if (arg[0] == 'e' && arg[1] == 'n') select_language(1);
      break;
    case 'm':
      options.moveFiles = 1;
      break;
    case 'n':
      options.restoreOwners = 1;
      break;
    case 'p':
      break;
    case 'o':
    case 'w':
      if (arg[0] == 0) {
        // An empty name would mean the root directory.
        report_error_with(kEmptyDirectory, text + 1);
        ++failedArguments;
        break;
      }
      replace_path(letter == 'o' ? options.outputDirectory : options.workDirectory, arg);
      break;
    case 'q':
      options.confirmMask |= confirm_mask_from(arg);
      break;
    case 'r':
      platformSettings.pathMode = 1;
      break;
    case 's':
      ++archiveSettings.ignoreTextFlags;
      break;
    case 't':
      options.testAfter = 1;
      break;
    case 'u':
      options.updateOnly = 1;
      break;
    case 'v':
      options.volumeSize = volume_size_from(arg);
      break;

    case 'y':
      ++options.assumeYes;
      break;
    case 'z':
      ++options.storePackedExtensions;
      break;
    default:
      unknown_switch(text + 1);
      break;
  }
}

void check_options() {
  const int errorsBefore = error_count();
  if (codecSettings.methodFive) codecSettings.highMethodOrder = 0;
  const MethodRow& method = method_for_packing();
  if (!method.usableInVolumes && options.volumeSize != 0)
    report_error(method.code == METHOD_FIVE ? kFiveWithoutVolumes : message_text(MSG_NO_HIGH_METHOD_VOLUMES));
  if (options.updateOnly && options.freshOnly) options.freshOnly = 0;
  const FormatRow* format = format_of_kind(options.archiveKindIndex);
  const bool blockFormat = format != nullptr && format->blockMode;
  if (codecSettings.blockMode) {
    if (options.dirBlock) report_error(message_text(MSG_BLOCK_AND_DIR_BLOCK));
    if (!blockFormat) report_error(message_text(MSG_BLOCK_ONLY_KVN));
  } else if (options.dirBlock && !blockFormat) {
    report_error(message_text(MSG_BLOCK_ONLY_KVN));
  }
  // Methods and volumes the format cannot describe are refused before anything is written.
  if (command_is_modifying(options.command) && format != nullptr && !format->blockMode) {
    if (method.code != METHOD_DEFAULT) report_error(kMethodOnlyKvn);
    if (options.volumeSize != 0) report_error(kVolumesOnlyKvn);
  }
  // Moving members out of an archive writes it anew as well.
  const bool rewrites = command_is_modifying(options.command) || (options.command == Extract && options.moveFiles);
  if (rewrites && (format == nullptr || !format->writable)) {
    report_error(message_text(MSG_ONLY_KVX_KVN_MODIFY));
  }
  if (options.command == Extract) {
    if (options.updateOnly) options.extractOverwriteMode = 4;
    if (options.freshOnly) options.extractOverwriteMode = 5;
  }
  // Errors counted before (a file that could not be listed) are the command's own.
  if (error_count() != errorsBefore || failedArguments != 0) exit(1);
}

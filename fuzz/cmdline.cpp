// Response files and the options file: the words of a file read by the
// command line's reader, at the positions of a response file named on the
// command line (first byte even) or of the options file (odd). A word "@name"
// inside reads that file from the scratch directory, the input itself among
// them ("@r"); names with a '/' are made plain names, so that no run reads
// a device or a file of the system.
#include "support.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "driver/cmdline.h"
#include "driver/options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_start_run();
  static bool inScratch = false;
  if (!inScratch) {
    std::string dir = fuzz_scratch("r");
    dir.erase(dir.rfind('/'));
    if (chdir(dir.c_str()) != 0) abort();
    inScratch = true;
  }
  if (size == 0) return 0;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == 0; };
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] != '@' || (i > 0 && !blank(text[i - 1]))) continue;
    size_t end = i;
    while (end < text.size() && !blank(text[end])) end++;
    if (text.find('/', i) < end) text[i] = '#';
  }
  fuzz_put("r", reinterpret_cast<const uint8_t*>(text.data()), text.size());
  read_response_file("r", (data[0] & 1) ? OPTIONS_FILE_BASE : 2);
  reset_options();
  return 0;
}

// Response files and the options file: the words of a file read by the
// command line's reader, at the positions of a response file named on the
// command line (first byte even) or of the options file (odd). A word "@name"
// inside reads that file from the scratch directory, the input itself among
// them ("@r"); names with a '/' are made plain names, so that no run reads
// a device or a file of the system.
#include "support.h"

#include <cstdlib>
#include <string>

#include "driver/cmdline.h"
#include "driver/options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_start_run();
  if (size == 0) return 0;
  std::string dir = fuzz_scratch("r");
  dir.erase(dir.rfind('/') + 1);
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == 0; };
  std::string text;
  for (size_t i = 1; i < size; i++) {
    const char c = static_cast<char>(data[i]);
    text += c;
    if (c != '@' || (i > 1 && !blank(static_cast<char>(data[i - 1])))) continue;
    size_t end = i + 1;
    while (end < size && !blank(static_cast<char>(data[end]))) end++;
    if (std::string(reinterpret_cast<const char*>(data) + i + 1, end - i - 1).find('/') != std::string::npos)
      text.back() = '#';
    else
      text += dir;
  }
  fuzz_put("r", reinterpret_cast<const uint8_t*>(text.data()), text.size());
  read_response_file(fuzz_scratch("r"), (data[0] & 1) ? OPTIONS_FILE_BASE : 2);
  reset_options();
  return 0;
}

// Replays inputs through a fuzz target's entry point without libFuzzer: every
// file of the folders named (and every file named), in name order. Folders
// that do not exist are passed over; no input at all fails the run. The test
// suite runs each target's seed corpus and past crashes this way.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::string> files_of(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return {};
  if (!S_ISDIR(status.st_mode)) return {path};
  std::vector<std::string> files;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string file = path + "/" + entry->d_name;
      if (entry->d_name[0] != '.' && stat(file.c_str(), &status) == 0 && S_ISREG(status.st_mode))
        files.push_back(file);
    }
    closedir(dir);
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<uint8_t> read_all(const std::string& path) {
  std::vector<uint8_t> bytes;
  if (FILE* f = fopen(path.c_str(), "rb")) {
    uint8_t piece[65536];
    size_t got;
    while ((got = fread(piece, 1, sizeof piece, f)) > 0) bytes.insert(bytes.end(), piece, piece + got);
    fclose(f);
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  size_t count = 0;
  for (int i = 1; i < argc; i++) {
    for (const std::string& file : files_of(argv[i])) {
      printf("%s\n", file.c_str());
      fflush(stdout);
      std::vector<uint8_t> bytes = read_all(file);
      static const uint8_t none = 0;
      LLVMFuzzerTestOneInput(bytes.empty() ? &none : bytes.data(), bytes.size());
      count++;
    }
  }
  printf("%zu inputs replayed\n", count);
  return count == 0 ? 1 : 0;
}

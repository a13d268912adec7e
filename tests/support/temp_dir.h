// Scratch files for tests: a temporary folder removed with its contents, and
// whole-file and whole-stream reads and writes of bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

using Bytes = std::vector<unsigned char>;

// Writes data as the whole content of the file; false when it cannot be created.
inline bool write_file(const std::string& path, const Bytes& data) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  if (!data.empty()) fwrite(data.data(), 1, data.size(), f);
  return fclose(f) == 0;
}

// The content of the file; empty when it cannot be opened.
inline Bytes read_file(const std::string& path) {
  Bytes out;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  int c;
  while ((c = fgetc(f)) != EOF) out.push_back(static_cast<unsigned char>(c));
  fclose(f);
  return out;
}

// Everything written so far to a read-write stream (such as a tmpfile()); the
// stream is left at its end, so later writes add to it.
inline std::string read_stream(FILE* f) {
  std::string text;
  fflush(f);
  rewind(f);
  int c;
  while ((c = fgetc(f)) != EOF) text.push_back(static_cast<char>(c));
  fseek(f, 0, SEEK_END);
  return text;
}

// A fresh folder under /tmp, removed with everything in it (links are not
// followed) when the object goes. Failing to make the folder is a fatal failure
// of the current test, so its body does not run; failing to remove it is a
// failure too.
class TempDir {
 public:
  explicit TempDir(const std::string& tag = "kvx-test") { make(tag); }
  ~TempDir() {
    if (!path_.empty() && nftw(path_.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS) != 0)
      ADD_FAILURE() << "cannot remove " << path_;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  // A name inside the folder not handed out before: the tag and a serial number.
  std::string unique(const std::string& tag) { return file(tag + std::to_string(serial_++)); }

  // Writes a file in the folder and answers its path.
  std::string put(const std::string& name, const Bytes& data) const {
    std::string where = file(name);
    write_file(where, data);
    return where;
  }

 private:
  void make(const std::string& tag) {
    std::string templ = "/tmp/" + tag + "-XXXXXX";
    ASSERT_NE(mkdtemp(&templ[0]), nullptr) << "cannot make a folder like " << templ;
    path_ = templ;
  }
  static int remove_one(const char* path, const struct stat*, int kind, struct FTW*) {
    return kind == FTW_DP || kind == FTW_DNR ? rmdir(path) : unlink(path);
  }

  std::string path_;
  int serial_ = 0;
};

// Shared pieces of the fuzz targets: a scratch directory per process (emptied
// per input where inputs leave files), whole-file reads and writes, and a
// property check that stops the run with a message (libFuzzer then keeps the
// input as a crash).
#pragma once

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kivo::fuzz {

#define FUZZ_CHECK(cond, ...)                                                            \
  do {                                                                                   \
    if (!(cond)) {                                                                       \
      fprintf(stderr, "fuzz property failed at %s:%d: %s: ", __FILE__, __LINE__, #cond); \
      fprintf(stderr, __VA_ARGS__);                                                      \
      fputc('\n', stderr);                                                               \
      abort();                                                                           \
    }                                                                                    \
  } while (0)

// Removes `dir` and everything beneath it.
inline void remove_tree(const std::string& dir) {
  nftw(
      dir.c_str(), [](const char* path, const struct stat*, int, FTW*) { return remove(path); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

// Empties `dir`, keeping it: a target whose inputs leave files behind starts
// each input afresh, so that one input alone reproduces a finding.
inline void clear_tree(const std::string& dir) {
  remove_tree(dir);
  mkdir(dir.c_str(), 0700);
}

// A directory of this process's own, removed when the process ends.
inline const std::string& scratch() {
  static std::string dir = [] {
    const char* base = getenv("TMPDIR");
    std::string t = std::string(base && *base ? base : "/tmp") + "/kivo-fuzz-XXXXXX";
    if (!mkdtemp(t.data())) abort();
    return t;
  }();
  static bool armed = [] {
    atexit([] { remove_tree(dir); });
    return true;
  }();
  (void)armed;
  return dir;
}

inline bool write_file(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = size == 0 || fwrite(data, 1, size, f) == size;
  return fclose(f) == 0 && ok;
}

inline bool read_file(const std::string& path, std::vector<uint8_t>* out) {
  out->clear();
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  fclose(f);
  return true;
}

inline void quiet_sys_err(const char*, int, const char*) {}

}  // namespace kivo::fuzz

// A scratch directory for one test, removed with everything in it.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

#include <unistd.h>

namespace kivo_test {

struct scratch_dir {
  std::string path;
  scratch_dir() {
    char tmpl[] = "/tmp/kivo_test_XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~scratch_dir() {
    std::string cmd = "rm -rf '" + path + "'";
    if (system(cmd.c_str()) != 0) {}
  }
  std::string file(const std::string& name) const { return path + "/" + name; }
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(file(name), std::ios::binary) << text;
    return file(name);
  }
  std::string read(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

}  // namespace kivo_test

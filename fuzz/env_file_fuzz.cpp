// The environment file and the two-dash arguments. The input is written as
// kivo.env of a data directory; its lines that begin with "--" are also
// given as argument words. Property (when the input includes no other
// file): every variable that the load set or changed is one whole line of
// the file (leading blanks off, at most kEnvLineMax characters) or one
// two-dash word without its dashes; nothing else reaches the environment.
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "foundation/cmdline.h"
#include "foundation/com.h"
#include "fuzz_util.h"

using namespace kivo;

namespace {

// The environment the process started with, restored after every input.
std::vector<char*>& original_env() {
  static auto* saved = [] {
    auto* v = new std::vector<char*>;
    for (char** e = environ; e && *e; ++e) v->push_back(strdup(*e));
    return v;
  }();
  return *saved;
}

void restore_env() {
  env_lines_release();
  clearenv();
  for (char* e : original_env()) putenv(e);
}

bool mentions_include(const std::string& text) {
  for (const char* w : {"include=", "Include=", "INCLUDE="})
    if (text.find(w) != std::string::npos) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool init = [] {
    com_fill(0, nullptr);
    original_env();
    return true;
  }();
  (void)init;
  const std::string dir = fuzz::scratch();
  if (!fuzz::write_file(dir + "/kivo.env", data, size)) abort();

  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines;
  for (size_t at = 0; at <= text.size();) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }

  // Two-dash words, each in a buffer of its own that outlives the load.
  std::vector<std::vector<char>> words;
  for (const std::string& l : lines) {
    if (words.size() == 32) break;
    if (l.compare(0, 2, "--") == 0 && l.find('\0') == std::string::npos)
      words.emplace_back(l.c_str(), l.c_str() + l.size() + 1);
  }
  char prog[] = "kivo";
  std::vector<char*> argv{prog};
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  std::set<std::string> before;
  for (char** e = environ; e && *e; ++e) before.insert(*e);

  load_env_files(dir.c_str(), nullptr, static_cast<int>(argv.size() - 1), argv.data());

  if (!mentions_include(text)) {
    std::set<std::string> allowed;
    for (const std::string& l : lines) {
      if (l.size() > kEnvLineMax || l.find('\0') != std::string::npos) continue;
      size_t lead = l.find_first_not_of(" \t");
      if (lead != std::string::npos) allowed.insert(l.substr(lead));
    }
    for (auto& w : words) allowed.insert(std::string(w.data() + 2));
    for (char** e = environ; e && *e; ++e) {
      if (before.count(*e)) continue;
      FUZZ_CHECK(allowed.count(*e), "\"%s\" is no whole line of the file and no two-dash word", *e);
    }
  }
  restore_env();
  return 0;
}

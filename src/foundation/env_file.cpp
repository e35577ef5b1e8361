// The environment files and the two-dash arguments that configure a run.
//
// Lines: at most 126 characters and the line end; leading blanks skipped;
// "include=<file>" (any of three spellings) loads that file at once; "#" and
// lines without "=" are ignored; any other line goes into the environment as
// it stands. A longer line is refused whole (its tail never becomes a
// setting of its own), and includes nest at most kEnvIncludeDepth deep, so a
// file that includes itself ends.
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/cmdline.h"
#include "foundation/paths.h"

namespace kivo {

namespace {

// Every accepted line, kept for the rest of the run: the environment points
// into these buffers, also after a later line has replaced the variable.
// Never destroyed, since the environment uses them until the very end.
std::vector<char*>& kept_lines() {
  static auto* lines = new std::vector<char*>;
  return *lines;
}

bool starts_include(const char* p) {
  return strncmp(p, "include=", 8) == 0 || strncmp(p, "Include=", 8) == 0 || strncmp(p, "INCLUDE=", 8) == 0;
}

void load_file(const char* path, int depth) {
  if (depth > kEnvIncludeDepth) {
    fprintf(stderr, "kivo: %s: environment files nested deeper than %d, not loaded\n", path, kEnvIncludeDepth);
    return;
  }
  FILE* f = fopen(path, "r");
  if (!f) return;
  char buf[kEnvLineMax + 2];
  int line_no = 0;
  while (fgets(buf, sizeof buf, f)) {
    ++line_no;
    size_t len = strlen(buf);
    const bool has_end = len > 0 && buf[len - 1] == '\n';
    if (!has_end && len == sizeof buf - 1) {
      int c;
      while ((c = fgetc(f)) != EOF && c != '\n') {
      }
      fprintf(stderr, "kivo: %s line %d: longer than %zu characters, ignored\n", path, line_no, kEnvLineMax);
      continue;
    }
    if (has_end) buf[--len] = '\0';
    const char* p = buf;
    while (*p == ' ' || *p == '\t') ++p;
    if (starts_include(p)) {
      load_file(p + 8, depth + 1);
      continue;
    }
    if (*p == '#' || !strchr(p, '=') || *p == '=') continue;
    // The environment keeps the string itself, so each setting keeps its own
    // copy for the rest of the run.
    char* copy = strdup(p);
    if (!copy) continue;
    kept_lines().push_back(copy);
    putenv(copy);
  }
  fclose(f);
}

}  // namespace

void load_env_fi(const char* path) { load_file(path, 0); }

void load_env_files(const char* data_dir, const char* home_dir, int argc, char** argv) {
  if (data_dir) load_env_fi((std::string(data_dir) + "/kivo.env").c_str());
  if (home_dir) load_env_fi((std::string(home_dir) + "/kivo.env").c_str());
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (!a || a[0] != '-' || a[1] != '-') continue;
    const char* eq = strchr(a + 2, '=');
    if (!eq || eq == a + 2) continue;  // no name or no value: not a setting
    putenv(const_cast<char*>(a + 2));
  }
}

void os_load_env(int argc, char** argv) {
  cstr data_dir;
  ss_bob_path(argc > 0 ? argv[0] : nullptr, nullptr, &data_dir, nullptr);
  std::string dir(data_dir.ptr, data_dir.len);

  std::string home;
  struct passwd pw, *found = nullptr;
  char buf[4096];
  if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir) home = found->pw_dir;
  load_env_files(dir.c_str(), home.empty() ? nullptr : home.c_str(), argc, argv);
}

}  // namespace kivo

// The environment files and the two-dash arguments that configure a run.
//
// Lines: at most 126 characters and the line end; leading blanks skipped;
// "include=<file>" (any of three spellings) loads that file at once; "#" and
// lines without "=" are ignored; any other line goes into the environment as
// it stands. A longer line is refused whole (its tail never becomes a
// setting of its own), and so is a line holding a NUL; includes nest at most
// kEnvIncludeDepth deep and a file already being read is not included again,
// so a file that includes itself ends at once; and a file is
// read for kEnvFileMax bytes at most, so an endless one (a device) ends too.
#include <pwd.h>
#include <sys/stat.h>
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

enum line_kind { LINE_OK, LINE_END, LINE_TOO_LONG, LINE_HAS_NUL, LINE_FILE_TOO_LONG };

// Reads one line (without its line end) into buf, kEnvLineMax characters at
// most; the rest of a longer line is read past, so that its tail never reads
// as a line of its own. *total counts the bytes read from the file.
line_kind read_line(FILE* f, char* buf, size_t* total) {
  size_t len = 0;
  bool too_long = false, nul = false, any = false;
  int c;
  while ((c = getc(f)) != EOF) {
    any = true;
    if (++*total > kEnvFileMax) return LINE_FILE_TOO_LONG;
    if (c == '\n') break;
    if (c == '\0') nul = true;
    if (len == kEnvLineMax) {
      too_long = true;
    } else {
      buf[len++] = static_cast<char>(c);
    }
  }
  if (!any) return LINE_END;
  buf[len] = '\0';
  if (too_long) return LINE_TOO_LONG;
  return nul ? LINE_HAS_NUL : LINE_OK;
}

// The files being read, outermost first, by device and inode: a file that
// includes itself (directly or through others) is refused at once instead
// of being read again at every level up to the depth limit.
struct file_id {
  dev_t dev;
  ino_t ino;
};
std::vector<file_id>& reading() {
  static std::vector<file_id> stack;
  return stack;
}

void load_file(const char* path, int depth);

// One setting line: an include, a comment, or NAME=value put in the environment.
void apply_line(const char* p, int depth) {
  while (*p == ' ' || *p == '\t') ++p;
  if (starts_include(p)) {
    load_file(p + 8, depth + 1);
    return;
  }
  if (*p == '#' || !strchr(p, '=') || *p == '=') return;
  // The environment keeps the string itself, so each setting keeps its own
  // copy for the rest of the run.
  char* copy = strdup(p);
  if (!copy) return;
  kept_lines().push_back(copy);
  putenv(copy);
}

// The file's lines; one that cannot be taken is reported and skipped, and
// past the size bound the rest is ignored.
void read_settings(FILE* f, const char* path, int depth) {
  char buf[kEnvLineMax + 1];
  int line_no = 0;
  size_t total = 0;
  for (;;) {
    const line_kind kind = read_line(f, buf, &total);
    if (kind == LINE_END) return;
    ++line_no;
    if (kind == LINE_FILE_TOO_LONG) {
      fprintf(stderr, "kivo: %s: longer than %zu bytes, the rest from line %d is ignored\n", path, kEnvFileMax,
              line_no);
      return;
    }
    if (kind == LINE_TOO_LONG) {
      fprintf(stderr, "kivo: %s line %d: longer than %zu characters, ignored\n", path, line_no, kEnvLineMax);
      continue;
    }
    if (kind == LINE_HAS_NUL) {
      // Taken up to the NUL it would be another setting than the line says.
      fprintf(stderr, "kivo: %s line %d: holds a NUL character, ignored\n", path, line_no);
      continue;
    }
    apply_line(buf, depth);
  }
}

void load_file(const char* path, int depth) {
  if (depth > kEnvIncludeDepth) {
    fprintf(stderr, "kivo: %s: environment files nested deeper than %d, not loaded\n", path, kEnvIncludeDepth);
    return;
  }
  FILE* f = fopen(path, "r");
  if (!f) return;
  // A file whose identity cannot be read is taken as none of those being
  // read (all zero), rather than as whatever the stack held.
  struct stat st {};
  if (fstat(fileno(f), &st) == 0) {
    for (const file_id& id : reading())
      if (id.dev == st.st_dev && id.ino == st.st_ino) {
        fprintf(stderr, "kivo: %s: includes itself, not loaded again\n", path);
        fclose(f);
        return;
      }
  }
  reading().push_back(file_id{st.st_dev, st.st_ino});
  read_settings(f, path, depth);
  reading().pop_back();
  fclose(f);
}

}  // namespace

void load_env_fi(const char* path) { load_file(path, 0); }

void env_lines_release() {
  for (char* line : kept_lines()) {
    for (char** e = environ; e && *e; ++e) {
      if (*e != line) continue;
      const std::string name(line, strcspn(line, "="));
      unsetenv(name.c_str());
      break;
    }
    free(line);
  }
  kept_lines().clear();
}

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

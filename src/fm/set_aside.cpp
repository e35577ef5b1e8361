// The record of a change that sets files aside, and the finish of one whose
// process is gone (set_aside.h).
//
// The record's lines: "<program> process <pid>", "what <text>", "command
// <the command line that ran it>", then one line a file, "aside <name>
// <aside> <parts>" (<parts> the ones it had: "dat", "key" or both) or "new
// <name>", then "plan" once the list is whole, and "written" once the
// change's files are. Nothing is renamed before "plan": a record without
// it changed nothing. Names are those of the folder, without blanks.
#include "fm/set_aside.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "fm/unix_fm.h"
#include "foundation/os.h"
#include "foundation/sys_err.h"

namespace kivo {

namespace {

const char* const kParts[] = {".dat", ".key"};

// Folders whose record this process holds: never opened again here (a
// close would drop the lock), never finished.
std::set<std::string>& held() {
  static std::set<std::string> s;
  return s;
}

std::string record_path(const std::string& dir) { return dir + "/" + kSetAsideFile; }

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Whether `fd` is still the file its path names (a finish in another
// process may have removed it between the open and the lock).
bool still_named(int fd, const std::string& path) {
  struct stat a, b;
  return fstat(fd, &a) == 0 && stat(path.c_str(), &b) == 0 && a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

// `w` quoted for a shell when it needs it, on one line.
std::string quoted(const std::string& w) {
  if (!w.empty() && w.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./=:,+-@%") ==
                        std::string::npos)
    return w;
  std::string out = "'";
  for (char c : w) out += c == '\'' ? std::string("'\\''") : std::string(1, c == '\n' ? ' ' : c);
  return out + "'";
}

// The command line of this process as a shell runs it again: its folder,
// then its words.
std::string own_command() {
  const int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  const std::string raw = ss_read_whole(fd);
  close(fd);
  char cwd[4096];
  std::string out;
  if (getcwd(cwd, sizeof cwd)) out.append("cd ").append(quoted(cwd)).append(" &&");
  for (size_t at = 0; at < raw.size();) {
    size_t end = raw.find('\0', at);
    if (end == std::string::npos) end = raw.size();
    if (!out.empty()) out.push_back(' ');
    out.append(quoted(raw.substr(at, end - at)));
    at = end + 1;
  }
  return out;
}

struct record {
  long pid = 0;
  std::string what, command;
  struct file {
    std::string name, aside;
    bool had[2] = {false, false};  // its ".dat", its ".key"
  };
  std::vector<file> files;
  bool planned = false, written = false;
};

record parse(const std::string& text) {
  record r;
  size_t at = 0;
  for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
    const std::string line = text.substr(at, nl - at);
    const size_t sp = line.find(" process ");
    if (at == 0 && sp != std::string::npos) r.pid = atol(line.c_str() + sp + 9);
    else if (line.rfind("what ", 0) == 0) r.what = line.substr(5);
    else if (line.rfind("command ", 0) == 0) r.command = line.substr(8);
    else if (line == "plan") r.planned = true;
    else if (line == "written") r.written = true;
    else if (line.rfind("new ", 0) == 0) r.files.push_back({line.substr(4), "", {false, false}});
    else if (line.rfind("aside ", 0) == 0) {
      char name[256], aside[256], p1[8] = "", p2[8] = "";
      if (sscanf(line.c_str() + 6, "%255s %255s %7s %7s", name, aside, p1, p2) < 2) continue;
      record::file f{name, aside, {false, false}};
      for (const char* p : {p1, p2}) f.had[0] |= strcmp(p, "dat") == 0, f.had[1] |= strcmp(p, "key") == 0;
      r.files.push_back(f);
    }
  }
  return r;
}

enum class finished { nothing, done, in_use, failed };

// "can't <verb> <path>: <the system's reason>".
std::string cannot(const char* verb, const std::string& path) {
  return std::string("can't ") + verb + " " + path + ": " + strerror(errno);
}

bool remove_part(const std::string& path, std::string* why) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  *why = cannot("remove", path);
  return false;
}

// Puts the folder back as it was before the change: each part of a file
// set aside that is still aside goes back over what the change wrote (a
// part not aside was never moved, or is back); a part the file did not
// have, and every file the change made, goes. Done again after a failure,
// it goes on where it stopped.
bool put_back(const std::string& dir, const record& r, int* moved, std::string* why) {
  for (const record::file& f : r.files)
    for (int p = 0; p < 2; ++p) {
      const std::string at = dir + "/" + f.name + kParts[p];
      const std::string aside = f.aside.empty() ? "" : dir + "/" + f.aside + kParts[p];
      if (!aside.empty() && exists(aside)) {
        if (rename(aside.c_str(), at.c_str()) != 0) return *why = cannot("rename", aside), false;
        ++*moved;
      } else if ((f.aside.empty() || !f.had[p]) && !remove_part(at, why)) {
        return false;
      }
    }
  return true;
}

bool remove_asides(const std::string& dir, const record& r, int* removed, std::string* why) {
  for (const record::file& f : r.files)
    for (int p = 0; p < 2 && !f.aside.empty(); ++p) {
      const std::string aside = dir + "/" + f.aside + kParts[p];
      if (!exists(aside)) continue;
      if (!remove_part(aside, why)) return false;
      ++*removed;
    }
  return true;
}

// Whether a living process has one of the change's files open there now.
bool in_use(const std::string& dir, const record& r) {
  for (const record::file& f : r.files)
    if (exists(dir + "/" + f.name + ".dat") && uio_pair_in_use((dir + "/" + f.name).c_str())) return true;
  return false;
}

std::string who_of(const record& r) {
  return std::string(program_invocation_short_name) + ": " + (r.what.empty() ? "a change" : r.what) + " by process " +
         std::to_string(r.pid);
}

// The line of a finish that cannot be done here, with the way out.
std::string cannot_finish(const std::string& dir, const record& r, const std::string& why) {
  return who_of(r) + " did not end, and " + dir + " cannot be put back as it was: " + why +
         (r.command.empty() ? "" : "; run again as a user who can write there: " + r.command);
}

// Finishes the dead change whose record `fd` holds (locked by this
// process); its line in *line.
finished finish_locked(const std::string& dir, int fd, std::string* line) {
  const std::string text = ss_read_whole(fd);
  if (text.empty()) return finished::nothing;  // taken, and killed before a word of it
  const record r = parse(text);
  const std::string who = who_of(r);
  std::string why;
  if (!r.planned) {
    *line = who + " ended before it changed anything; its record in " + dir + " is removed";
    return finished::done;
  }
  if (!r.written && in_use(dir, r)) {
    *line = who + " did not end, and its files in " + dir +
            " are in use by another process: they are put back by the first run after that ends";
    return finished::in_use;
  }
  int n = 0;
  if (r.written ? remove_asides(dir, r, &n, &why) : put_back(dir, r, &n, &why)) {
    *line = r.written ? who + " had written its files but did not end: the " + std::to_string(n) +
                            " files it had set aside in " + dir + " are removed"
                      : who + " did not end: " + dir + " is as it was before it (" + std::to_string(n) +
                            (n == 1 ? " file" : " files") + " put back)";
    return finished::done;
  }
  *line = cannot_finish(dir, r, why);
  return finished::failed;
}

// The line for a record this process may read but not write, when the
// change it records is dead (no process holds it); empty otherwise.
std::string unwritable(const std::string& dir, const std::string& path, int err) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  struct flock l {};
  l.l_type = F_RDLCK;
  l.l_whence = SEEK_SET;
  const std::string text = fcntl(fd, F_SETLK, &l) == 0 ? ss_read_whole(fd) : "";
  close(fd);
  if (text.empty()) return "";
  return cannot_finish(dir, parse(text), "can't write " + path + ": " + strerror(err));
}

// A finish said: on standard error until the screen is up, and in the
// system-error log; a line said once already in this process is not said
// again.
void say(const std::string& line) {
  static std::set<std::string> said;
  if (!said.insert(line).second) return;
  if (!os_ready && !os_screen_up) fprintf(stderr, "%s\n", line.c_str());
  sys_err_log(line.c_str());
}

}  // namespace

void set_aside_finish(const std::string& dir) {
  static std::set<std::string> looked;
  if (held().count(dir) || !looked.insert(dir).second) return;
  const std::string path = record_path(dir);
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 && (errno == EACCES || errno == EROFS)) {
    // A folder this user may only read: the dead change is named, with the way out.
    const std::string line = unwritable(dir, path, errno);
    if (!line.empty()) say(line);
  }
  if (fd < 0) return;
  std::string line;
  finished f = finished::nothing;
  if (ss_run_lock(fd) && still_named(fd, path)) {
    f = finish_locked(dir, fd, &line);
    if (f == finished::nothing || f == finished::done) unlink(path.c_str());
  }
  close(fd);
  if (!line.empty()) say(line);
}

set_aside_run::~set_aside_run() { release(); }

void set_aside_run::release() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  held().erase(dir_);
}

bool set_aside_run::begin(const std::string& dir, const std::string& what, std::string* why) {
  release();
  dir_ = dir;
  const std::string path = record_path(dir);
  // A first load makes the folder; its end takes away what stays empty.
  made_.clear();
  for (std::string p = dir; !p.empty() && p != "/" && !exists(p);) {
    made_ = p;
    const size_t slash = p.find_last_of('/');
    if (slash == std::string::npos) break;  // a relative path's first folder
    p.resize(slash);
  }
  if (!made_.empty() && !ss_make_path(path.c_str())) return *why = cannot("make", dir), false;
  // A finish in another process may remove the record between the open
  // and the lock: then the lock is taken again on a new one.
  for (int tries = 0; tries < 5; ++tries) {
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return *why = cannot("write", path), false;
    if (!ss_run_lock(fd_)) {
      const long pid = ss_run_lock_holder(fd_);
      release();
      *why = "another process" + (pid ? " (" + std::to_string(pid) + ")" : std::string()) + " is changing " + dir +
             ": run again when it ends";
      return false;
    }
    if (still_named(fd_, path)) break;
    release();
  }
  if (fd_ < 0) return *why = "the record " + path + " keeps changing under this run", false;
  held().insert(dir);
  std::string line;
  const finished f = finish_locked(dir, fd_, &line);
  if (!line.empty()) say(line);
  if (f == finished::in_use || f == finished::failed) {
    release();
    *why = f == finished::in_use ? "the files in " + dir + " are in use by another process: end it and run again"
                                 : "what a run that did not end left in " + dir + " cannot be put back (said above)";
    return false;
  }
  std::string text = std::string(program_invocation_short_name) + " process " + std::to_string(getpid()) + "\nwhat " +
                     what + "\ncommand " + own_command() + "\n";
  size_ = 0;
  if (ftruncate(fd_, 0) != 0 || !append(text)) {
    *why = cannot("write", path);
    end();
    return false;
  }
  return true;
}

bool set_aside_run::plan(const std::vector<set_aside_file>& files, std::string* why) {
  std::string text;
  for (const set_aside_file& f : files) {
    if (f.name.empty() || f.name.find_first_of(" \t\n") != std::string::npos ||
        f.aside.find_first_of(" \t\n") != std::string::npos)
      return *why = "the file name \"" + f.name + "\" cannot be recorded", false;
    if (f.aside.empty()) {
      text += "new " + f.name + "\n";
      continue;
    }
    text += "aside " + f.name + " " + f.aside;
    for (const char* p : kParts)
      if (exists(dir_ + "/" + f.name + p)) text += std::string(" ") + (p + 1);
    text += "\n";
  }
  if (append(text + "plan\n")) return true;
  *why = cannot("write", record_path(dir_));
  return false;
}

bool set_aside_run::written() { return append("written\n"); }

void set_aside_run::end() {
  if (fd_ >= 0) unlink(record_path(dir_).c_str());
  release();
  for (std::string p = dir_; !made_.empty() && rmdir(p.c_str()) == 0 && p != made_;)
    p = p.substr(0, p.find_last_of('/'));
  made_.clear();
}

bool set_aside_run::append(const std::string& text) {
  if (fd_ < 0) return false;
  for (size_t at = 0; at < text.size();) {
    const ssize_t n = pwrite(fd_, text.data() + at, text.size() - at, off_t(size_ + at));
    if (n <= 0) return false;
    at += size_t(n);
  }
  size_ += text.size();
  return fsync(fd_) == 0;
}

}  // namespace kivo

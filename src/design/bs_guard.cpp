// The bootstrap's record of its run: the lock, the list of the native
// files found, and the removal of what an unfinished run made.
//
// The record's lines: "kivo -b process <pid>", then "dir <folder>" for each
// folder the run writes, "had <file>" for each native file there before
// it, and "end". A record without its "end" line was cut short before its
// run made anything, so nothing is removed for it.
#include "design/bs_guard.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "foundation/os.h"

namespace kivo {

namespace {

bool native_name(const std::string& name) {
  const size_t n = name.size();
  return n > 4 && (name.compare(n - 4, 4, ".dat") == 0 || name.compare(n - 4, 4, ".key") == 0);
}

// The native files (regular files ending ".dat" or ".key") of `dir`.
std::vector<std::string> native_files(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = opendir(dir.c_str());
  if (!d) return out;
  while (const dirent* e = readdir(d)) {
    const std::string path = dir + "/" + e->d_name;
    struct stat st;
    if (native_name(e->d_name) && lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) out.push_back(path);
  }
  closedir(d);
  return out;
}

bool write_all(int fd, const std::string& text) {
  if (ftruncate(fd, 0) != 0) return false;
  for (size_t at = 0; at < text.size();) {
    const ssize_t n = pwrite(fd, text.data() + at, text.size() - at, off_t(at));
    if (n <= 0) return false;
    at += size_t(n);
  }
  return fsync(fd) == 0;
}

// An earlier run's record: its process, its folders and the files it found.
struct earlier_run {
  long pid = 0;
  bool whole = false;  // its "end" line was written
  std::vector<std::string> dirs;
  std::set<std::string> had;
};

earlier_run parse(const std::string& text) {
  earlier_run r;
  size_t at = 0;
  for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
    const std::string line = text.substr(at, nl - at);
    if (line.rfind("kivo -b process ", 0) == 0) r.pid = atol(line.c_str() + 16);
    else if (line.rfind("dir ", 0) == 0) r.dirs.push_back(line.substr(4));
    else if (line.rfind("had ", 0) == 0) r.had.insert(line.substr(4));
    else if (line == "end") r.whole = true;
  }
  return r;
}

// Removes what the earlier run made: the native files of its folders that
// it did not find there. Their number, or -1 (with *why) when one stays.
long remove_made(const earlier_run& r, std::string* why) {
  long n = 0;
  for (const std::string& dir : r.dirs)
    for (const std::string& f : native_files(dir)) {
      if (r.had.count(f)) continue;
      if (unlink(f.c_str()) != 0 && errno != ENOENT) {
        *why = "can't remove " + f + ", which an unfinished run made: " + strerror(errno);
        return -1;
      }
      ++n;
    }
  return n;
}

// When `fd` holds an earlier run's record: removes what that run made, says
// so, and empties the record. False (with *why) when a file stays.
bool finish_earlier(int fd, std::string* why) {
  const std::string text = ss_read_whole(fd);
  if (text.empty()) return true;
  const earlier_run r = parse(text);
  long n = 0;
  if (r.whole && (n = remove_made(r, why)) < 0) return false;
  printf("kivo -b: the run of process %ld did not end; %ld file(s) it made removed, starting again\n", r.pid, n);
  fflush(stdout);
  return ftruncate(fd, 0) == 0 || (*why = std::string("can't empty the record: ") + strerror(errno), false);
}

}  // namespace

bs_guard::~bs_guard() { release(); }

void bs_guard::release() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool bs_guard::begin(const std::string& root, const std::vector<std::string>& dirs,
                     const std::vector<std::string>& made, std::string* why) {
  path_ = root + "/" + kBootRunFile;
  fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    *why = "can't write " + path_ + ": " + strerror(errno);
    return false;
  }
  if (!ss_run_lock(fd_)) {
    const long pid = ss_run_lock_holder(fd_);
    *why =
        "another kivo -b" + (pid ? " (process " + std::to_string(pid) + ")" : std::string()) + " is running in " + root;
    release();
    return false;
  }
  // Whatever is refused from here leaves no record behind.
  auto refuse = [&](const std::string& text) {
    *why = text;
    unlink(path_.c_str());
    release();
    return false;
  };
  if (!finish_earlier(fd_, why)) return refuse(*why);
  for (const std::string& m : made) {
    struct stat st;
    if (stat((m + ".dat").c_str(), &st) == 0 && S_ISREG(st.st_mode))
      return refuse(m +
                    ".dat exists: the system applications are built here already (bootstrap a fresh copy of "
                    "the distribution)");
  }
  std::string text = "kivo -b process " + std::to_string(getpid()) + "\n";
  for (const std::string& d : dirs) {
    if (d.find('\n') != std::string::npos) continue;
    text += "dir " + d + "\n";
    for (const std::string& f : native_files(d)) text += "had " + f + "\n";
  }
  text += "end\n";
  if (!write_all(fd_, text)) return refuse("can't write " + path_ + ": " + strerror(errno));
  return true;
}

void bs_finish_unfinished(const std::string& root) {
  const int fd = open((root + "/" + kBootRunFile).c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  std::string why;
  // Locked: another run lives, which the run's own start refuses to meet.
  if (ss_run_lock(fd) && !finish_earlier(fd, &why)) fprintf(stderr, "kivo -b: %s\n", why.c_str());
  close(fd);
}

void bs_guard::end(bool complete) {
  if (fd_ < 0) return;
  if (complete) unlink(path_.c_str());
  release();
}

}  // namespace kivo

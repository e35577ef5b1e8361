// Temporary-name series: the suffix that makes a temporary file's name
// unique to its process and number, the sweep of the files whose process
// is gone, the lock and text of a run's record, and the short-name series that the native back-end steps
// through to find a free name.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "foundation/os.h"

namespace kivo {

namespace {

constexpr uint32_t kHexPidMax = 0xFFFFF;  // 5 hex digits
constexpr uint32_t kWidePidLetters = 20;  // G-Z: pid >> 20 from 1 to 20

}  // namespace

int ss_tmp_suffix(char out[9], uint32_t tmp_id, uint32_t pid) {
  if (tmp_id > 0xFF) return 0;
  if (pid <= kHexPidMax) {
    snprintf(out, 9, "-%02X%05X", tmp_id, pid);
    return 1;
  }
  // Larger pids: a letter that no hex digit can be, then the low 20 bits in
  // base 32. Same length, so names built on the suffix keep their shape.
  const uint32_t high = pid >> 20;
  if (high < 1 || high > kWidePidLetters) return 0;
  static const char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUV";
  snprintf(out, 9, "-%02X", tmp_id);
  out[3] = static_cast<char>('G' + high - 1);
  uint32_t low = pid & 0xFFFFF;
  for (int i = 7; i >= 4; --i) {
    out[i] = kDigits[low & 31];
    low >>= 5;
  }
  out[8] = '\0';
  return 1;
}

uint32_t ss_tmp_owner(const char* name) {
  const size_t n = strlen(name);
  const bool ext = n == 20 && (strcmp(name + 16, ".dat") == 0 || strcmp(name + 16, ".key") == 0);
  if ((n != 16 && !ext) || name[8] != '-' || !isxdigit(uint8_t(name[9])) || !isxdigit(uint8_t(name[10]))) return 0;
  const char* p = name + 11;
  auto digit = [](char c, uint32_t base) -> int {
    const int v = isdigit(uint8_t(c)) ? c - '0' : (c >= 'A' && c <= 'V') ? c - 'A' + 10 : 99;
    return uint32_t(v) < base ? v : -1;
  };
  uint32_t pid = 0;
  if (p[0] >= 'G' && p[0] <= 'Z') {
    for (int i = 1; i < 5; ++i) {
      const int d = digit(p[i], 32);
      if (d < 0) return 0;
      pid = pid << 5 | uint32_t(d);
    }
    return uint32_t(p[0] - 'G' + 1) << 20 | pid;
  }
  for (int i = 0; i < 5; ++i) {
    const int d = digit(p[i], 16);
    if (d < 0) return 0;
    pid = pid << 4 | uint32_t(d);
  }
  return pid;
}

bool ss_pid_alive(uint32_t pid) { return pid && (kill(pid_t(pid), 0) == 0 || errno != ESRCH); }

int ss_tmp_sweep(const char* dir) {
  DIR* d = opendir(dir);
  if (!d) return 0;
  const uint32_t self = uint32_t(getpid());
  int n = 0;
  while (const dirent* e = readdir(d)) {
    const uint32_t pid = ss_tmp_owner(e->d_name);
    if (!pid || pid == self || ss_pid_alive(pid)) continue;
    // Another user's file is left to that user's runs: its process may live
    // where this one cannot see it (another process namespace).
    struct stat st;
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_uid != geteuid()) continue;
    if (unlinkat(dirfd(d), e->d_name, 0) == 0) ++n;
  }
  closedir(d);
  return n;
}

int ss_run_lock(int fd) {
  struct flock l {};
  l.l_type = F_WRLCK;
  l.l_whence = SEEK_SET;
  return fcntl(fd, F_SETLK, &l) == 0;
}

long ss_run_lock_holder(int fd) {
  struct flock l {};
  l.l_type = F_WRLCK;
  l.l_whence = SEEK_SET;
  if (fcntl(fd, F_GETLK, &l) != 0 || l.l_type == F_UNLCK) return 0;
  return long(l.l_pid);
}

std::string ss_read_whole(int fd) {
  std::string out;
  char buf[8192];
  for (off_t at = 0;;) {
    const ssize_t n = pread(fd, buf, sizeof buf, at);
    if (n <= 0) return out;
    out.append(buf, size_t(n));
    at += n;
  }
}

void ss_tmp_1st(char* dst, const char* tmpl) {
  const size_t n = strlen(tmpl);
  if (n < 12) {
    memcpy(dst, tmpl, n + 1);
    return;
  }
  memcpy(dst, tmpl, n - 12);
  memcpy(dst + n - 12, tmpl + n - 4, 5);
}

int ss_tmp_nxt(char* name) {
  const size_t n = strlen(name);
  size_t i = n;
  // Only the last path element is a name; the directories stay.
  while (i > 0 && name[i - 1] == '9') --i;
  if (i == 0 || name[i - 1] == '/') return 0;  // all nines: no further name
  char& c = name[i - 1];
  c = (c >= '0' && c <= '8') ? static_cast<char>(c + 1) : '1';
  for (size_t j = i; j < n; ++j) name[j] = '0';
  return 1;
}

}  // namespace kivo

// Temporaries of the flat-file tools: names, the writer's flock, the search
// for stale ones and the signal guard that removes the current one.
#include "store/flat_temp.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "foundation/os_calls.h"

namespace kivo {

namespace {

// A temporary that has not changed for this long is not being written, even
// when its maker's pid has been given to another process since.
constexpr time_t kStaleAfterSeconds = 10;

void split(const std::string& target, std::string* dir, std::string* name) {
  size_t slash = target.rfind('/');
  *dir = slash == std::string::npos ? "." : target.substr(0, slash == 0 ? 1 : slash);
  *name = slash == std::string::npos ? target : target.substr(slash + 1);
}

// The maker's pid when `entry` is a temporary "<name>.<tag>-<pid><suffix>",
// else 0.
pid_t maker_of(const std::string& entry, const std::string& prefix, const char* suffix) {
  const size_t sl = strlen(suffix);
  if (entry.size() <= prefix.size() + sl || entry.compare(0, prefix.size(), prefix) != 0) return 0;
  if (entry.compare(entry.size() - sl, sl, suffix) != 0) return 0;
  const std::string digits = entry.substr(prefix.size(), entry.size() - prefix.size() - sl);
  if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  return static_cast<pid_t>(atol(digits.c_str()));
}

// No process holds the temporary and its maker is gone or it lies still.
bool is_stale(const std::string& path, pid_t maker) {
  int fd = os_sys.open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
  struct stat st;
  bool still = os_sys.fstat(fd, &st) == 0 && time(nullptr) - st.st_mtime > kStaleAfterSeconds;
  os_sys.close(fd);
  bool gone = maker != getpid() && kill(maker, 0) != 0 && errno == ESRCH;
  return free && (gone || still);
}

char g_guarded[PATH_MAX];
struct sigaction g_saved[4];
constexpr int kGuardSignals[4] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void remove_and_end(int sig) {
  if (g_guarded[0]) unlink(g_guarded);
  signal(sig, SIG_DFL);
  raise(sig);
}

}  // namespace

std::string flat_temp_name(const std::string& target, const char* tag, const char* suffix) {
  return target + "." + tag + "-" + std::to_string(getpid()) + suffix;
}

std::vector<std::string> flat_temp_list(const std::string& target, const char* tag, const char* suffix,
                                        bool stale_only) {
  std::vector<std::string> out;
  std::string dir, name;
  split(target, &dir, &name);
  const std::string prefix = name + "." + tag + "-";
  DIR* d = opendir(dir.c_str());
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    pid_t maker = maker_of(e->d_name, prefix, suffix);
    if (maker <= 0) continue;
    std::string path = dir + "/" + e->d_name;
    if (!stale_only || is_stale(path, maker)) out.push_back(path);
  }
  closedir(d);
  return out;
}

int flat_temp_remove_stale(const std::string& target, const char* tag, const char* suffix) {
  int removed = 0;
  for (const std::string& p : flat_temp_list(target, tag, suffix, true))
    if (os_sys.unlink(p.c_str()) == 0) ++removed;
  return removed;
}

int flat_temp_hold(const std::string& path) {
  int fd = os_sys.open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    os_sys.close(fd);
    return -1;
  }
  return fd;
}

void flat_temp_guard(const char* path) {
  if (!path) {
    for (int i = 0; i < 4; ++i) sigaction(kGuardSignals[i], &g_saved[i], nullptr);
    g_guarded[0] = '\0';
    return;
  }
  snprintf(g_guarded, sizeof g_guarded, "%s", path);
  struct sigaction sa {};
  sa.sa_handler = remove_and_end;
  sigemptyset(&sa.sa_mask);
  for (int i = 0; i < 4; ++i) sigaction(kGuardSignals[i], &sa, &g_saved[i]);
}

}  // namespace kivo

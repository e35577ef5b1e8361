// One-byte fcntl locks, the waits for them and the held-lock list.
//
// The held list and the lock count live in the descriptor cache's file entry
// (fd_lock_state), so that the cache never evicts a descriptor that carries a
// lock and so that slots sharing a file share the list.
#include "store/lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "foundation/bytes.h"
#include "foundation/os_calls.h"
#include "foundation/sys_err.h"
#include "store/brf_status.h"
#include "store/fd_cache.h"
#include "store/store.h"

namespace kivo {

uint32_t lock_session_number = 0;
volatile sig_atomic_t bt_lock_timed_out = 0;
unsigned lock_wait_notice_ms = 10000;
unsigned lock_wait_limit_ms = 0;
bool lock_wait_gave_up = false;

namespace {

constexpr size_t kStatusWidth = 80;  // no screen yet: a terminal line
constexpr size_t kLockerTextSize = 256;
constexpr unsigned kRelookMs = 2000;  // a shown wait line looks for a new holder
constexpr size_t kRecHdrLink = 4;

}  // namespace

void lock_status_text(const char* text) {
  if (!text) return;
  char line[kStatusWidth + 1];
  lock_fit_status(text, kStatusWidth, line, sizeof line);
  fprintf(stderr, "%s\n", line);
}

namespace {

int set_lock(int fd, int cmd, short type, off_t byte) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  return os_sys.fcntl_lock(fd, cmd, &fl);
}

// Starts (ms > 0) or cancels (0) the one-shot wait alarm.
void arm_alarm(unsigned ms) {
  struct itimerval it {};
  it.it_value.tv_sec = ms / 1000;
  it.it_value.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
  setitimer(ITIMER_REAL, &it, nullptr);
}

bool abort_requested() { return store_hooks.lock_break_requested && store_hooks.lock_break_requested(); }

using steady = std::chrono::steady_clock;

unsigned ms_since(steady::time_point t0) {
  return static_cast<unsigned>(std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - t0).count());
}

// The next wake-up of a wait `waited` ms old: the notice while it is due,
// the limit when there is one; 0 when nothing is left to wake for.
unsigned next_alarm(unsigned waited, bool shown) {
  unsigned next = 0;
  if (!shown && waited < lock_wait_notice_ms) next = lock_wait_notice_ms - waited;
  if (lock_wait_limit_ms && waited < lock_wait_limit_ms) {
    const unsigned to_limit = lock_wait_limit_ms - waited;
    next = next ? std::min(next, to_limit) : to_limit;
  }
  return next;
}

// Waits for a write lock on `byte`. Returns 0 or the failing errno
// (EAGAIN when the wait reached lock_wait_limit_ms). The status line
// explains who holds `shown_byte` (`byte` when negative).
int wait_for_lock(int slot, int fd, off_t byte, int kind, short type = F_WRLCK, off_t shown_byte = -1) {
  struct sigaction sa {
  }, old{};
  sa.sa_handler = timeout_fn;
  sa.sa_flags = 0;  // no SA_RESTART: the alarm must interrupt the wait
  sigemptyset(&sa.sa_mask);
  sigaction(SIGALRM, &sa, &old);
  bt_lock_timed_out = 0;
  lock_wait_gave_up = false;
  const steady::time_point t0 = steady::now();
  arm_alarm(next_alarm(0, false));
  bool shown = false;
  std::string last;
  int err = 0;
  for (;;) {
    if (set_lock(fd, F_SETLKW, type, byte) == 0) break;
    err = errno;
    if (err != EINTR) break;
    if (abort_requested()) break;
    const unsigned waited = ms_since(t0);
    if (lock_wait_limit_ms && waited >= lock_wait_limit_ms) {
      lock_wait_gave_up = true;
      err = EAGAIN;
      break;
    }
    // Once shown, the line follows the holder: at each wake-up it names the
    // one holding the lock now, not one long gone.
    if (bt_lock_timed_out || shown) {
      char text[kLockerTextSize];
      if (get_locker(slot, shown_byte < 0 ? byte : shown_byte, text, sizeof text, kind) && text != last) {
        bt_upd_stat(text);
        last = text;
        shown = true;
      }
    }
    // Past the notice only a limit wakes the wait again, or on standard
    // error the line's next look; with a presenter the timer is left as it
    // may have set it.
    if (bt_lock_timed_out && lock_wait_limit_ms) arm_alarm(next_alarm(waited, true));
    else if (bt_lock_timed_out && !store_hooks.lock_status) arm_alarm(kRelookMs);
    bt_lock_timed_out = 0;
    err = 0;
  }
  arm_alarm(0);
  sigaction(SIGALRM, &old, nullptr);
  if (shown) bt_upd_stat(nullptr);
  return err;
}

// Waits for the update lock (`type`: a writer's write lock, a verification's
// read lock) behind the turnstile: a writer that cannot have it at once
// holds the turnstile while it waits, and a shared holder passes the
// turnstile first (a read lock: its descriptor may be read-only), so it
// queues behind every writer already waiting instead of joining the
// holders before it. 0 or the failing errno.
int wait_for_update(int slot, int fd, short type) {
  int err = 0;
  if (set_lock(fd, F_SETLK, type, kUpdateTurnstile) != 0)
    err = wait_for_lock(slot, fd, kUpdateTurnstile, LOCK_UPDATE, type, kUpdateLockByte);
  if (err != 0) return err;
  if (set_lock(fd, F_SETLK, type, kUpdateLockByte) != 0)
    err = wait_for_lock(slot, fd, kUpdateLockByte, LOCK_UPDATE, type);
  set_lock(fd, F_SETLK, F_UNLCK, kUpdateTurnstile);
  return err;
}

}  // namespace

void timeout_fn(int) { bt_lock_timed_out = 1; }

void bt_upd_stat(const char* text) { (store_hooks.lock_status ? store_hooks.lock_status : lock_status_text)(text); }

void lock_fit_status(const char* text, size_t width, char* out, size_t out_size) {
  if (out_size == 0) return;
  size_t room = std::min(width > 0 ? width - 1 : 0, out_size - 1);
  size_t len = strlen(text);
  const char* first = strchr(text, '/');
  if (len > room && first) {
    const char* last = strrchr(text, '/');
    std::string s(text, static_cast<size_t>(first - text) + 1);
    if (last != first) {
      s += "...";
      s += last;
    } else {
      s += first + 1;
    }
    snprintf(out, room + 1, "%s", s.c_str());
    return;
  }
  snprintf(out, room + 1, "%s", text);
}

namespace {

// The held list of a slot's lock state: a byte added, or taken off (its
// count with it). The log's file name is made only when locks are logged.
void add_held(fd_lock_state* ls, int slot, off_t byte) {
  ls->held.push_back(byte);
  ++ls->lock_count;
  if (fd_cache_logging(kFdLogLocks))
    fd_cache_log(kFdLogLocks, "Adding lock at %lld to %u for %s\n", static_cast<long long>(byte), ls->lock_count,
                 brf_handle_nam(slot));
}

void del_held(fd_lock_state* ls, int slot, off_t byte) {
  if (fd_cache_logging(kFdLogLocks))
    fd_cache_log(kFdLogLocks, "Freeing lock at %lld from %u for %s\n", static_cast<long long>(byte), ls->lock_count,
                 brf_handle_nam(slot));
  if (ls->lock_count == 0) {
    sys_err("BRF", __LINE__, "del_lock() on zero");
  } else {
    --ls->lock_count;
  }
  auto it = std::find(ls->held.begin(), ls->held.end(), byte);
  if (it != ls->held.end()) ls->held.erase(it);
}

bool is_held(const fd_lock_state* ls, off_t byte) {
  return std::find(ls->held.begin(), ls->held.end(), byte) != ls->held.end();
}

}  // namespace

void add_lock(int slot, off_t byte) {
  if (fd_lock_state* ls = fd_cache_lock_state(slot)) add_held(ls, slot, byte);
}

bool get_lock(int slot, off_t byte) {
  const fd_lock_state* ls = fd_cache_lock_state(slot);
  return ls && is_held(ls, byte);
}

void del_lock(int slot, off_t byte) {
  if (fd_lock_state* ls = fd_cache_lock_state(slot)) del_held(ls, slot, byte);
}

int bt_share_at(int slot, off_t byte, int wait, int lock, int kind) {
  fd_lock_state* ls = fd_cache_lock_state(slot);
  if (ls && ls->alone) {
    // No other process can open the file: the held list alone decides.
    const bool held = is_held(ls, byte);
    if (!lock) {
      if (held) del_held(ls, slot, byte);
      return 1;
    }
    if (held) return 0;
    add_held(ls, slot, byte);
    return 1;
  }
  int fd = check_fd(slot);
  if (fd < 0) return 0;
  if (lock) lock_wait_gave_up = false;
  if (lock && get_lock(slot, byte)) return 0;  // held by this session already
  if (!lock) {
    // Forgotten even when the call fails: a lock the session still took for
    // its own would refuse every later request of the session for it.
    int rc = set_lock(fd, F_SETLK, F_UNLCK, byte);
    del_lock(slot, byte);
    return rc == 0;
  }
  if (wait && set_lock(fd, F_SETLK, F_WRLCK, byte) == 0) {
    // Free at once: no alarm to arm for a wait that does not happen.
  } else if (wait) {
    int err = kind == LOCK_UPDATE && byte == kUpdateLockByte ? wait_for_update(slot, fd, F_WRLCK)
                                                             : wait_for_lock(slot, fd, byte, kind);
    if (err != 0) {
      errno = err;
      return 0;
    }
  } else if (set_lock(fd, F_SETLK, F_WRLCK, byte) != 0) {
    return 0;
  }
  add_lock(slot, byte);
  return 1;
}

update_hold::update_hold(int slot, bool exclusive) : slot_(slot) {
  if (slot < 0) return;
  if (get_lock(slot, kUpdateLockByte)) {
    held_ = true;  // an outer hold of this process: it gives the lock back
    return;
  }
  fd_lock_state* ls = fd_cache_lock_state(slot);
  if (exclusive || (ls && ls->alone)) {
    held_ = took_ = bt_share_at(slot, kUpdateLockByte, 1, 1, LOCK_UPDATE) != 0;
    return;
  }
  // A read lock conflicts with every writer's write lock, and with no other
  // verification's.
  const int fd = check_fd(slot);
  if (fd < 0) return;
  lock_wait_gave_up = false;
  if (wait_for_update(slot, fd, F_RDLCK) != 0) return;
  add_lock(slot, kUpdateLockByte);
  held_ = took_ = true;
}

update_hold::~update_hold() {
  if (took_) bt_share_at(slot_, kUpdateLockByte, 0, 0, LOCK_UPDATE);
}

pair_hold::pair_hold(const std::string& dat, bool exclusive) {
  slot_ = kivo_open(dat.c_str(), O_RDWR, 0);
  if (slot_ < 0 && errno == EACCES && !exclusive) slot_ = kivo_open(dat.c_str(), O_RDONLY, 0);
  if (slot_ >= 0) hold_.emplace(slot_, exclusive);
}

pair_hold::~pair_hold() {
  hold_.reset();
  if (slot_ >= 0) kivo_close(slot_);
}

int bt_share(int slot, int wait, int lock, int kind) {
  off_t pos = kivo_seek(slot, 0, SEEK_CUR);
  if (pos < 0) return 0;
  return bt_share_at(slot, pos, wait, lock, kind);
}

int lock_hdr(int slot, int exclusive) {
  int fd = check_fd(slot);
  if (fd < 0) return 0;
  fd_lock_state* ls = fd_cache_lock_state(slot);
  int want = exclusive ? kHdrLockExclusive : kHdrLockShared;
  // Another open of the same file in this session: an exclusive lock already
  // covers a shared open; a shared one must be raised for an exclusive open.
  if (ls->hdr_lock >= want) return 1;
  if (set_lock(fd, F_SETLK, exclusive ? F_WRLCK : F_RDLCK, kHeaderLockByte) != 0) {
    if (errno == EACCES) errno = EAGAIN;
    return 0;
  }
  ls->hdr_lock = want;
  return 1;
}

off_t record_lock_byte(uint32_t seek, bool relative) {
  if (relative && seek <= static_cast<uint32_t>(kHeaderLockByte)) return kRelLockSpill + seek;
  return seek;
}

int brflock(int slot, rec_lock* rl, uint32_t seek, bool relative) {
  if (!(rl->flags & RCB_LOCK_WANTED)) return BRF_OK;
  if (rl->flags & RCB_LOCK_HELD) return BRF_LOCK_HELD;
  int wait = (rl->flags & RCB_LOCK_WAIT) != 0;
  if (!bt_share_at(slot, record_lock_byte(seek, relative), wait, 1, relative ? LOCK_RELATIVE : LOCK_RECORD))
    return BRF_LOCK_REFUSED;
  rl->flags = static_cast<uint8_t>((rl->flags | RCB_LOCK_HELD) & ~(RCB_LOCK_WANTED | RCB_LOCK_WAIT));
  rl->seek = seek;
  return BRF_OK;
}

void brfunlock(int slot, rec_lock* rl, bool relative) {
  if ((rl->flags & RCB_LOCK_HELD) && rl->seek >= 0) {
    bt_share_at(slot, record_lock_byte(static_cast<uint32_t>(rl->seek), relative), 0, 0,
                relative ? LOCK_RELATIVE : LOCK_RECORD);
  }
  rl->flags = static_cast<uint8_t>(rl->flags & ~RCB_LOCK_HELD);
  rl->seek = -1;
}

namespace {

// "kivo -r, since 00:12:05" for a utility's process: its utility option
// and the time it started (a utility holds the file for its
// whole run); empty for an engine, or where the system does not tell.
std::string utility_of(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/cmdline", static_cast<int>(pid));
  FILE* in = fopen(path, "re");
  if (!in) return "";
  char args[512] = {};
  const size_t n = fread(args, 1, sizeof args - 1, in);
  fclose(in);
  std::string who;
  for (const char* a = args + strlen(args) + 1; a < args + n && who.empty(); a += strlen(a) + 1) {
    const std::string opt(a, std::strcspn(a, "="));
    if (opt == "-r" || opt == "-v" || opt == "-e" || opt == "-i" || opt == "-an") who = "kivo " + opt;
  }
  if (who.empty()) return "";
  snprintf(path, sizeof path, "/proc/%d", static_cast<int>(pid));
  struct stat st {};
  // The process directory is made when the process starts.
  if (stat(path, &st) == 0) {
    char when[16];
    struct tm tm {};
    localtime_r(&st.st_mtime, &tm);
    strftime(when, sizeof when, "%H:%M:%S", &tm);
    who += ", since ";
    who += when;
  }
  return who;
}

}  // namespace

int rel_write_guard(int slot, uint32_t seek, bool writer, bool lock) {
  const fd_lock_state* ls = fd_cache_lock_state(slot);
  const int fd = check_fd(slot);
  if ((ls && ls->alone) || fd < 0) return ls && ls->alone;
  const off_t byte = kRelWriteGuard + seek;
  if (!lock) return set_lock(fd, F_SETLK, F_UNLCK, byte) == 0;
  const short type = writer ? F_WRLCK : F_RDLCK;
  return set_lock(fd, F_SETLK, type, byte) == 0 || wait_for_lock(slot, fd, byte, LOCK_RELATIVE, type) == 0;
}

int get_locker(int slot, off_t byte, char* text, size_t size, int kind) {
  const char* path = brf_handle_nam(slot);
  uint8_t buf[4];
  off_t at = -1;
  if (kind == LOCK_RECORD) at = byte + static_cast<off_t>(kRecHdrLink);
  if (kind == LOCK_TREE) at = static_cast<off_t>(kKeyHdrOwnerOffset);
  if (at >= 0 && kivo_pread(slot, buf, sizeof buf, at) == static_cast<ssize_t>(sizeof buf)) {
    uint32_t owner = ld_le32(buf, 0);
    if (owner & kOwnerBit) {
      snprintf(text, size, "Waiting for lock held by session %d in %s", static_cast<int>(owner & ~kOwnerBit), path);
      return 1;
    }
  }
  int fd = check_fd(slot);
  if (fd < 0) return 0;
  // Asked as a writer would ask: a verification's shared hold conflicts
  // with a writer, and a query for a read lock would not see it.
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  if (os_sys.fcntl_lock(fd, F_GETLK, &fl) != 0) return 0;
  if (fl.l_type == F_UNLCK) {
    snprintf(text, size, "Waiting for a locked record in %s", path);
  } else if (const std::string who = kind == LOCK_UPDATE ? utility_of(fl.l_pid) : ""; !who.empty()) {
    snprintf(text, size, "Waiting for lock held by process %d (%s) in %s", static_cast<int>(fl.l_pid), who.c_str(),
             path);
  } else {
    snprintf(text, size, "Waiting for lock held by process %d in %s", static_cast<int>(fl.l_pid), path);
  }
  return 1;
}

}  // namespace kivo

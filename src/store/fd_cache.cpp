// The descriptor cache: slots over shared file entries.
//
// A slot is what a caller holds (path, open flags, own position). A file entry
// is one operating-system file (device, inode) with at most one descriptor,
// its reference count of slots, its use stamp and its lock bookkeeping. Only an
// entry without locks may lose its descriptor to an eviction.
#include "store/fd_cache.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "foundation/com.h"
#include "foundation/os_calls.h"
#include "foundation/sys_err.h"

namespace kivo {

namespace {

struct file_entry {
  int refs = 0;  // slots on this file; 0 = entry free
  int fd = -1;   // -1 = closed by the cache (or entry free)
  dev_t dev = 0;
  ino_t ino = 0;
  int flags = 0;                // open flags for a reopen, without O_CREAT/O_EXCL/O_TRUNC
  char path[kFdPathSize] = {};  // path used to reopen
  uint32_t last_use = 0;
  fd_lock_state locks;
  const uint8_t* head = nullptr;   // shared read-only map of the first kHeadMapBytes
  const uint8_t* whole = nullptr;  // shared read-only map of the file from its start
  size_t whole_len = 0;
  uint32_t map_misses = 0;  // reads past `whole` since it was made
};

struct slot_entry {
  char path[kFdPathSize] = {};  // empty = slot free
  int file = -1;                // index into g_files
  off_t pos = 0;
};

// A descriptor that had to be opened for a file already in the cache (a race
// with a rename): closing it would drop the locks held through the entry's
// descriptor, so it waits until that one closes too.
struct parked_fd {
  dev_t dev;
  ino_t ino;
  int fd;
};

slot_entry g_slots[kFdCacheSlots];
file_entry g_files[kFdCacheSlots];
std::vector<parked_fd> g_parked;

bool g_configured = false;
int g_open_count = 0;
uint32_t g_use_counter = 0;
int g_max_files = 0;  // 0 = no limit
constexpr int kFreeInOneGo = 1;
constexpr uint32_t kMapRetry = 64;
FILE* g_log = nullptr;
unsigned g_log_mask = 0;

bool valid_slot(int slot) { return slot >= 0 && slot < kFdCacheSlots && g_slots[slot].path[0] != '\0'; }

file_entry* entry_of(int slot) { return &g_files[g_slots[slot].file]; }

bool has_locks(const file_entry& e) { return e.locks.lock_count > 0 || e.locks.hdr_lock != 0; }

// Parses a decimal, 0x hexadecimal or 0 octal number; bad text gives `dflt`.
unsigned long parse_number(const char* text, unsigned long dflt, unsigned long max) {
  if (!text || !*text) return dflt;
  char* end = nullptr;
  errno = 0;
  unsigned long v = strtoul(text, &end, 0);
  if (errno != 0 || *end != '\0' || v > max) return dflt;
  return v;
}

void close_parked(dev_t dev, ino_t ino) {
  for (size_t i = 0; i < g_parked.size();) {
    if (g_parked[i].dev == dev && g_parked[i].ino == ino) {
      os_sys.close(g_parked[i].fd);
      g_parked.erase(g_parked.begin() + static_cast<long>(i));
    } else {
      ++i;
    }
  }
}

void unmap_head(file_entry& e) {
  if (e.head) os_sys.munmap(const_cast<uint8_t*>(e.head), kHeadMapBytes);
  e.head = nullptr;
  if (e.whole) os_sys.munmap(const_cast<uint8_t*>(e.whole), e.whole_len);
  e.whole = nullptr;
  e.whole_len = 0;
}

int close_entry_fd(file_entry& e) {
  if (e.fd < 0) return 0;
  int rc = os_sys.close(e.fd);
  e.fd = -1;
  --g_open_count;
  close_parked(e.dev, e.ino);
  return rc;
}

file_entry* find_entry(dev_t dev, ino_t ino) {
  for (auto& e : g_files)
    if (e.refs > 0 && e.dev == dev && e.ino == ino) return &e;
  return nullptr;
}

// A spare descriptor of a file that has an entry: closed now unless that would
// drop locks held through the entry's descriptor.
void discard_fd(int fd, const struct stat& st) {
  file_entry* e = find_entry(st.st_dev, st.st_ino);
  if (e && e->fd >= 0) {
    g_parked.push_back({st.st_dev, st.st_ino, fd});
    return;
  }
  os_sys.close(fd);
}

bool free_one_fd() {
  file_entry* pick = nullptr;
  for (auto& e : g_files) {
    if (e.refs == 0 || e.fd < 0) continue;
    if (has_locks(e)) {
      fd_cache_log(kFdLogCache, "Bypassing for locks %s\n", e.path);
      continue;
    }
    if (!pick || e.last_use < pick->last_use) pick = &e;
  }
  if (!pick) {
    fd_cache_log(kFdLogCache, "Didn't  find anything to free!\n");
    return false;
  }
  close_entry_fd(*pick);
  fd_cache_log(kFdLogCache, "Freed slot %d - %s\n", static_cast<int>(pick - g_files), pick->path);
  return true;
}

bool free_fd() {
  int freed = 0;
  for (int i = 0; i < kFreeInOneGo; ++i) {
    if (!free_one_fd()) return freed > 0;
    ++freed;
  }
  fd_cache_log(kFdLogCache, "free_fd returning %d\n", 1);
  return true;
}

void make_room() {
  if (g_max_files > 0 && g_open_count >= g_max_files) {
    fd_cache_log(kFdLogCache, "%d >= %d - freeing %d fd's\n", g_open_count, g_max_files, kFreeInOneGo);
    free_fd();
  }
}

// open(2) that frees cached descriptors while the system has none to give.
int open_with_room(const char* path, int flags, mode_t mode, const char* sorry) {
  for (;;) {
    int fd = os_sys.open(path, flags, mode);
    if (fd >= 0) return fd;
    if (errno != EMFILE && errno != ENFILE) return -1;
    int err = errno;
    fd_cache_log(kFdLogCache, "failed too many files (%d) - freeing some entries\n", err);
    if (!free_fd()) {
      fd_cache_log(kFdLogCache, "%s\n", sorry);
      errno = err;
      return -1;
    }
    fd_cache_log(kFdLogCache, "free_fd said ok\n");
  }
}

void stamp(file_entry& e) { e.last_use = ++g_use_counter; }

int reopen_fd(file_entry& e) {
  if (e.fd >= 0) {
    sys_err("BRF", __LINE__, "Trying to reopen open file");
    return e.fd;
  }
  fd_cache_log(kFdLogCache, "reopening slot %d - %s\n", static_cast<int>(&e - g_files), e.path);
  make_room();
  int fd = open_with_room(e.path, e.flags, 0, "free_fd said no");
  if (fd < 0) {
    int err = errno;
    fd_cache_log(kFdLogCache, "Can't Reopen %s - %s\n", e.path, strerror(err));
    sys_err("BRF", __LINE__, "Can't Reopen %s - %s", e.path, strerror(err));
    errno = err;
    return -1;
  }
  // The path may now name another file (renamed or replaced): using it would
  // read and lock the wrong data.
  struct stat st;
  if (os_sys.fstat(fd, &st) != 0 || st.st_dev != e.dev || st.st_ino != e.ino) {
    if (os_sys.fstat(fd, &st) == 0) discard_fd(fd, st);
    else os_sys.close(fd);
    sys_err("BRF", __LINE__, "Can't Reopen %s - %s", e.path, "the file was replaced");
    errno = ESTALE;
    return -1;
  }
  e.fd = fd;
  ++g_open_count;
  fd_cache_log(kFdLogCache, "ok - cache_cnt = %d\n", g_open_count);
  return fd;
}

int free_entry_index() {
  for (int i = 0; i < kFdCacheSlots; ++i)
    if (g_files[i].refs == 0) return i;
  return -1;
}

bool access_covers(int have, int want) {
  int h = have & O_ACCMODE;
  int w = want & O_ACCMODE;
  return h == O_RDWR || h == w;
}

}  // namespace

void fd_cache_configure() {
  g_configured = true;
  g_max_files = static_cast<int>(parse_number(getenv("KIVO_MAX_FILES"), 0, kFdCacheSlots));
  g_log_mask = static_cast<unsigned>(parse_number(getenv("KIVO_FD_CACHE_CODE"), 0, 0xFFFFFFFFul));
  if (g_log) fclose(g_log);
  g_log = nullptr;
  if (const char* name = getenv("KIVO_FD_CACHE_LOG"); name && *name) g_log = fopen(name, "w");
}

bool fd_cache_logging(unsigned level) { return g_log && (level & g_log_mask) != 0; }

void fd_cache_log(unsigned level, const char* fmt, ...) {
  if (!g_log || (level & g_log_mask) == 0) return;
  va_list ap;
  va_start(ap, fmt);
  vfprintf(g_log, fmt, ap);
  va_end(ap);
  fflush(g_log);
}

namespace {

int free_slot_index() {
  for (int i = 0; i < kFdCacheSlots; ++i)
    if (g_slots[i].path[0] == '\0') return i;
  return -1;
}

// Opens `e`, already cached under some path, for `flags`: 0, or -1 with errno.
int share_entry(file_entry& e, int flags) {
  if ((flags & O_CREAT) && (flags & O_EXCL)) {
    errno = EEXIST;
    return -1;
  }
  if (!access_covers(e.flags, flags)) {
    // A wider descriptor would replace the open one, and closing that drops
    // the locks held through it.
    if (has_locks(e)) {
      errno = EBUSY;
      return -1;
    }
    close_entry_fd(e);
    e.flags = (e.flags & ~O_ACCMODE) | O_RDWR;
  }
  if (e.fd < 0 && reopen_fd(e) < 0) return -1;
  return 0;
}

// Opens a file not in the cache and gives it an entry; null with errno set
// when the open fails.
file_entry* open_new_entry(const char* path, size_t len, int flags, mode_t mode) {
  make_room();
  int fd = open_with_room(path, flags, mode, "free_fd said sorry");
  if (fd < 0) {
    int err = errno;
    fd_cache_log(kFdLogCache, "giving up (%d)\n", err);
    errno = err;
    return nullptr;
  }
  struct stat st;
  if (os_sys.fstat(fd, &st) != 0) {
    int err = errno;
    os_sys.close(fd);
    errno = err;
    return nullptr;
  }
  file_entry* e = find_entry(st.st_dev, st.st_ino);
  if (e) {
    // Created or renamed into place between the stat and the open.
    if (e->fd < 0) {
      e->fd = fd;
      ++g_open_count;
    } else {
      discard_fd(fd, st);
    }
    return e;
  }
  e = &g_files[free_entry_index()];  // never fails: entries <= slots
  *e = file_entry{};
  e->fd = fd;
  e->dev = st.st_dev;
  e->ino = st.st_ino;
  e->flags = flags & ~(O_CREAT | O_EXCL | O_TRUNC);
  memcpy(e->path, path, len + 1);
  ++g_open_count;
  return e;
}

}  // namespace

int kivo_open(const char* path, int flags, mode_t mode) {
  if (!g_configured) fd_cache_configure();
  size_t len = path ? strnlen(path, kFdPathSize) : 0;
  if (len == 0 || len >= kFdPathSize) {
    errno = len == 0 ? ENOENT : ENAMETOOLONG;
    return -1;
  }
  int slot = free_slot_index();
  if (slot < 0) {
    errno = ENFILE;
    return -1;
  }
  fd_cache_log(kFdLogCache, "Trying to open fd_cache[%d] for %s (%d)\n", slot, path, flags);

  // A file already in the cache under any path shares its entry.
  struct stat st;
  file_entry* e = nullptr;
  if (os_sys.stat(path, &st) == 0) e = find_entry(st.st_dev, st.st_ino);
  if (e) {
    if (share_entry(*e, flags) < 0) return -1;
  } else {
    e = open_new_entry(path, len, flags, mode);
    if (!e) return -1;
  }
  ++e->refs;
  stamp(*e);
  slot_entry& s = g_slots[slot];
  memcpy(s.path, path, len + 1);
  s.file = static_cast<int>(e - g_files);
  s.pos = 0;
  fd_cache_log(kFdLogCache, "ok - last_hit = %u, cache_cnt = %d\n", g_use_counter, g_open_count);
  return slot;
}

int kivo_close(int slot) {
  if (!valid_slot(slot)) {
    sys_err("BRF", __LINE__, "Trying to close unopened descriptor");
    errno = EBADF;
    return -1;
  }
  file_entry& e = *entry_of(slot);
  fd_cache_log(kFdLogCache, "closing fd_cache[%d] os_handle = %d - %s\n", slot, e.fd, g_slots[slot].path);
  int rc = 0;
  if (--e.refs == 0) {
    rc = close_entry_fd(e);
    unmap_head(e);
    e.locks = fd_lock_state{};
  }
  g_slots[slot] = slot_entry{};
  return rc;
}

int check_fd(int slot) {
  if (!valid_slot(slot)) {
    errno = EBADF;
    return -1;
  }
  file_entry& e = *entry_of(slot);
  stamp(e);
  if (e.fd >= 0) return e.fd;
  return reopen_fd(e);
}

ssize_t kivo_pread(int slot, void* buf, size_t n, off_t off) {
  int fd = check_fd(slot);
  if (fd < 0) return -1;
  size_t done = 0;
  bool again = true;  // one more try of a read cut short
  while (done < n) {
    ssize_t r = os_sys.pread(fd, static_cast<char*>(buf) + done, n - done, off + static_cast<off_t>(done));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) {
      // The end of the file, or a device that gave less than the file
      // holds: only the size tells them apart.
      struct stat st;
      if (os_sys.fstat(fd, &st) != 0 || off + static_cast<off_t>(done) >= st.st_size) break;
      if (std::exchange(again, false)) continue;
      errno = EIO;
      return -1;
    }
    done += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(done);
}

std::string kivo_read_error(int slot, uint64_t off, int err) {
  char line[600];
  snprintf(line, sizeof line, "%s cannot be read at %llu: %s", brf_handle_nam(slot),
           static_cast<unsigned long long>(off), strerror(err));
  return line;
}

namespace {

std::string g_full_file;    // the file a write last found without room
bool g_full_limit = false;  // that it met the file-size limit, not a full disk

// -1 for a failed write, noting the file when the disk was full.
ssize_t write_failed(int slot) {
  const bool limit = errno == EFBIG;
  if (limit) errno = ENOSPC;
  if (errno == ENOSPC || errno == EDQUOT) g_full_file = brf_handle_nam(slot), g_full_limit = limit;
  return -1;
}

}  // namespace

std::string kivo_take_full_file(bool* size_limit) {
  if (size_limit) *size_limit = g_full_limit;
  return std::exchange(g_full_file, std::string());
}

ssize_t kivo_pwrite(int slot, const void* buf, size_t n, off_t off) {
  int fd = check_fd(slot);
  if (fd < 0) return -1;
  size_t done = 0;
  while (done < n) {
    ssize_t r = os_sys.pwrite(fd, static_cast<const char*>(buf) + done, n - done, off + static_cast<off_t>(done));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return write_failed(slot);
    if (r == 0) {
      errno = ENOSPC;
      write_failed(slot);
      return static_cast<ssize_t>(done);
    }
    done += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(done);
}

void kivo_start_writeback(int slot, off_t off, off_t n) {
  int fd = check_fd(slot);
  if (fd >= 0) static_cast<void>(os_sys.sync_file_range(fd, off, n, SYNC_FILE_RANGE_WRITE));
}

ssize_t kivo_pwritev(int slot, const struct iovec* iov, int count, off_t off) {
  if (count == 1) return kivo_pwrite(slot, iov[0].iov_base, iov[0].iov_len, off);
  int fd = check_fd(slot);
  if (fd < 0) return -1;
  size_t total = 0;
  for (int i = 0; i < count; ++i) total += iov[i].iov_len;
  ssize_t r;
  do {
    r = os_sys.pwritev(fd, iov, count, off);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return write_failed(slot);
  if (static_cast<size_t>(r) == total) return r;
  // A short write: the rest buffer by buffer.
  size_t done = static_cast<size_t>(r);
  for (int i = 0; i < count; ++i) {
    size_t len = iov[i].iov_len;
    if (done >= len) {
      done -= len;
      continue;
    }
    const char* p = static_cast<const char*>(iov[i].iov_base) + done;
    size_t rest = len - done;
    ssize_t w = kivo_pwrite(slot, p, rest, off + static_cast<off_t>(r));
    if (w < 0) return -1;
    r += w;
    if (static_cast<size_t>(w) < rest) return r;
    done = 0;
  }
  return r;
}

const uint8_t* fd_cache_head(int slot, size_t need) {
  if (!valid_slot(slot) || need > kHeadMapBytes) return nullptr;
  file_entry& e = *entry_of(slot);
  if (e.head) return e.head;
  struct stat st;
  if (kivo_fstat(slot, &st) != 0 || st.st_size < static_cast<off_t>(need)) return nullptr;
  void* p = os_sys.mmap(nullptr, kHeadMapBytes, PROT_READ, MAP_SHARED, e.fd, 0);
  if (p == MAP_FAILED) return nullptr;
  e.head = static_cast<const uint8_t*>(p);
  return e.head;
}

const uint8_t* fd_cache_map_file(int slot, uint64_t end, size_t* len) {
  if (!valid_slot(slot)) return nullptr;
  file_entry& e = *entry_of(slot);
  *len = e.whole_len;
  if (e.whole_len >= end) return e.whole;
  // Past the mapping: the file may have grown. Looking costs a call, so
  // only the first miss and every kMapRetry-th looks; the others read.
  if (e.map_misses++ % kMapRetry != 0) return e.whole;
  struct stat st;
  if (kivo_fstat(slot, &st) != 0 || static_cast<uint64_t>(st.st_size) < end) return e.whole;
  size_t size = static_cast<size_t>(st.st_size);
  void* p = os_sys.mmap(nullptr, size, PROT_READ, MAP_SHARED, e.fd, 0);
  if (p == MAP_FAILED) return e.whole;
  if (e.whole) os_sys.munmap(const_cast<uint8_t*>(e.whole), e.whole_len);
  e.whole = static_cast<const uint8_t*>(p);
  e.whole_len = size;
  e.map_misses = 0;
  *len = size;
  return e.whole;
}

ssize_t kivo_read(int slot, void* buf, size_t n) {
  if (!valid_slot(slot)) {
    errno = EBADF;
    return -1;
  }
  ssize_t r = kivo_pread(slot, buf, n, g_slots[slot].pos);
  if (r > 0) g_slots[slot].pos += r;
  return r;
}

ssize_t kivo_readv(int slot, const struct iovec* iov, int count) {
  ssize_t total = 0;
  for (int i = 0; i < count; ++i) {
    ssize_t r = kivo_read(slot, iov[i].iov_base, iov[i].iov_len);
    if (r < 0) return total > 0 ? total : -1;
    total += r;
    if (static_cast<size_t>(r) < iov[i].iov_len) break;
  }
  return total;
}

ssize_t kivo_write(int slot, const void* buf, size_t n) {
  if (!valid_slot(slot)) {
    errno = EBADF;
    return -1;
  }
  ssize_t r = kivo_pwrite(slot, buf, n, g_slots[slot].pos);
  if (r > 0) g_slots[slot].pos += r;
  return r;
}

off_t kivo_seek(int slot, off_t off, int whence) {
  if (!valid_slot(slot)) {
    errno = EBADF;
    return -1;
  }
  off_t base = 0;
  if (whence == SEEK_CUR) {
    base = g_slots[slot].pos;
  } else if (whence == SEEK_END) {
    struct stat st;
    if (kivo_fstat(slot, &st) != 0) return -1;
    base = st.st_size;
  } else if (whence != SEEK_SET) {
    errno = EINVAL;
    return -1;
  }
  if (check_fd(slot) < 0) return -1;
  off_t pos = base + off;
  if (pos < 0) {
    errno = EINVAL;
    return -1;
  }
  g_slots[slot].pos = pos;
  return pos;
}

int kivo_fstat(int slot, struct stat* st) {
  int fd = check_fd(slot);
  if (fd < 0) return -1;
  return os_sys.fstat(fd, st);
}

const char* brf_handle_nam(int slot) {
  if (slot < 0 || slot >= kFdCacheSlots) return "";
  return g_slots[slot].path;
}

void brf_dump_files(FILE* out) {
  fprintf(out, "Open files in process %d, %3.3s\n", static_cast<int>(getpid()), com.user_id);
  int n = 0;
  for (const auto& s : g_slots)
    if (s.path[0] != '\0') fprintf(out, "%03d - %s\r\n", ++n, s.path);
}

void brf_close_all_files() {}

void fd_cache_after_fork() {
  for (auto& e : g_files) {
    if (e.fd >= 0) os_sys.close(e.fd);
    unmap_head(e);
    e = file_entry{};
  }
  for (auto& p : g_parked) os_sys.close(p.fd);
  g_parked.clear();
  for (auto& s : g_slots) s = slot_entry{};
  g_open_count = 0;
  g_configured = false;
}

int fd_cache_open_count() { return g_open_count; }

int fd_cache_file_of(int slot) { return valid_slot(slot) ? g_slots[slot].file : -1; }

int fd_cache_refs(int slot) { return valid_slot(slot) ? entry_of(slot)->refs : 0; }

bool fd_cache_is_open(int slot) { return valid_slot(slot) && entry_of(slot)->fd >= 0; }

fd_lock_state* fd_cache_lock_state(int slot) {
  if (!valid_slot(slot)) return nullptr;
  return &entry_of(slot)->locks;
}

}  // namespace kivo

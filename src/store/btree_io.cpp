// Key-file input and output through the descriptor cache and the lock
// module: a handle is the key file's descriptor-cache slot, transfers are
// positioned (kivo_pread / kivo_pwrite; reads through the file's shared
// mapping where it covers them), and the tree lock is byte 0 taken
// with bt_share_at, so it is entered in the slot's held-lock list and keeps
// the descriptor from being evicted while held.
#include "store/btree_io.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "store/fd_cache.h"
#include "store/lock.h"

namespace kivo {

int bt_io_open(const char* path, bool create) {
  int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
  return kivo_open(path, flags, 0666);
}

int bt_io_open_read(const char* path) { return kivo_open(path, O_RDONLY | O_CLOEXEC, 0); }

int bt_io_close(int h) { return kivo_close(h); }

long bt_io_read(int h, uint32_t off, void* buf, size_t n) {
  // Through the file's mapping where it covers the bytes: what a read gives.
  size_t len = 0;
  const uint8_t* map = fd_cache_map_file(h, uint64_t{off} + n, &len);
  if (map && uint64_t{off} + n <= len) {
    memcpy(buf, map + off, n);
    return static_cast<long>(n);
  }
  return static_cast<long>(kivo_pread(h, buf, n, off_t{off}));
}

long bt_io_write(int h, uint32_t off, const void* buf, size_t n) {
  ssize_t r = kivo_pwrite(h, buf, n, off_t{off});
  if (r >= 0 && static_cast<size_t>(r) != n) {
    errno = ENOSPC;
    return -1;
  }
  return static_cast<long>(r);
}

std::string bt_io_read_error(int h, uint32_t off, int err) { return kivo_read_error(h, off, err); }

long long bt_io_size(int h) {
  struct stat st;
  if (kivo_fstat(h, &st) != 0) return -1;
  return st.st_size;
}

const uint8_t* bt_io_head(int h, size_t need) { return fd_cache_head(h, need); }

bool bt_io_alone(int h) {
  const fd_lock_state* ls = fd_cache_lock_state(h);
  return ls && ls->alone;
}

void bt_io_set_alone(int h, void* owner) {
  if (fd_lock_state* ls = fd_cache_lock_state(h)) {
    ls->alone = true;
    if (owner) ls->ahead_owner = owner;
  }
}

void* bt_io_owner(int h) {
  const fd_lock_state* ls = fd_cache_lock_state(h);
  return ls ? ls->ahead_owner : nullptr;
}

void bt_io_clear_owner(int h) {
  if (fd_lock_state* ls = fd_cache_lock_state(h)) ls->ahead_owner = nullptr;
}

int bt_io_refs(int h) { return fd_cache_refs(h); }

int bt_io_lock_tree(int h) { return bt_share_at(h, kTreeLockByte, 1, 1, LOCK_TREE); }
int bt_io_unlock_tree(int h) { return bt_share_at(h, kTreeLockByte, 0, 0, LOCK_TREE); }

}  // namespace kivo

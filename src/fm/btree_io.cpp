// Key-file input and output over a plain descriptor through the replaceable
// system-call table (os_sys), so tests can inject failures at any call.
#include "fm/btree_io.h"

#include <cerrno>

#include "foundation/os_calls.h"

namespace kivo {

int bt_io_open(const char* path, bool create) {
  int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
  return os_sys.open(path, flags, 0666);
}

int bt_io_close(int h) { return os_sys.close(h); }

long bt_io_read(int h, uint32_t off, void* buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = os_sys.pread(h, static_cast<char*>(buf) + done, n - done, off_t{off} + done);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<long>(done);
}

long bt_io_write(int h, uint32_t off, const void* buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = os_sys.pwrite(h, static_cast<const char*>(buf) + done, n - done, off_t{off} + done);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) {
      errno = ENOSPC;
      return -1;
    }
    done += static_cast<size_t>(r);
  }
  return static_cast<long>(done);
}

long long bt_io_size(int h) {
  struct stat st;
  if (os_sys.fstat(h, &st) != 0) return -1;
  return st.st_size;
}

namespace {

int tree_lock(int h, short type, int cmd) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 1;
  for (;;) {
    if (os_sys.fcntl_lock(h, cmd, &fl) == 0) return 1;
    if (errno != EINTR) return 0;
  }
}

}  // namespace

int bt_io_lock_tree(int h) { return tree_lock(h, F_WRLCK, F_SETLKW); }
int bt_io_unlock_tree(int h) { return tree_lock(h, F_UNLCK, F_SETLK); }

}  // namespace kivo

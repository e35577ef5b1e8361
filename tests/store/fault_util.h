// Fault injection through the system-call table: while armed, the N-th call
// fails. Kinds: EIO or ENOSPC on any call, or a torn write (the N-th write
// puts half its bytes on disk and the retry of the rest finds the disk full).
// Only that one call fails; the undo that follows runs on a sound disk.
#pragma once

#include <sys/mman.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <optional>

#include "../fixtures/hook_override.h"
#include "foundation/os_calls.h"

namespace kivo::test {

// kill: the process ends with SIGKILL at the call, as in a crash.
enum class fault_kind { eio, enospc, short_write, kill };

inline const char* fault_name(fault_kind k) {
  static const char* const kNames[] = {"EIO", "ENOSPC", "short write", "kill"};
  return kNames[static_cast<int>(k)];
}

struct fault_state {
  fault_kind kind = fault_kind::eio;
  long nth = 0;
  long calls = 0;  // calls counted while armed (writes only for a torn write)
  bool fired = false;
  bool tear_rest = false;
  const char* failed = "";  // name of the call that failed
};
inline fault_state g_fault;

// Whether this call is the one to fail.
inline bool fault_hit(const char* name, bool is_write = false) {
  if (g_fault.fired || (g_fault.kind == fault_kind::short_write && !is_write)) return false;
  if (++g_fault.calls != g_fault.nth) return false;
  g_fault.fired = true;
  g_fault.failed = name;
  if (g_fault.kind == fault_kind::kill) raise(SIGKILL);
  return true;
}

inline int fault_errno() { return g_fault.kind == fault_kind::enospc ? ENOSPC : EIO; }

template <typename T>
T fault_fail() {
  errno = fault_errno();
  return static_cast<T>(-1);
}

// A write: the torn half, the full disk behind it, an error, or the real call.
template <typename F, typename... A>
ssize_t fault_write(const char* name, F real, int fd, const void* buf, size_t n, A... off) {
  if (g_fault.tear_rest) {
    g_fault.tear_rest = false;
    errno = ENOSPC;
    return -1;
  }
  if (!fault_hit(name, true)) return real(fd, buf, n, off...);
  if (g_fault.kind != fault_kind::short_write || n < 2) return fault_fail<ssize_t>();
  g_fault.tear_rest = true;
  return real(fd, buf, n / 2, off...);
}

inline os_call_table faulty_calls() {
  os_call_table t = os_real_calls();
  t.open = [](const char* p, int fl, mode_t m) { return fault_hit("open") ? fault_fail<int>() : ::open(p, fl, m); };
  // A failed close has still closed the descriptor.
  t.close = [](int fd) {
    int rc = ::close(fd);
    return fault_hit("close") ? fault_fail<int>() : rc;
  };
  t.pread = [](int fd, void* b, size_t n, off_t o) {
    return fault_hit("pread") ? fault_fail<ssize_t>() : ::pread(fd, b, n, o);
  };
  t.read = [](int fd, void* b, size_t n) { return fault_hit("read") ? fault_fail<ssize_t>() : ::read(fd, b, n); };
  t.readv = [](int fd, const iovec* v, int n) {
    return fault_hit("readv") ? fault_fail<ssize_t>() : ::readv(fd, v, n);
  };
  t.pwrite = [](int fd, const void* b, size_t n, off_t o) { return fault_write("pwrite", ::pwrite, fd, b, n, o); };
  t.write = [](int fd, const void* b, size_t n) { return fault_write("write", ::write, fd, b, n); };
  t.lseek = [](int fd, off_t o, int w) { return fault_hit("lseek") ? fault_fail<off_t>() : ::lseek(fd, o, w); };
  t.fcntl_lock = [](int fd, int cmd, struct flock* fl) {
    return fault_hit("fcntl_lock") ? fault_fail<int>() : ::fcntl(fd, cmd, fl);
  };
  t.fstat = [](int fd, struct stat* st) { return fault_hit("fstat") ? fault_fail<int>() : ::fstat(fd, st); };
  t.stat = [](const char* p, struct stat* st) { return fault_hit("stat") ? fault_fail<int>() : ::stat(p, st); };
  t.fsync = [](int fd) { return fault_hit("fsync") ? fault_fail<int>() : ::fsync(fd); };
  t.ftruncate = [](int fd, off_t n) { return fault_hit("ftruncate") ? fault_fail<int>() : ::ftruncate(fd, n); };
  t.rename = [](const char* a, const char* b) { return fault_hit("rename") ? fault_fail<int>() : ::rename(a, b); };
  t.unlink = [](const char* p) { return fault_hit("unlink") ? fault_fail<int>() : ::unlink(p); };
  t.mkstemp = [](char* tmpl) { return fault_hit("mkstemp") ? fault_fail<int>() : ::mkstemp(tmpl); };
  t.fopen = [](const char* p, const char* m) {
    if (!fault_hit("fopen")) return ::fopen(p, m);
    errno = fault_errno();
    return static_cast<FILE*>(nullptr);
  };
  t.pwritev = [](int fd, const iovec* v, int n, off_t o) -> ssize_t {
    if (g_fault.tear_rest) {
      g_fault.tear_rest = false;
      errno = ENOSPC;
      return -1;
    }
    if (!fault_hit("pwritev", true)) return ::pwritev(fd, v, n, o);
    size_t total = 0;
    for (int i = 0; i < n; ++i) total += v[i].iov_len;
    if (g_fault.kind != fault_kind::short_write || total < 2) return fault_fail<ssize_t>();
    // The torn half: the buffers cut at half the bytes.
    iovec half[8];
    int m = 0;
    for (size_t left = total / 2; m < n && m < 8 && left > 0; ++m) {
      half[m] = {v[m].iov_base, std::min(left, v[m].iov_len)};
      left -= half[m].iov_len;
    }
    g_fault.tear_rest = true;
    return ::pwritev(fd, half, m, o);
  };
  t.mmap = [](void* a, size_t n, int prot, int fl, int fd, off_t o) {
    return fault_hit("mmap") ? (errno = fault_errno(), MAP_FAILED) : ::mmap(a, n, prot, fl, fd, o);
  };
  t.munmap = [](void* a, size_t n) { return fault_hit("munmap") ? fault_fail<int>() : ::munmap(a, n); };
  t.sync_file_range = [](int fd, off_t o, off_t n, unsigned fl) {
    return fault_hit("sync_file_range") ? fault_fail<int>() : ::sync_file_range(fd, o, n, fl);
  };
  return t;
}

// The faulty table while it is armed; disarming puts back the table it
// replaced.
inline std::optional<kivo_test::scoped_hook<os_call_table>> g_fault_calls;

// Arms the table to fail call `nth` (from 1) with `kind`.
inline void fault_arm(fault_kind kind, long nth) {
  g_fault = fault_state{kind, nth, 0, false, false, ""};
  g_fault_calls.reset();
  g_fault_calls.emplace(os_sys, faulty_calls());
}

// Puts the real calls back; whether the fault was met.
inline bool fault_disarm() {
  g_fault_calls.reset();
  return g_fault.fired;
}

}  // namespace kivo::test

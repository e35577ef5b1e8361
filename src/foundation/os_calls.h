// The system calls of the storage engine and the operating-system layer, as
// one replaceable table: tests swap an entry to inject a short write, ENOSPC,
// EIO or a crash point at any call, then restore the table.
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include "foundation/hook_list.h"

namespace kivo {

struct os_call_table {
  int (*open)(const char* path, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*pread)(int fd, void* buf, size_t n, off_t off);
  ssize_t (*pwrite)(int fd, const void* buf, size_t n, off_t off);
  ssize_t (*read)(int fd, void* buf, size_t n);
  ssize_t (*write)(int fd, const void* buf, size_t n);
  ssize_t (*readv)(int fd, const struct iovec* iov, int n);
  off_t (*lseek)(int fd, off_t off, int whence);
  int (*fcntl_lock)(int fd, int cmd, struct flock* fl);  // F_SETLK, F_SETLKW, F_GETLK
  int (*fstat)(int fd, struct stat* st);
  int (*stat)(const char* path, struct stat* st);
  int (*fsync)(int fd);
  int (*ftruncate)(int fd, off_t len);
  int (*rename)(const char* from, const char* to);
  int (*unlink)(const char* path);
  int (*mkstemp)(char* name_template);
  FILE* (*fopen)(const char* path, const char* mode);
  ssize_t (*pwritev)(int fd, const struct iovec* iov, int n, off_t off);
  // Read-only shared mappings of file headers (a load instead of a read).
  void* (*mmap)(void* addr, size_t len, int prot, int flags, int fd, off_t off);
  int (*munmap)(void* addr, size_t len);
  // Starts the device write of a range (SYNC_FILE_RANGE_WRITE): advisory,
  // so that a later fsync waits only for what is left.
  int (*sync_file_range)(int fd, off_t off, off_t n, unsigned int flags);
};

// The table in use; starts as the real system calls.
extern os_call_table os_sys;

// clang-format off
#define KIVO_OS_SEAMS(X)     \
  X(os_sys, open)            \
  X(os_sys, close)           \
  X(os_sys, pread)           \
  X(os_sys, pwrite)          \
  X(os_sys, read)            \
  X(os_sys, write)           \
  X(os_sys, readv)           \
  X(os_sys, lseek)           \
  X(os_sys, fcntl_lock)      \
  X(os_sys, fstat)           \
  X(os_sys, stat)            \
  X(os_sys, fsync)           \
  X(os_sys, ftruncate)       \
  X(os_sys, rename)          \
  X(os_sys, unlink)          \
  X(os_sys, mkstemp)         \
  X(os_sys, fopen)           \
  X(os_sys, pwritev)         \
  X(os_sys, mmap)            \
  X(os_sys, munmap)          \
  X(os_sys, sync_file_range)
// clang-format on
KIVO_TABLE_LISTED(os_sys, KIVO_OS_SEAMS);

// The real system calls, to restore the table after a test.
const os_call_table& os_real_calls();

}  // namespace kivo

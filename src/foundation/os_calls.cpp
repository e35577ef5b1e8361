// The real system calls behind os_sys.
#include "foundation/os_calls.h"

#include <cstdio>
#include <cstdlib>

namespace kivo {

namespace {

int real_open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int real_fcntl_lock(int fd, int cmd, struct flock* fl) { return ::fcntl(fd, cmd, fl); }
int real_stat(const char* path, struct stat* st) { return ::stat(path, st); }
int real_fstat(int fd, struct stat* st) { return ::fstat(fd, st); }

const os_call_table kReal = {
    real_open, ::close,         ::pread,    ::pwrite,  ::read,  ::write,     ::readv,
    ::lseek,   real_fcntl_lock, real_fstat, real_stat, ::fsync, ::ftruncate, ::rename,
    ::unlink,  ::mkstemp,       ::fopen,    ::pwritev, ::mmap,  ::munmap,    ::sync_file_range,
};

}  // namespace

os_call_table os_sys = kReal;

const os_call_table& os_real_calls() { return kReal; }

}  // namespace kivo

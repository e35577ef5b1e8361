// Descriptor cache: every file of the native storage engine is opened through
// a table of 1024 slots. A caller keeps its slot number while the file is
// open; the operating-system descriptor behind it may be closed when
// descriptors run short and is reopened on the slot's next use.
//
// Invariants:
//  - One file (device and inode) is one descriptor, however many slots and
//    paths reach it: closing any descriptor of a file drops all of the
//    process's locks on it, so a file never has a second descriptor to close.
//  - A descriptor through which the process holds any lock (record, update,
//    tree or the header lock on byte 1) is never closed by the cache.
//  - Each slot keeps its own file position; I/O is positioned (pread/pwrite),
//    so an eviction, a reopen or another slot on the same file never moves it.
//  - A file's head may be mapped shared and read-only (fd_cache_head): loads
//    from it see every write of every process, as a read would. The mapping
//    outlives an eviction of the descriptor and goes with the last slot.
//
// Callers: the data file (data_file.cpp), the key file, the lock module.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kivo {

constexpr int kFdCacheSlots = 1024;
constexpr size_t kFdPathSize = 256;  // paths of 256 bytes or more are refused

// Log mask bits of KIVO_FD_CACHE_CODE.
constexpr unsigned kFdLogCache = 0x1;
constexpr unsigned kFdLogLocks = 0x2;

// Opens `path` (open(2) flags and mode) and returns its slot, or -1 with errno
// set (ENFILE when all slots are in use, ENAMETOOLONG for an overlong path).
int kivo_open(const char* path, int flags, mode_t mode);

// Frees the slot. The descriptor is closed when no other slot shares the file;
// that releases every lock the process held on it. Returns close(2)'s result.
int kivo_close(int slot);

// Sequential calls at the slot's own position, which they advance.
ssize_t kivo_read(int slot, void* buf, size_t n);
ssize_t kivo_readv(int slot, const struct iovec* iov, int count);
ssize_t kivo_write(int slot, const void* buf, size_t n);
// Sets the slot's position; SEEK_END asks the file's size. Returns the new
// position or -1.
off_t kivo_seek(int slot, off_t off, int whence);
int kivo_fstat(int slot, struct stat* st);

// Positioned I/O; neither uses nor moves the slot's position. They retry short
// transfers and EINTR: the result is `n`, fewer bytes only at end of file, or
// -1 with errno set. A read that ends before the file's size goes once
// more; cut short again it is -1 with EIO, never taken for the end of the
// file.
ssize_t kivo_pread(int slot, void* buf, size_t n, off_t off);
// The line that names a read of the slot's file failing at `off` with
// `err`: "<path> cannot be read at <off>: <reason>".
std::string kivo_read_error(int slot, uint64_t off, int err);
ssize_t kivo_pwrite(int slot, const void* buf, size_t n, off_t off);
// Starts the device write of `n` bytes at `off` without waiting for it, so
// that the fsync that makes the file durable later waits only for the rest.
// Advisory: a failure changes nothing (the fsync still decides).
void kivo_start_writeback(int slot, off_t off, off_t n);
// Adjacent buffers in one positioned write; the same result rule.
ssize_t kivo_pwritev(int slot, const struct iovec* iov, int count, off_t off);
// The path of the file a write last found the disk full for (ENOSPC or
// EDQUOT), "" when none was since the last call: the full disk's report
// names the file, data or key, that could not be written. A write past the
// file-size limit (EFBIG) is a full disk to every caller (its errno becomes
// ENOSPC); *size_limit then says which it was.
std::string kivo_take_full_file(bool* size_limit = nullptr);

// The first kHeadMapBytes of the slot's file mapped shared and read-only, or
// null when the file is shorter than `need` bytes or cannot be mapped (the
// caller then reads). Valid until the file's last slot is closed.
constexpr size_t kHeadMapBytes = 4096;
const uint8_t* fd_cache_head(int slot, size_t need);

// The file mapped shared and read-only from its start, *len bytes of it, or
// null. A call asking past the mapping (`end`) now and then maps the file
// again at its present size; the caller reads what the mapping does not
// cover. Loads from it see every process's writes as a read does. Files of
// this engine never shrink (a mapped page past the end would fault). Valid
// until the next call for the file or until its last slot is closed.
const uint8_t* fd_cache_map_file(int slot, uint64_t end, size_t* len);

// The slot's open descriptor after stamping its use, reopening it when the
// cache had closed it; -1 when the slot is not in use or cannot be reopened.
int check_fd(int slot);

// The slot's path, for messages ("" for a free slot).
const char* brf_handle_nam(int slot);

// "Open files in process %d, %3.3s\n" and one line per slot in use.
void brf_dump_files(FILE* out);

// Run at process exit by the native back-end; it has nothing to do.
void brf_close_all_files();

// Writes to the KIVO_FD_CACHE_LOG file when `level` & the log mask is not 0.
void fd_cache_log(unsigned level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Whether lines of `level` are logged: a caller whose arguments cost asks first.
bool fd_cache_logging(unsigned level);

// Re-reads KIVO_MAX_FILES, KIVO_FD_CACHE_LOG and KIVO_FD_CACHE_CODE (done by
// the first kivo_open of the process; tests call it to change them).
void fd_cache_configure();

// For a forked child that goes on as an engine process of its own: it holds
// none of its parent's locks, so it drops the inherited table (closing its
// copies of the descriptors, which leaves the parent's locks alone).
void fd_cache_after_fork();

// Descriptors currently open through the cache.
int fd_cache_open_count();

// The file entry behind a slot (equal for two slots on one file), or -1.
int fd_cache_file_of(int slot);
// Slots open on the slot's file (0 for a free slot).
int fd_cache_refs(int slot);

// Whether the slot's descriptor is currently open (tests watch evictions).
bool fd_cache_is_open(int slot);

// Lock bookkeeping of the file behind a slot, kept by the lock module. It is
// shared by every slot on the same file, since the operating system's locks
// are per process and file. Null for a slot not in use.
constexpr int kHdrLockNone = 0;
constexpr int kHdrLockShared = 1;
constexpr int kHdrLockExclusive = 2;
struct fd_lock_state {
  uint32_t lock_count = 0;  // record, update and tree locks held
  std::vector<off_t> held;  // their lock bytes
  int hdr_lock = 0;         // on byte 1: kHdrLockNone, kHdrLockShared, kHdrLockExclusive
  // No other process can open the file (its data file's header lock is held
  // exclusive): locks are kept in `held` only, with no fcntl.
  bool alone = false;
  // The one open of this process whose in-memory image of the file's head is
  // ahead of the disk (a key file held alone); another open of the file
  // makes it write that image first. Null = none.
  void* ahead_owner = nullptr;
};
fd_lock_state* fd_cache_lock_state(int slot);

}  // namespace kivo

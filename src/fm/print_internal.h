// What the print manager's files share: the open print file, the print
// directory, the real-user-id step and the buffered writer.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "fm/print_file.h"

namespace kivo {

// An open print file. Offsets are u32: print files over 2 GiB are refused.
struct PM_FILE {
  int fd = -1;
  std::string path;  // where it was made or opened
  // reading
  uint32_t line = 0;       // lines of the file passed (line feeds and form feeds)
  uint32_t page = 0;       // 0: nothing read yet
  uint32_t page_line = 0;  // the line at which the current page starts
  uint32_t page_off = 0;   // offset just after the form feed that starts it
  uint32_t line_off = 0;   // start of the last line read
  uint32_t off = 0;        // where the next line starts
  char text[kPmLineChars];
  // writing
  uint8_t buf[kPmBufferSize];
  size_t fill = 0;
  uint64_t size = 0;  // bytes of the file, written and buffered
  int error = 0;      // errno of the first lost write; sticks until the close
};

constexpr uint64_t kPmMaxFileSize = 0x7FFFFFFF;

// The print directory (KIVO_PRT_FI_DIR, default "/tmp/"), ending with "/".
std::string pm_dir();

// For its lifetime the effective user id is the real one, when they differ
// and `skip` is false. ok() is false when the switch failed (errno set).
class real_uid_step {
 public:
  explicit real_uid_step(bool skip = false);
  ~real_uid_step();
  real_uid_step(const real_uid_step&) = delete;
  real_uid_step& operator=(const real_uid_step&) = delete;
  bool ok() const { return ok_; }

 private:
  uid_t saved_ = 0;
  bool switched_ = false;
  bool ok_ = true;
};

// Whether pm_bld and pm_open skip the user-id switch.
bool pm_uid_switch_suppressed();

// A print file's name from the caller's field (up to a NUL, without
// trailing blanks): empty, or holding "/" (which would lead out of the print
// directory), gives false.
bool pm_name(const char* field, std::string* name);

// Sets the block's status to PM_FILE_FAILED + err; returns 0.
int pm_fail(PM_BLK* blk, uint32_t base, int err);

// Writes all n bytes to fd; 0, or the errno of the failure (ENOSPC for a
// write that makes no progress).
int pm_write_all(int fd, const void* p, size_t n);

// Buffered writes; 0 once a write was lost (f->error holds why).
int pm_put(PM_FILE* f, const void* p, size_t n);
int pm_put_byte(PM_FILE* f, uint8_t b);
int pm_flush(PM_FILE* f);

// Flushes, closes and frees the block's file. 0 (errno in *err) when any byte
// of it was lost or the close failed; the file is closed either way.
int pm_release(PM_BLK* blk, int* err);

// A print file pm_bld made is "being made" until pm_release closes it; a
// process that exits meanwhile (its terminal lost, a remote client gone)
// removes it at exit, so that a cut print never stays as if it were one.
void pm_making(PM_FILE* f);

// Forgets the shared read buffer's contents for f (written to or closed).
void pm_read_forget(const PM_FILE* f);

}  // namespace kivo

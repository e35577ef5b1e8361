// The print manager's shared plumbing: the print directory, the switch to the
// real user id, the 8192-byte write buffer, closing a print file, and the
// prints being made, which an exit before their close removes.
//
// Every system call goes through os_sys, so a full disk can be injected. A
// lost write is remembered in the file (PM_FILE::error) and fails everything
// that follows on it: a print cut short never looks complete.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fm/print_internal.h"
#include "foundation/os_calls.h"
#include "foundation/text.h"

namespace kivo {

std::string pm_dir() {
  const char* env = getenv("KIVO_PRT_FI_DIR");
  std::string dir = env && *env ? env : "/tmp/";
  if (dir.back() != '/') dir += '/';  // a directory named without its slash still holds the files
  return dir;
}

bool pm_name(const char* field, std::string* name) {
  name->assign(field, ut_buflen(field, strnlen(field, kPmNameLen)));
  return !name->empty() && name->find('/') == std::string::npos;
}

bool pm_uid_switch_suppressed() { return getenv("KIVO_SUPPRESS_UID_SWITCH") != nullptr; }

real_uid_step::real_uid_step(bool skip) {
  saved_ = geteuid();
  if (skip || saved_ == getuid()) return;
  ok_ = seteuid(getuid()) == 0;
  switched_ = ok_;
}

real_uid_step::~real_uid_step() {
  // Nothing to report if this fails: the saved set-user-id allows it.
  if (switched_ && seteuid(saved_) != 0) {}
}

int pm_fail(PM_BLK* blk, uint32_t base, int err) {
  blk->status = base + static_cast<uint32_t>(err);
  return 0;
}

std::string pm_status_text(uint32_t status) {
  uint32_t err = 0;
  if (status > PM_FILE_FAILED && status < PM_FILE_FAILED + 0x10000) err = status - PM_FILE_FAILED;
  else if (status > PM_CFG_FAILED && status < PM_CFG_FAILED + 0x10000) err = status - PM_CFG_FAILED;
  if (err == ENOSPC || err == EDQUOT) return "the print folder is full";
  if (err == EFBIG) return "the print file is over the file-size limit";
  return err ? strerror(static_cast<int>(err)) : "";
}

const char* pm_status_remedy(uint32_t status) {
  const std::string words = pm_status_text(status);
  if (words == "the print folder is full") return "free space in it and print again";
  if (words == "the print file is over the file-size limit") return "raise the limit and print again";
  return nullptr;
}

int pm_write_all(int fd, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    ssize_t w = os_sys.write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return errno;
    if (w == 0) return ENOSPC;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return 0;
}

int pm_flush(PM_FILE* f) {
  if (f->error) return 0;
  if (f->fill == 0) return 1;
  pm_read_forget(f);
  f->error = pm_write_all(f->fd, f->buf, f->fill);
  f->fill = 0;
  return f->error == 0;
}

int pm_put(PM_FILE* f, const void* p, size_t n) {
  if (f->error) return 0;
  if (f->size + n > kPmMaxFileSize) {
    f->error = EFBIG;
    return 0;
  }
  const auto* b = static_cast<const uint8_t*>(p);
  while (n > 0) {
    if (f->fill == kPmBufferSize && !pm_flush(f)) return 0;
    size_t take = std::min(n, kPmBufferSize - f->fill);
    memcpy(f->buf + f->fill, b, take);
    f->fill += take;
    f->size += take;
    b += take;
    n -= take;
  }
  return 1;
}

int pm_put_byte(PM_FILE* f, uint8_t b) { return pm_put(f, &b, 1); }

namespace {

// The print files being made by this process; never destroyed, as the exit
// handler reads it after static destructors may have run.
std::vector<PM_FILE*>& making() {
  static auto* files = new std::vector<PM_FILE*>;
  return *files;
}
pid_t g_maker = 0;  // the process that registered the exit handler

void remove_unfinished() {
  if (getpid() != g_maker) return;  // a forked child's exit leaves its parent's prints
  real_uid_step uid(pm_uid_switch_suppressed());
  for (PM_FILE* f : making())
    if (uid.ok()) os_sys.unlink(f->path.c_str());
  making().clear();
}

void made(PM_FILE* f) {
  auto& m = making();
  m.erase(std::remove(m.begin(), m.end(), f), m.end());
}

}  // namespace

void pm_making(PM_FILE* f) {
  if (g_maker != getpid()) {
    g_maker = getpid();
    atexit(remove_unfinished);
  }
  making().push_back(f);
}

int pm_release(PM_BLK* blk, int* err) {
  PM_FILE* f = blk->file;
  made(f);
  pm_flush(f);
  *err = f->error;
  if (os_sys.close(f->fd) != 0 && *err == 0) *err = errno;
  pm_read_forget(f);
  delete f;
  blk->file = nullptr;
  return *err == 0;
}

int pm_close(PM_BLK* blk) {
  if (!blk->file) return pm_fail(blk, PM_NOT_OPEN, 0);
  int err = 0;
  if (!pm_release(blk, &err)) return pm_fail(blk, PM_FILE_FAILED, err);
  blk->status = PM_OK;
  return 1;
}

}  // namespace kivo

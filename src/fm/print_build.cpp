// Making a print file (pm_bld): the first free name of the prefix and a
// number of the remaining digits, created exclusively, so that two sessions
// never share a file and nothing planted under a name is written through.
//
// Names are 8 characters: prefix "PRTFI" gives PRTFI000 .. PRTFI999, then
// PRTF0000 .. PRTF9999 and so on; an 8-character prefix is its own only name.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "fm/print_internal.h"
#include "foundation/os_calls.h"
#include "foundation/text.h"

namespace kivo {

namespace {

constexpr char kDefaultPrefix[] = "PRTFI";

// n with exactly `digits` digits; no digits at all for width 0.
std::string number(uint32_t n, size_t digits) {
  if (digits == 0) return "";
  char buf[16];
  snprintf(buf, sizeof buf, "%0*u", static_cast<int>(digits), n);
  return buf;
}

uint32_t names_of(size_t digits) {
  uint32_t limit = 1;
  for (size_t i = 0; i < digits; ++i) limit *= 10;
  return limit;
}

// Creates the first free name; errno set when none could be made.
int create_first_free(const std::string& dir, std::string prefix, std::string* name) {
  for (; !prefix.empty(); prefix.pop_back()) {
    const size_t digits = kPmNameLen - prefix.size();
    for (uint32_t n = 0, limit = names_of(digits); n < limit; ++n) {
      *name = prefix + number(n, digits);
      const std::string path = dir + *name;
      if (path.size() > kPmPathLen) {
        errno = ENAMETOOLONG;
        return -1;
      }
      int fd = os_sys.open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd >= 0) return fd;
      if (errno != EEXIST) return -1;
    }
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

int pm_bld(PM_BLK* blk, char* path_out) {
  std::string prefix;
  if (!pm_name(blk->name, &prefix)) {
    if (!prefix.empty()) return pm_fail(blk, PM_BAD_REQUEST, 0);
    prefix = kDefaultPrefix;
  }
  if (blk->file) pm_close(blk);

  const std::string dir = pm_dir();
  std::string name;
  int fd;
  {
    real_uid_step uid(pm_uid_switch_suppressed());
    if (!uid.ok()) return pm_fail(blk, PM_FILE_FAILED, errno);
    fd = create_first_free(dir, prefix, &name);
    if (fd < 0) return pm_fail(blk, PM_FILE_FAILED, errno);
  }

  const std::string path = dir + name;
  SET_BLANK(path_out, kPmPathLen);
  memcpy(path_out, path.data(), path.size());
  SET_BLANK(blk->name, kPmNameLen);
  memcpy(blk->name, name.data(), name.size());
  blk->file = new PM_FILE;
  blk->file->fd = fd;
  blk->file->path = path;
  pm_making(blk->file);
  blk->line = 0;
  blk->page = 0;
  memcpy(blk->marker, "amw ", 4);
  blk->marker_len = 2;
  blk->status = PM_OK;
  return 1;
}

}  // namespace kivo

// Finishing a print (pm_cleanup): the file is removed, or its ".cfg" file of
// print options is written beside it and the print script is run on both.
//
// The print directory is shared (by default /tmp), so the ".cfg" file is
// created exclusively without following links and readable by its user
// only; the script gets each path as an argument of its own, never through a
// shell command line. Nothing reaches the script unless every byte of the
// print and of its options reached the disk.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fm/fm.h"
#include "fm/print_internal.h"
#include "foundation/com.h"
#include "foundation/os.h"
#include "foundation/os_calls.h"
#include "foundation/text.h"

namespace kivo {

namespace {

const char* const kModeNames[] = {"", "HOLD", "SPOOL", "KEEP", "ONLINE"};
const char* const kDispositionNames[] = {"", "SCRATCH", "SAVE", "REQUEUE"};
constexpr size_t kUserIdLen = 3;
constexpr size_t kUserNameLen = 80;

// A text field as an option value: up to its first NUL, without trailing
// blanks; a line break becomes a blank so that an option stays one line.
std::string value(const char* p, size_t n) {
  std::string v(p, ut_buflen(p, strnlen(p, n)));
  for (char& c : v)
    if (c == '\n' || c == '\r') c = ' ';
  return v;
}

void mend_out_of_range(PM_BLK* blk) {
  if (blk->mode == 0 || blk->mode > PM_MODE_ONLINE) blk->mode = PM_MODE_HOLD;
  if (blk->disposition == 0 || blk->disposition > PM_DISP_REQUEUE) blk->disposition = PM_DISP_SCRATCH;
  if (blk->copies == 0 || blk->copies == 255) blk->copies = 1;
}

std::string request_date(const ss_clock& c) {
  if (c.day == kPmNoTime) return "";
  char digits[16];
  ss_host_time(digits, &c);
  return std::string(digits, sizeof digits);
}

std::string user_name() {
  const uint8_t* rec = fm_hooks.pm_user ? fm_hooks.pm_user() : pm_start_up_user();
  return rec ? value(reinterpret_cast<const char*>(rec) + kUserIdLen, kUserNameLen) : "";
}

// The ".cfg" text, one option a line in the order the print script reads.
std::string cfg_text(const PM_BLK* b) {
  std::string out;
  auto opt = [&out](const char* key, const std::string& v) { out += std::string("-") + key + "=" + v + "\n"; };
  opt("mode", kModeNames[b->mode]);
  opt("disposition", kDispositionNames[b->disposition]);
  opt("copies", std::to_string(b->copies));
  opt("notify", b->notify ? "Yes" : "No");
  opt("banner", b->banner ? "Yes" : "No");
  opt("format", value(b->format, sizeof b->format));
  opt("priority", value(b->priority, sizeof b->priority));
  opt("date", request_date(b->request_time));
  opt("user", user_name());
  opt("printer_name", value(b->printer_name, sizeof b->printer_name));
  opt("printer_id", value(b->printer_id, sizeof b->printer_id));
  opt("printer_ctl", value(b->printer_ctl, sizeof b->printer_ctl));
  opt("printer_queue", value(b->printer_queue, sizeof b->printer_queue));
  opt("form_name", value(b->form_name, sizeof b->form_name));
  opt("form_id", value(b->form_id, sizeof b->form_id));
  opt("form_ctl", value(b->form_ctl, sizeof b->form_ctl));
  opt("rpt_options", value(b->rpt_options, sizeof b->rpt_options));
  return out;
}

// Creates and writes the ".cfg" file; 0 or the errno of the failure. A file
// that could not be written whole is removed: only this call made it.
int write_cfg(const std::string& path, const std::string& text) {
  real_uid_step uid;
  if (!uid.ok()) return errno;
  const int fd = os_sys.open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int err = pm_write_all(fd, text.data(), text.size());
  if (os_sys.close(fd) != 0 && err == 0) err = errno;
  if (err) os_sys.unlink(path.c_str());
  return err;
}

void remove_print(const std::string& path) {
  real_uid_step uid;
  if (uid.ok()) os_sys.unlink(path.c_str());
}

void run_script(const std::string& path) {
  const char* script = getenv("KIVO_PRT_SCRIPT");
  if (!script || !*script) script = "kivo_print";
  const std::string config = "-config=" + path + ".cfg";
  const char* args[] = {config.c_str(), path.c_str()};
  real_uid_step uid;
  if (uid.ok()) ss_run_script(script, args, 2);
}

}  // namespace

const uint8_t* pm_start_up_user() { return com.user_rec; }

int pm_cleanup(PM_BLK* blk) {
  mend_out_of_range(blk);
  if (!blk->file) return pm_fail(blk, PM_NO_FILE_AT_CLEANUP, 0);
  if (blk->disposition == PM_DISP_SAVE && blk->file->size == 0) blk->disposition = PM_DISP_SCRATCH;
  const std::string path = blk->file->path;
  int err = 0;
  const bool whole = pm_release(blk, &err);

  if (!blk->print) remove_print(path);
  if (!whole) return pm_fail(blk, PM_FILE_FAILED, err);
  if (blk->print) {
    err = write_cfg(path + ".cfg", cfg_text(blk));
    if (err) return pm_fail(blk, PM_CFG_FAILED, err);
    if (blk->mode != PM_MODE_KEEP) run_script(path);
  }
  blk->status = PM_OK;
  return 1;
}

}  // namespace kivo

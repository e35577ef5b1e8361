// Environment-variable expansion in paths and the path builder. Byte 0
// chooses: bit 0 expand_env (else ss_bld_path), bit 1 no SYSDIR record,
// bit 2 no SYSDFLT record, bit 3 no root. The next 26 bytes are the
// descriptor's path fields; the rest, split at 0x01 bytes, is the template
// (or the SYSDIR directory), the SYSDFLT directory, the SYSDFLT options and
// the root. Properties: a result is NUL-terminated, fits kPathMax and says
// its own length; a failure says why; a template without "$" expands to
// itself less its trailing blanks.
#include <cstring>
#include <string>
#include <vector>

#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/paths.h"
#include "foundation/sys_err.h"
#include "fuzz_util.h"

using namespace kivo;

namespace {

void put_field(uint8_t* rec, size_t off, const std::string& s) {
  memset(rec + off, ' ', kSysDirFieldLen);
  memcpy(rec + off, s.data(), std::min(s.size(), kSysDirFieldLen));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool init = [] {
    com_fill(0, nullptr);
    foundation_seams.err_presenter = fuzz::quiet_sys_err;
    return true;
  }();
  (void)init;
  constexpr size_t kFdbBytes = 26;
  if (size < 1 + kFdbBytes) return 0;
  const uint8_t flags = data[0];
  FDB_PATH fdb;
  const uint8_t* f = data + 1;
  memcpy(&fdb.fdb_tmp_id, f, 4);
  memcpy(fdb.fdb_ap, f + 4, 3);
  memcpy(fdb.fdb_ver, f + 7, 2);
  memcpy(fdb.fdb_name, f + 9, 8);
  memcpy(fdb.fdb_db, f + 17, 3);
  memcpy(fdb.fdb_src_ap, f + 20, 3);
  memcpy(fdb.fdb_src_ver, f + 23, 2);
  fdb.fdb_class = f[25];

  std::vector<std::string> parts(4);
  size_t k = 0;
  for (size_t i = 1 + kFdbBytes; i < size; ++i) {
    if (data[i] == 0x01 && k < 3) {
      ++k;
      continue;
    }
    parts[k] += static_cast<char>(data[i]);
  }
  cstr root{static_cast<uint16_t>(parts[3].size()), parts[3].data()};
  const cstr* rootp = flags & 8 ? nullptr : &root;

  ss_path_vars_reset();
  if (flags & 1) {
    char out[kPathMax + 16];
    memset(out, 0x7E, sizeof out);
    const std::string& t = parts[0];
    char* r = expand_env(out, t.data(), t.size(), &fdb, rootp);
    if (r) {
      FUZZ_CHECK(r == out, "result elsewhere");
      const size_t n = strnlen(out, kPathMax);
      FUZZ_CHECK(n < kPathMax, "no NUL within %zu bytes", kPathMax);
      const std::string head(t.data(), strnlen(t.data(), t.size()));
      if (head.find('$') == std::string::npos) {
        std::string want = head;
        while (!want.empty() && want.back() == ' ') want.pop_back();
        FUZZ_CHECK(want == out, "plain template changed: \"%s\"", out);
      }
    } else {
      FUZZ_CHECK(*ss_path_error() != '\0', "failure without a reason");
    }
    for (size_t i = kPathMax; i < sizeof out; ++i) FUZZ_CHECK(out[i] == 0x7E, "wrote past kPathMax");
  } else {
    std::vector<uint8_t> sysdir(SYSDIR_DIR + kSysDirFieldLen + 8, ' ');
    std::vector<uint8_t> sysdflt(SYSDFLT_OPTIONS + kSysDirFieldLen + 8, ' ');
    memcpy(sysdir.data() + SYSDIR_DB, fdb.fdb_db, 3);
    put_field(sysdir.data(), SYSDIR_DIR, parts[0]);
    put_field(sysdflt.data(), SYSDFLT_DIR, parts[1]);
    put_field(sysdflt.data(), SYSDFLT_OPTIONS, parts[2]);
    int status = -1;
    const cstr* p =
        ss_bld_path(&fdb, 0, rootp, flags & 2 ? nullptr : sysdir.data(), flags & 4 ? nullptr : sysdflt.data(), &status);
    if (p) {
      FUZZ_CHECK(status == PATH_OK, "status %d with a path", status);
      FUZZ_CHECK(p->len >= 1 && p->len <= kPathMax, "length %u", p->len);
      FUZZ_CHECK(p->ptr[p->len - 1] == '\0' && strlen(p->ptr) + 1 == p->len, "length %u does not match", p->len);
    } else {
      FUZZ_CHECK(status == PATH_BAD_TEMPLATE || status == PATH_TOO_LONG || status == PATH_BAD_TMP_NAME,
                 "no path, status %d", status);
      FUZZ_CHECK(*ss_path_error() != '\0', "failure without a reason");
    }
  }
  return 0;
}

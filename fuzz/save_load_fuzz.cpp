// Loading saved-file record streams (fm_load_fi, mm_load_fi): the input's
// first byte chooses the load (bit 0: the memory back-end's count stream),
// the new file's kind (bit 1: variable length) and its record length (bits
// 2-5, plus 1); the rest is the stream, each record a length byte (1 to 32)
// and that many bytes, the last one cut where the input ends. Properties: a
// load succeeds exactly when the stream is sound, and then the file holds
// the records the stream holds, in order, and no more; a failed load leaves
// no file and no handle; no system error on the way.
#include <cstring>
#include <string>
#include <vector>

#include "fm/fm.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/memfile.h"
#include "fm/whole_file.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/pool.h"
#include "foundation/sys_err.h"
#include "fuzz_util.h"

using namespace kivo;

namespace {

using recs = std::vector<std::string>;

int g_sys_errs;
void count_sys_err(const char*, int, const char*) { ++g_sys_errs; }

recs parse(const uint8_t* p, size_t n) {
  recs out;
  for (size_t at = 0; at < n;) {
    size_t len = p[at++] % 32 + 1;
    len = std::min(len, n - at);
    if (len == 0) break;
    out.emplace_back(reinterpret_cast<const char*>(p + at), len);
    at += len;
  }
  return out;
}

bool fits(const std::string& r, size_t rec_len, bool var) { return var ? r.size() <= rec_len : r.size() == rec_len; }

// What a load should make of the stream: false when it must fail.
bool model(const recs& in, bool memory, size_t rec_len, bool var, recs* out) {
  if (memory) {
    if (in.empty() || in[0].size() != 4) return false;
    uint32_t count = ld_le32(reinterpret_cast<const uint8_t*>(in[0].data()), 0);
    if (count > in.size() - 1) return false;
    for (uint32_t i = 1; i <= count; ++i)
      if (!fits(in[i], rec_len, var)) return false;
    out->assign(in.begin() + 1, in.begin() + 1 + count);
    return true;
  }
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i].size() == 1 && in[i][0] != 0) return true;
    if (in[i].size() == 1 && ++i == in.size()) return false;
    if (!fits(in[i], rec_len, var)) return false;
    out->push_back(in[i]);
  }
  return false;
}

// Disk files are memory files under the native back-end's type: the
// stream code sees a disk file, with no disk below it.
fms_fn g_native;

void desc(FDB* fdb, const char* name, uint8_t fs, uint16_t rec_len, uint8_t var) {
  INIT_FDB(fdb, fs, rec_len, var, nullptr, 0);
  fdb->fdb_org = ORG_SEQUENTIAL;
  INIT_TMP_PATH(&fdb->path, "0DN", "00", name, 0);  // any directory: no SYSDIR entry needed
  fdb->fdb_opt = LFB_NO_STRUCT_CHK;
}

recs all(ARB* a) {
  recs out;
  a->arb_keyno = 0;
  a->arb_mod = ARB_FIRST;
  if (!fm_start(a)) return out;
  while (uint8_t* r = fm_rdnxt_fast(a, 0)) out.emplace_back(reinterpret_cast<char*>(r), a->arb_len);
  return out;
}

ARB* stream_of(const recs& in) {
  FDB s;
  desc(&s, "STREAM", FS_MEMORY, 32, 1);
  if (!FM_CREATE(&s, 0, 0, LFB_OPEN_NEW | LFB_NO_STRUCT_CHK, 0x0f, 0x0f)) abort();
  ARB* a = s.fdb_arb;
  for (const std::string& r : in) {
    a->arb_rec = reinterpret_cast<uint8_t*>(const_cast<char*>(r.data()));
    a->arb_len = a->arb_var_len = uint16_t(r.size());
    a->arb_mod = 0;
    FUZZ_CHECK(fm_write(a), "the stream file refused a record (%u)", a->arb_stat);
  }
  a->arb_mod = ARB_FIRST;
  fm_start(a);
  return a;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool init = [] {
    com_fill(0, nullptr);
    mm_init();
    foundation_seams.err_presenter = count_sys_err;
    if (fm_init() != 1) return false;
    g_native = mm_fms_fn;
    fms_install(FMS_NATIVE, &g_native);
    return true;
  }();
  if (!init || size == 0) return 0;
  const bool memory = data[0] & 1;
  const uint8_t var = (data[0] >> 1) & 1;
  const uint16_t rec_len = uint16_t(((data[0] >> 2) & 15) + 1);
  const recs in = parse(data + 1, size - 1);
  recs want;
  const bool sound = model(in, memory, rec_len, var, &want);
  g_sys_errs = 0;

  ARB* s = stream_of(in);
  FDB f;
  desc(&f, "LOADED", memory ? FS_MEMORY : FS_DISK, rec_len, var);
  const int ok = fm_load_fi(&f, s, 0);
  FUZZ_CHECK(ok == sound, "load gave %d (status %u) for a %s stream", ok, f.fdb_stat, sound ? "sound" : "bad");
  if (ok && f.fdb_arb) {
    FUZZ_CHECK(all(f.fdb_arb) == want, "the loaded records differ from the stream's");
    FM_CLOSE(f.fdb_arb, ARB_SCRATCH);
  } else if (ok) {
    FUZZ_CHECK(want.empty(), "a count of 0 loaded nothing, but the stream holds records");
  } else {
    FUZZ_CHECK(f.fdb_arb == nullptr, "a failed load handed out a handle");
    FDB again;
    desc(&again, "LOADED", memory ? FS_MEMORY : FS_DISK, rec_len, var);
    FUZZ_CHECK(!FM_OPEN(&again, 0, LFB_NO_STRUCT_CHK, 0x0f, 0x0f), "a failed load left its file");
  }
  FM_CLOSE(s, ARB_SCRATCH);
  FUZZ_CHECK(g_sys_errs == 0, "%d system errors", g_sys_errs);
  return 0;
}

// Reading portable files (rdnxt_port_fi, then port_to_native over a map):
// the input's first byte chooses the map (the statement, ELEMENT, FILE,
// structure-header and initial-value-key maps, or one entry of every kind
// with a date of each form) and whether bad dates are let through
// (KIVO_PORTABLE_DATE); the rest is the portable file, each piece a
// little-endian u16 length (taken modulo 901) and that many bytes, the last
// one cut where the input ends. Properties: every record read is converted
// into a native buffer of exactly the map's record length without a fault
// (the sanitizers watch every byte), a failed field fails its record and
// nothing more, and reading stops at the file's end or its first damage.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "design/mu_internal.h"
#include "fm/fm.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/memfile.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/pool.h"
#include "foundation/sys_err.h"
#include "fuzz_util.h"
#include "types/std_date.h"

using namespace kivo;

namespace {

fms_fn g_native;

// One entry of every kind, dates of every form over their widest levels.
port_map every_kind() {
  port_map m;
  uint16_t at = 0;
  auto add = [&](uint16_t len, uint8_t kind, uint8_t d = 0, uint8_t p = 0, uint16_t port = 0) {
    m.common.push_back(tme{at, 0, len, port, kind, d, p, 0});
    at = static_cast<uint16_t>(at + len);
  };
  add(2, PK_VERB), add(7, PK_BYTES), add(1, PK_SIGNED), add(2, PK_SIGNED), add(4, PK_SIGNED), add(4, PK_UNSIGNED),
      add(1, PK_LOGIC), add(5, PK_PACKED, 7, 2), add(4, PK_PACKED, 2, 0, 20), add(4, PK_OCC), add(9, PK_VARPT, 15, 15),
      add(5, PK_FILLER, 0, 0, 3);
  const struct {
    uint8_t type;
    const char* mask;
    uint8_t first, last;
  } dates[] = {{4, "88776655", 8, 5}, {3, "8877555", 8, 5},       {7, "8877665544332211", 8, 1},
               {6, "8877555", 8, 5},  {10, "887766554433", 8, 3}, {9, "8877555", 8, 5}};
  for (auto& d : dates) {
    char mask[60];
    memset(mask, ' ', sizeof mask);
    memcpy(mask, d.mask, strlen(d.mask));
    uint8_t msk[kMskSize];
    const int len = msk_compile(mask, d.type, d.first, d.last, 0, msk);
    if (!len || !msk_put(at, msk)) abort();
    add(static_cast<uint16_t>(len), date_kind_of(d.type), d.first, d.last);
  }
  fill_map_offsets(&m);
  return m;
}

const port_map* g_maps[6];

ARB* port_file(const uint8_t* p, size_t n) {
  FDB f;
  INIT_FDB(&f, FS_DISK, kPortPiece, 1, nullptr, 0);
  f.fdb_org = ORG_SEQUENTIAL;
  INIT_TMP_PATH(&f.path, "0DN", "00", "PORT", 0);
  if (!FM_CREATE(&f, 0, 0, LFB_OPEN_NEW | LFB_NO_STRUCT_CHK, 0x0f, 0x0f)) abort();
  ARB* a = f.fdb_arb;
  for (size_t at = 0; at + 2 <= n;) {
    const size_t len = std::min<size_t>(ld_le16(p, at) % (kPortPiece + 1), n - at - 2);
    at += 2;
    if (len == 0) continue;
    a->arb_rec = const_cast<uint8_t*>(p + at);
    a->arb_len = kPortPiece, a->arb_var_len = static_cast<uint16_t>(len), a->arb_mod = 0;
    FUZZ_CHECK(fm_write(a), "the portable file refused a piece of %zu (%u)", len, a->arb_stat);
    at += len;
  }
  a->arb_keyno = 0, a->arb_mod = ARB_FIRST;
  fm_start(a);
  a->arb_mod = 0;
  return a;
}

size_t native_len(const port_map& m) {
  size_t end = 0;
  for (const tme& t : m.common) end = std::max<size_t>(end, t.nat_off + t.nat_len);
  for (auto& l : m.verbs)
    for (const tme& t : l) end = std::max<size_t>(end, t.nat_off + t.nat_len);
  return end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool init = [] {
    com_fill(0, nullptr);
    mm_init();
    foundation_seams.err_presenter = fuzz::quiet_sys_err;
    if (fm_init() != 1) return false;
    g_native = mm_fms_fn;
    fms_install(FMS_NATIVE, &g_native);
    if (!mu_init() || !stmt_map_msk()) return false;
    static const port_map every = every_kind();
    g_maps[0] = &stmt_map(), g_maps[1] = &element_map(), g_maps[2] = &file_map();
    g_maps[3] = &struct_hdr_map(), g_maps[4] = &init_hdr_map(), g_maps[5] = &every;
    return true;
  }();
  if (!init || size == 0) return 0;
  const port_map& m = *g_maps[data[0] % 6];
  if (data[0] & 0x80) setenv("KIVO_PORTABLE_DATE", "1", 1);
  else unsetenv("KIVO_PORTABLE_DATE");

  mu_run r;
  r.port = port_file(data + 1, size - 1);
  std::vector<char> port(m.port_len + 1u);
  const size_t len = native_len(m);
  for (int records = 0;; ++records) {
    const int got = rdnxt_port_fi(&r, port.data(), m.port_len);
    if (got <= 0) break;
    // Exactly the record: a conversion writing past it is a finding.
    std::vector<uint8_t> native(len);
    map_to_native(m, native.data(), len, port.data());
    FUZZ_CHECK(records < 100000, "more records than the input can hold");
  }
  FM_CLOSE(r.port, ARB_SCRATCH);
  return 0;
}

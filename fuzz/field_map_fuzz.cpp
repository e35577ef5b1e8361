// Field maps from damaged structure files, and records translated through
// them. The input describes a structure file: a u32 count of INITIAL
// records, then 10-byte field records (kind, data type, u16 offset, u16
// size, u16 occurrences, translation byte, the byte after it). It is
// written to disk as a structure file, a memory file of the same path gets
// a full and a short record, and both are read through a handle whose
// derived language is "UPC", by copy and in locate mode. Properties: no
// fault; no read grows a record past its file's length; a second handle
// still reads the stored records untranslated.
#include <cstring>
#include <string>

#include "fm/fm.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_switch.h"
#include "fm/fm_xlate.h"
#include "fm/struct_file.h"
#include "fm/unix_fm.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/pool.h"
#include "foundation/sys_err.h"
#include "fuzz_util.h"
#include "types/element.h"

using namespace kivo;

namespace {

constexpr uint16_t kLen = 64;
constexpr uint32_t kMaxInitial = 8;
constexpr char kRec[] = "key00001lower case text of a record, translated by its field map";
static_assert(sizeof kRec - 1 == kLen);

void path_of(FDB* fdb, uint8_t fs, uint8_t cls) {
  KDB* kdb = nullptr;
  INIT_FDB(fdb, fs, cls == PATH_STRUCT ? kStructFileRecLen : kLen, cls == PATH_STRUCT ? 0 : 1, kdb, 0);
  INIT_TMP_PATH(&fdb->path, "0DN", "00", "XLTFUZZ", 0);
  fdb->path.fdb_class = cls;
}

bool put(ARB* a, const uint8_t* rec, uint16_t len) {
  a->arb_rec = const_cast<uint8_t*>(rec), a->arb_var_len = len, a->arb_mod = 0;
  return fm_write(a) == 1;
}

// The structure file the input describes; false when it cannot be made.
bool write_struct(const uint8_t* data, size_t size) {
  FDB s;
  path_of(&s, FS_DISK, PATH_STRUCT);
  if (!FM_CREATE(&s, 0, 0, LFB_OPEN_NEW | LFB_NO_STRUCT_FILE | LFB_NO_STRUCT_CHK, 0x0f, 0x0f)) return false;
  uint8_t rec[kStructFileRecLen] = {};
  memcpy(rec, data, std::min<size_t>(size, 4));
  const uint32_t n = std::min(ld_le32(rec, 0), kMaxInitial);
  bool ok = put(s.fdb_arb, rec, kStructFileRecLen);
  memset(rec, 0, sizeof rec);
  for (uint32_t i = 0; ok && i <= n; ++i) ok = put(s.fdb_arb, rec, kStructFileRecLen);
  for (size_t at = 4; ok && at + 10 <= size; at += 10) {
    const uint8_t* f = data + at;
    memset(rec, 0, sizeof rec);
    memcpy(rec + ELEM_NAME, "FIELD", 5);
    rec[ELEM_KIND] = f[0], rec[ELEM_TYPE] = f[1];
    st_le16(rec, ELEM_OFFSET, ld_le16(f, 2)), st_le16(rec, ELEM_SIZE, ld_le16(f, 4));
    st_le16(rec, ELEM_OCCURS, ld_le16(f, 6));
    rec[ELEM_XLATE] = f[8], rec[ELEM_XLATE_NEXT] = f[9];
    ok = put(s.fdb_arb, rec, kStructFileRecLen);
  }
  FM_CLOSE(s.fdb_arb, 0);
  return ok;
}

ARB* open_data(bool make) {
  FDB d;
  KDB kdb{};
  SDB sdb{};
  path_of(&d, FS_MEMORY, PATH_DATA);
  d.fdb_kdb = &kdb, d.fdb_nkeys = 1;
  INIT_KDB(&kdb, 0, '+', 0, &sdb, 1);
  init_sdb_func(&sdb, 1, 0, 8, SDB_CHARS, ' ');
  const uint32_t opt = LFB_NO_STRUCT_CHK | (make ? LFB_OPEN_NEW : 0);
  int r = make ? FM_CREATE(&d, 0, 0, opt, 0x0f, 0x0f) : FM_OPEN(&d, 0, opt, 0x0f, 0x0f);
  return r ? d.fdb_arb : nullptr;
}

// Reads the record and checks what came back; the record delivered.
std::string read(ARB* a, uint16_t mod) {
  static uint8_t buf[kLen];
  memcpy(buf, kRec, 8);
  a->arb_rec = buf, a->arb_len = kLen, a->arb_keyno = 0, a->arb_key = nullptr;
  a->arb_mod = ARB_EQUAL | mod, a->arb_lock_wait = 0;
  FUZZ_CHECK(fm_read(a) == 1, "the record was not read (%u)", a->arb_stat);
  a->arb_mod = 0;
  FUZZ_CHECK(a->arb_var_len <= kLen, "a read grew the record to %u", a->arb_var_len);
  return std::string(reinterpret_cast<char*>(a->arb_rec), a->arb_var_len);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool init = [] {
    com_fill(0, nullptr);
    mm_init();
    foundation_seams.err_presenter = fuzz::quiet_sys_err;
    static std::string dir = fuzz::scratch();
    com.data_dir = cstr{static_cast<uint16_t>(dir.size()), dir.data()}, com.path_root = cstr{0, nullptr};
    return fm_init() == 1;
  }();
  if (!init || !write_struct(data, size)) return 0;
  ARB* a = open_data(true);
  FUZZ_CHECK(a, "the memory file was not made");
  ARB* b = open_data(false);
  FUZZ_CHECK(b, "a second handle was refused");
  const uint16_t short_len = static_cast<uint16_t>(size % kLen + 8);
  uint8_t rec[kLen];
  memcpy(rec, kRec, kLen);
  FUZZ_CHECK(put(a, rec, short_len > kLen ? kLen : short_len), "the record was refused");
  fm_set_lang(a, "ENG", "UPC");
  read(a, 0);
  read(a, ARB_LOCATE);
  const std::string stored = read(b, ARB_LOCATE);
  FUZZ_CHECK(stored == std::string(kRec, stored.size()), "the stored record was translated");
  FM_CLOSE(b, 0);
  FM_CLOSE(a, ARB_SCRATCH);
  FDB s;
  path_of(&s, FS_DISK, PATH_STRUCT);
  if (FM_OPEN(&s, 0, LFB_NO_STRUCT_CHK, 0x0f, 0x0f)) FM_CLOSE(s.fdb_arb, ARB_SCRATCH);
  return 0;
}

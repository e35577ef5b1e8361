// The fields of a file as its structure file lists them, for the data
// server's map of binary fields: record 1 holds the counts of INITIAL and
// ELEMENT records, record 2 the FILE record, then the INITIAL records (laid
// out as the file's own records) and the ELEMENT records, one per field.
//
// Read on the server's own file manager, where every stored word is in the
// server's order. A structure file that is missing or cut short gives what
// could be read; the map drops fields that leave the record.
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/struct_file.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "net/netio.h"
#include "types/element.h"

namespace kivo {

namespace {

// Kinds of ELEMENT records that hold no storage of their own.
bool no_storage(uint8_t kind) { return kind >= 2 && kind <= 5; }

int next_rec(ARB* a, uint8_t* rec, bool first) {
  a->arb_rec = rec;
  a->arb_len = kStructFileRecLen;
  a->arb_mod = first ? ARB_FIRST : 0;
  int ok = first ? fm_read(a) : fm_rdnxt(a);
  a->arb_mod = 0;
  return ok;
}

}  // namespace

bool read_struct_fields(const FDB* fdb, std::vector<struct_field>* out, uint32_t* initials) {
  out->clear();
  *initials = 0;
  FDB s;
  struct_fdb(fdb, &s);
  if (!FM_OPEN(&s, com.sys_scope, LFB_NO_STRUCT_CHK | LFB_ANY_DIR, 0x0f, 0x0f)) return false;
  ARB* a = s.fdb_arb;
  uint8_t rec[kStructFileRecLen];
  bool ok = next_rec(a, rec, true);
  uint32_t n = ok ? ld_le32(rec, STRUCT_N_INITIAL) : 0, m = ok ? ld_le32(rec, STRUCT_N_ELEMENT) : 0;
  for (uint32_t i = 0; ok && i <= n; ++i) ok = next_rec(a, rec, false);  // FILE, INITIAL
  if (ok) *initials = n;
  for (uint32_t i = 0; ok && i < m && next_rec(a, rec, false); ++i) {
    if (no_storage(rec[ELEM_KIND])) continue;
    out->push_back(
        struct_field{ld_le16(rec, ELEM_SIZE), ld_le16(rec, ELEM_OFFSET), rec[ELEM_TYPE], ld_le16(rec, ELEM_OCCURS)});
  }
  FM_CLOSE(a, 0);
  return ok;
}

}  // namespace kivo

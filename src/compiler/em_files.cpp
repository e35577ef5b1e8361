// A module's memory sub-files through the file manager: created open at the
// session level, appended to, read by record number (the MADDR reader) or by
// key, and scratched when the module goes.
//
// Invariant: sub-files are only appended to, so a file without keys numbers
// its records from 1 in the order they were written.
#include "compiler/em.h"
#include "fm/fm_open.h"
#include "fm/fm_switch.h"
#include "foundation/bytes.h"
#include "foundation/foundation.h"
#include "foundation/maddr.h"
#include "foundation/sys_err.h"

namespace kivo {

namespace {

ARB* em_fm_create(FDB* fdb, uint32_t scope) {
  return FM_CREATE(fdb, scope, 0, LFB_OPEN_NEW, 0x0f, 0x0f) ? fdb->fdb_arb : nullptr;
}

uint32_t em_fm_append(ARB* arb, const uint8_t* rec, uint16_t len) {
  STRM* s = arb_strm(arb);
  const PFB* pfb = strm_pfb(s);
  if (len == 0 || len > pfb->pfb_rec_len || (!pfb->pfb_var && len != pfb->pfb_rec_len)) return 0;
  arb->arb_mod = 0;
  arb->arb_rec = const_cast<uint8_t*>(rec);  // copied by the write
  arb->arb_len = len;                        // a read before left its record's length here
  arb->arb_var_len = len;
  arb->arb_key_end = nullptr;
  if (!s->strm_fms->write(arb, s) || arb->arb_rec_id_len < 8) return 0;
  return ld_le32(arb->arb_rec_id_area, 4) + 1;
}

void em_fm_close(ARB* arb) { FM_CLOSE(arb, ARB_SCRATCH); }

// Locate-mode read: the file's own record, or null.
uint8_t* em_fm_read(ARB* arb, uint16_t mod, uint8_t keyno, uint32_t relno, uint8_t* key) {
  STRM* s = arb_strm(arb);
  arb->arb_mod = static_cast<uint16_t>(ARB_EQUAL | ARB_LOCATE | mod);
  arb->arb_keyno = keyno;
  arb->arb_relno = relno;
  arb->arb_rec = key;
  arb->arb_key_end = nullptr;
  return s->strm_fms->read(arb, s) ? arb->arb_rec : nullptr;
}

// Only a file without keys is read by number; a keyed one would take the
// missing record image for its key.
uint8_t* read_by_number(void* handle, uint32_t n) {
  auto* arb = static_cast<ARB*>(handle);
  if (arb_pfb(arb)->pfb_nkeys) {
    sys_err("PL", __LINE__, "MADDR - record %u of a keyed file asked by number", n);
    return nullptr;
  }
  return n ? em_fm_read(arb, 0, 0, n, nullptr) : nullptr;
}

}  // namespace

em_file_ops em_files = {em_fm_create, em_fm_append, em_fm_close};

void em_install_reader() { foundation_hooks.maddr = read_by_number; }

uint8_t* em_read_key(ARB* arb, uint8_t keyno, uint8_t* key_rec) { return em_fm_read(arb, 0, keyno, 0, key_rec); }

}  // namespace kivo

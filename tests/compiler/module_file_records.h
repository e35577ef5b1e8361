// The records of a module's module file (kind 3, PATH_EM) or debug file
// (kind 4), read and written whole: the module-file tests and the fuzz
// target damage them and load the module again.
#pragma once

#include <cstdint>
#include <vector>

#include "compiler/pl.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"

namespace kivo {

using module_recs = std::vector<std::vector<uint8_t>>;

// Every record in key order; false when the file cannot be opened.
inline bool read_module_records(const EM* em, uint8_t kind, uint32_t scope, module_recs* out) {
  FDB fdb;
  pl_file_fdb(&fdb, em, kind);
  if (!FM_OPEN(&fdb, scope, LFB_NO_STRUCT_CHK, 0x01, 0x0f)) return false;
  ARB* a = fdb.fdb_arb;
  std::vector<uint8_t> buf(32767);
  a->arb_rec = buf.data(), a->arb_len = 32767, a->arb_keyno = 0, a->arb_key = nullptr, a->arb_mod = ARB_FIRST;
  if (fm_start(a))
    for (a->arb_mod = 0; fm_rdnxt(a);) out->emplace_back(buf.begin(), buf.begin() + a->arb_var_len);
  FM_CLOSE(a, 0);
  return true;
}

// Replaces the module file by `r`; false when a create or write fails.
inline bool write_module_records(const EM* em, const module_recs& r, uint32_t scope) {
  FDB fdb;
  pl_file_fdb(&fdb, em, PATH_EM);
  FDB old = fdb;
  if (FM_OPEN(&old, scope, LFB_NO_STRUCT_CHK, 0x0f, 0x0f)) FM_CLOSE(old.fdb_arb, ARB_SCRATCH);
  if (!FM_CREATE(&fdb, scope, 0, LFB_OPEN_NEW | LFB_NO_STRUCT_CHK, 0x0f, 0x0f)) return false;
  bool ok = true;
  for (const auto& x : r) {
    ARB* a = fdb.fdb_arb;
    a->arb_rec = const_cast<uint8_t*>(x.data()), a->arb_len = a->arb_var_len = static_cast<uint16_t>(x.size());
    a->arb_mod = 0;
    ok = ok && fm_write(a);
  }
  FM_CLOSE(fdb.fdb_arb, 0);
  return ok;
}

}  // namespace kivo

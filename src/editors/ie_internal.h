// What the image editor's files share: record access by key through the
// file manager with the caller's handle fields kept, and the keys of the
// image's records.
//
// Every helper leaves a handle's record buffer, length, key number, key and
// mode as it found them, so that a caller's handle comes back unchanged.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "compiler/design_records.h"
#include "editors/ie.h"
#include "fm/fm_objects.h"
#include "foundation/bytes.h"

namespace kivo {

using ie_rec = std::vector<uint8_t>;

// Keeps a handle's caller-visible fields for the length of a scope.
class arb_keep {
 public:
  explicit arb_keep(ARB* a)
      : a_(a),
        rec_(a->arb_rec),
        len_(a->arb_len),
        var_(a->arb_var_len),
        keyno_(a->arb_keyno),
        key_(a->arb_key),
        key_len_(a->arb_key_len),
        mod_(a->arb_mod) {}
  ~arb_keep() {
    a_->arb_rec = rec_, a_->arb_len = len_, a_->arb_var_len = var_, a_->arb_keyno = keyno_;
    a_->arb_key = key_, a_->arb_key_len = key_len_, a_->arb_mod = mod_;
  }
  arb_keep(const arb_keep&) = delete;
  arb_keep& operator=(const arb_keep&) = delete;

 private:
  ARB* a_;
  uint8_t* rec_;
  uint16_t len_, var_;
  uint8_t keyno_;
  uint8_t* key_;
  uint16_t key_len_;
  uint16_t mod_;
};

// The exact record of key `keyno` whose key fields `rec` holds, read into
// `rec` (`len` bytes); with `hold` the record is held for a rewrite or
// delete. 0 with arb_stat set otherwise.
int ie_get(ARB* a, uint8_t keyno, uint8_t* rec, uint16_t len, bool hold = false);
// Records whose first `prefix` bytes of key `keyno` order equal `key`'s, in
// key order (`len`: the record length).
std::vector<ie_rec> ie_scan(ARB* a, uint8_t keyno, const uint8_t* key, uint16_t len, size_t prefix);
// From `key` in key `keyno` order, as long as `in_range` holds.
std::vector<ie_rec> ie_scan_while(ARB* a, uint8_t keyno, const uint8_t* key, uint16_t len,
                                  const std::function<bool(const uint8_t*)>& in_range);
// The item work records of the item's field (application, name,
// occurrence) in key-1 order.
std::vector<ie_rec> ie_field_items(ARB* itms, const uint8_t* itm);
// The index (from 1) of the item at the record's cell among its field's
// items; 0 when it is not there.
uint16_t ie_field_index(ARB* itms, const uint8_t* itm);
int ie_put(ARB* a, const uint8_t* rec, uint16_t len);
// Reads the record of key 0 held and deletes it; rewrites it.
int ie_del(ARB* a, const uint8_t* rec, uint16_t len);
int ie_rewrite(ARB* a, const uint8_t* rec, uint16_t len);
// Deletes every record of `a` whose first `prefix` bytes equal `key`'s.
int ie_del_prefix(ARB* a, const uint8_t* key, uint16_t len, size_t prefix);

// Reports a failed file operation (checkstat, module tag "IE1" or "IE2")
// and returns 0.
int ie_fail(ARB* a, const char* text, const char* module);

// The image key with a blank language, and a row or a cell.
void ie_row_key(uint8_t* rec, const uint8_t* img, uint32_t row);
void ie_cell_key(uint8_t* rec, const uint8_t* img, uint32_t row, uint32_t col);
// Records of `a` (key 0 the image key, language, row) beginning on `row`.
std::vector<ie_rec> ie_on_row(ARB* a, const uint8_t* img, uint32_t row, uint16_t len);
// Moves every record of `a` beginning on `row` to row + delta.
int ie_shift_row(ARB* a, const uint8_t* img, uint32_t row, int32_t delta, uint16_t len, const char* module);

// An item's display columns, and whether it covers column `col` of its
// row (its column to column + display columns: the cell just after counts).
inline uint32_t iw_cols(const uint8_t* it) { return ld_le32(it, IW_DCOLS); }
inline bool iw_covers(const uint8_t* it, uint32_t col) {
  const uint32_t c = ld_le32(it, RI_COL);
  return c <= col && col <= c + iw_cols(it);
}

// The characteristic beginning on `row` whose columns (and the one after)
// cover `col`; with `exact`, only one beginning at (row, col). Empty: none.
ie_rec chr_at(IE_STATE* st, uint32_t row, uint32_t col, bool exact);

// A design file of the editor's application and version, made (with its
// structure file) when the version has none yet, and opened in the process
// scope; null with *stat set when it can be neither opened nor made.
using ie_dfdb_init = void (*)(FDB*, KDB*, SDB*, const char*, const char*);
ARB* ie_make_design(ie_dfdb_init init, const IE_STATE* st, uint32_t* stat);
// Gives the image's process (its key's type and name) a new design stamp,
// so that its next run compiles the saved image; 1, also when the version
// holds no such process; 0 with the file's status in *stat.
int ie_restamp(const IE_STATE* st, const uint8_t* img, uint32_t* stat);

// Creates a memory work file of the process scope (`tag` its unique name).
ARB* ie_mem_file(const char* tag, uint16_t rec_len, uint8_t var, const char* keys, uint32_t scope);
void ie_scratch(ARB*& a);

inline bool blank(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != ' ') return false;
  return true;
}

constexpr const char* kChrKeys = "0: 0:1b 1:30 31:1b 32:4b 36:1b 37:3 40:4b 44:4b";
// Where the preview's language choice leaves the language: the LANGUAGE
// field of the invoker's area 7.
constexpr size_t kIePreviewLangAt = 664;

// The keys of the item and row work files a design application makes.
constexpr const char* kIeItemKeys = "0: 0:1b 1:30 31:1b 32:4b 36:1b 37:3 40:4b 44:4b; 1: 61:3 64:22 86:2b 40:4b 44:4b";
constexpr const char* kIeRowKeys = "0: 0:1b 1:30 31:1b 32:4b 36:1b 37:3 40:4b";

}  // namespace kivo

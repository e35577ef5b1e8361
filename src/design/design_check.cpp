// The load checks of a design source: items and characteristics inside
// their images, and the fields items and statements name, each by the
// process compiler's own rule (pc_item_size, pc_item_inside, pc_chr_inside;
// a field is looked up in its application, then in "0LA").
//
// The source is read whole before anything is checked, so a field or an
// image may be defined below the line that uses it. Stored records are read
// through opens that create nothing: a design file that is not there holds
// nothing.
#include "design/design_check.h"

#include <algorithm>
#include <cstring>

#include "compiler/design_records.h"
#include "compiler/pc.h"
#include "compiler/pc_cmpl.h"
#include "compiler/stmt_layout.h"
#include "design/dd.h"
#include "fm/fm_objects.h"
#include "fm/fm_open.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"
#include "foundation/text.h"
#include "types/element.h"

namespace kivo {

namespace {

using dfile_init = void (*)(FDB*, KDB*, SDB*, const char*, const char*);

constexpr size_t kNameLen = 22;
constexpr size_t kStmtFieldName = 7;  // operand bytes of the first field's name
constexpr size_t kStmtAreaWord = 30;  // operand byte of the area word (PASS ... VERIFY)
constexpr uint32_t kDeriveSide = 32767;

std::string trimmed(const uint8_t* p, size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

// What a read of a stored design record found.
enum class stored { found, absent, no_file };

// Reads the record whose key 0 `rec` holds from the design file of
// `ap`/`ver`.
stored read_stored(dfile_init init, const std::string& ap, const std::string& ver, uint32_t scope, uint8_t* rec,
                   size_t len) {
  if (pc_memory_design(ap.c_str())) return stored::no_file;  // a memory design holds nothing before its build
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  init(&f, k, s, ap.c_str(), ver.c_str());
  if (!FM_OPEN(&f, scope, LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 0x01, 0x0f)) return stored::no_file;
  const bool found = dd_read(f.fdb_arb, 0, rec, len, false);
  FM_CLOSE(f.fdb_arb, 0);
  return found ? stored::found : stored::absent;
}

// Whether the verb's first field names a record or a file rather than a
// field: STORE and RESTORE of a record, PASS, RECEIVE and VERIFY of a file
// or record, by their area word.
bool names_no_field(int verb, const uint8_t* opnd) {
  const uint8_t area = opnd[kStmtAreaWord];
  switch (verb) {
    case VERB_STORE:
    case VERB_RESTORE: return area != AREA_FIELD && area != AREA_DEFAULT_FIELD;
    case VERB_PASS:
    case VERB_RECEIVE:
    case VERB_VERIFY: return area != AREA_FIELD;
    default: return false;
  }
}

std::string at(uint32_t row, uint32_t col) { return std::to_string(row) + "/" + std::to_string(col); }

std::string image_of(uint32_t rows, uint32_t cols) {
  return "the image of " + std::to_string(rows) + " x " + std::to_string(cols);
}

}  // namespace

design_check::design_check(const std::string& ap, const std::string& ver, bool replace, uint32_t scope)
    : ap_(ap), ver_(ver), replace_(replace), scope_(scope) {}

void design_check::field(const dd_field& f) {
  std::vector<uint8_t> e(kElementSize);
  if (dd_field_element(f, e.data())) fields_[f.name] = e;
  else fields_[f.name] = std::nullopt;
}

void design_check::field_name(const std::string& name) { fields_.emplace(name, std::nullopt); }

void design_check::image(const uint8_t* img) {
  images_[std::string(reinterpret_cast<const char*>(img), kImageKeyLen)] = {ld_le32(img, IM_ROWS),
                                                                            ld_le32(img, IM_COLS)};
}

void design_check::item(const uint8_t* it, int line) { items_.emplace_back(line, std::vector(it, it + kItemRecSize)); }

void design_check::chr(const uint8_t* ch, int line) { chrs_.emplace_back(line, std::vector(ch, ch + kChrRecSize)); }

void design_check::stmt(const std::string& text, int line) { stmts_.emplace_back(line, text); }

void design_check::select(const uint8_t* sel, int line) {
  selects_.emplace_back(line, std::vector(sel, sel + kSelectRecSize));
}

design_check::known design_check::stored_field(const std::string& ap, const std::string& name) {
  known k;
  if (ap == ap_ && replace_) return k;
  const std::string ver = IS_BOB_AP(ap.c_str()) ? "00" : ver_;
  std::vector<uint8_t> e(kElementSize, 0);
  SET_BLANK(e.data() + ELEM_NAME, kNameLen);
  memcpy(e.data() + ELEM_NAME, name.data(), std::min(name.size(), kNameLen));
  const stored elem = read_stored(INIT_DELEM_FDB, ap, ver, scope_, e.data(), kElementSize);
  if (elem == stored::found) return k.found = true, k.elem = e, k;
  // Another application whose dictionary is not written yet (a later source,
  // or its compile) cannot be checked here: its fields are taken by name.
  if (ap != ap_ && elem == stored::no_file) return k.found = true, k;
  // A FIELD not compiled yet is an element once the dictionary compiler ran.
  std::vector<uint8_t> fld(kFieldSize, 0);
  memcpy(fld.data() + FLD_NAME, e.data() + ELEM_NAME, kNameLen);
  k.found = ap == ap_ && read_stored(INIT_DFLD_FDB, ap, ver, scope_, fld.data(), kFieldSize) == stored::found;
  return k;
}

design_check::known design_check::lookup(const std::string& ap, const std::string& name) {
  const std::string key = ap + "|" + name;
  const auto seen = looked_up_.find(key);
  if (seen != looked_up_.end()) return seen->second;
  return looked_up_[key] = find(ap, name);
}

design_check::known design_check::find(const std::string& ap, const std::string& name) {
  for (const std::string& in : {ap, std::string("0LA")}) {
    if (in == ap_) {
      auto own = fields_.find(name);
      if (own != fields_.end()) return known{true, own->second};
    }
    known k = stored_field(in, name);
    if (k.found) return k;
    if (ap == "0LA") break;
  }
  return known{};
}

bool design_check::image_size(const uint8_t* key, uint32_t* rows, uint32_t* cols) {
  const auto own = images_.find(std::string(reinterpret_cast<const char*>(key), kImageKeyLen));
  if (own != images_.end()) return *rows = own->second.first, *cols = own->second.second, true;
  if (replace_) return false;
  uint8_t img[kImageRecSize] = {};
  memcpy(img, key, kImageKeyLen);
  if (read_stored(INIT_DIMG_FDB, ap_, ver_, scope_, img, kImageRecSize) != stored::found) return false;
  *rows = ld_le32(img, IM_ROWS), *cols = ld_le32(img, IM_COLS);
  return true;
}

// An item whose image is not there is never compiled: nothing to say.
void design_check::check_item(const std::vector<uint8_t>& it, int line, std::vector<design_fault>* out) {
  uint32_t img_rows = 0, img_cols = 0;
  if (!image_size(it.data(), &img_rows, &img_cols)) return;
  const std::string ap = trimmed(it.data() + IT_AP, 3), name = trimmed(it.data() + IT_FIELD, kNameLen);
  if (name.empty()) return;
  const known k = lookup(ap, name);
  if (!k.found) return out->push_back({line, "field " + name + " of " + ap + " not found"});
  // A side the item leaves to its field is at least one.
  uint32_t rows = ld_le32(it.data(), IT_ROWS), cols = ld_le32(it.data(), IT_COLS), status = 0;
  if (rows == 0 || rows == kDeriveSide) rows = 1;
  if (cols == 0 || cols == kDeriveSide) cols = 1;
  if (k.elem && !pc_item_size(it.data(), k.elem->data(), img_cols, &rows, &cols, &status)) return;
  if (pc_item_inside(it.data(), rows, cols, img_rows, img_cols)) return;
  out->push_back({line, "item " + name + " at " + at(ld_le32(it.data(), RI_ROW), ld_le32(it.data(), RI_COL)) + " of " +
                            std::to_string(rows) + " x " + std::to_string(cols) + " does not end inside " +
                            image_of(img_rows, img_cols)});
}

void design_check::check_chr(const std::vector<uint8_t>& ch, int line, std::vector<design_fault>* out) {
  uint32_t img_rows = 0, img_cols = 0;
  if (!image_size(ch.data(), &img_rows, &img_cols) || pc_chr_inside(ch.data(), img_rows, img_cols)) return;
  out->push_back({line, "characteristic at " + at(ld_le32(ch.data(), RI_ROW), ld_le32(ch.data(), RI_COL)) + " of " +
                            std::to_string(ld_le32(ch.data(), CR_ROWS)) + " x " +
                            std::to_string(ld_le32(ch.data(), CR_COLS)) + " does not end inside " +
                            image_of(img_rows, img_cols)});
}

// Each field operand with an application is a field of it (or of "0LA");
// a blank application makes the operand a constant. A line that does not
// read is the builder's to refuse.
void design_check::check_stmt(const std::string& text, int line, std::vector<design_fault>* out) {
  uint8_t rec[kStmtSize] = {};
  stmt_error err{};
  if (!stmt_degen(text.data(), text.size(), rec, &err)) return;
  const int verb = ld_le16(rec, STMT_VERB);
  if (verb < 0 || verb >= kVerbCount) return;
  const uint8_t* opnd = rec + STMT_OPND;
  std::string ap;
  for (const xme_stmt* f = xme_stmt_desc[verb]; f && (f->type || f->rec_len || f->scr_width); ++f) {
    if (f->type == XT_AP) ap = trimmed(opnd + f->rec_off, 3);
    if (f->type != XT_FIELD || ap.empty()) continue;
    if (f->rec_off == kStmtFieldName && names_no_field(verb, opnd)) continue;
    const std::string name = trimmed(opnd + f->rec_off, kNameLen);
    if (!name.empty() && !lookup(ap, name).found) out->push_back({line, "field " + name + " of " + ap + " not found"});
  }
}

// A selection statement of kind 1 (its QSLCT body from byte 54): a
// constant compared with a date field must be one the query's compile
// takes. A field known by name only cannot be told.
void design_check::check_select(const std::vector<uint8_t>& sel, int line, std::vector<design_fault>* out) {
  constexpr size_t kBody = 54 - 40;  // SELECT byte of a QSLCT byte
  constexpr size_t kLeftAp = kBody + 42, kLeftName = kBody + 45, kRightAp = kBody + 72, kValue = kBody + 75,
                   kRelop = kBody + 105;
  constexpr size_t kValueLen = 30;
  const uint8_t* s = sel.data();
  if (s[SL_KIND] != 1 || s[kRelop] < 1 || s[kRelop] > 7 || !ut_is_all(s + kRightAp, ' ', 3)) return;
  const std::string ap = trimmed(s + kLeftAp, 3), name = trimmed(s + kLeftName, kNameLen);
  std::string value = trimmed(s + kValue, kValueLen);
  if (value.rfind("\" \"", 0) == 0) value.clear();  // all blanks, as the query reads it
  value.erase(0, value.find_first_not_of(' '));
  if (ap.empty() || name.empty() || value.empty()) return;
  const known k = lookup(ap, name);
  if (!k.elem) return;
  const uint8_t type = (*k.elem)[ELEM_TYPE];
  const std::string seq = std::to_string(ld_le32(s, SL_SEQ));
  if (IS_ELEM_DATE(type) && !sc_date_constant(k.elem->data(), value))
    out->push_back({line, "selection " + seq + ": \"" + value + "\" is neither CCYYMMDD digits nor a date as " + name +
                              " shows one"});
}

std::vector<design_fault> design_check::faults() {
  std::vector<design_fault> out;
  for (const auto& [line, it] : items_) check_item(it, line, &out);
  for (const auto& [line, ch] : chrs_) check_chr(ch, line, &out);
  for (const auto& [line, text] : stmts_) check_stmt(text, line, &out);
  for (const auto& [line, sel] : selects_) check_select(sel, line, &out);
  std::stable_sort(out.begin(), out.end(),
                   [](const design_fault& a, const design_fault& b) { return a.line < b.line; });
  return out;
}

}  // namespace kivo

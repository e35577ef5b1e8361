// The load checks of a design source: items, characteristics and rows
// inside their images and no two items on the same cells, and the fields
// items, statements, selection statements and sort lines name, each by the
// process compiler's own rule (pc_item_size, pc_item_inside, pc_chr_inside;
// a field is looked up in its application, then in "0LA"); numeric masks
// as the conversions take them, a primary key for every indexed file, and
// a query process for every child's range.
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
#include "foundation/end_codes.h"
#include "foundation/invoc.h"
#include "foundation/text.h"
#include "types/cnv.h"
#include "types/element.h"
#include "types/num_convert.h"

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

// Whether a number field's own mask is one the conversions take: the
// engine would otherwise refuse the field at every show and entry.
bool numeric_mask_taken(const dd_field& f, const uint8_t* elem) {
  const bool number = f.type == 5 || f.type == 8 || f.type == 12;
  if (!number || f.code_len || f.mask.find_first_not_of(' ') == std::string::npos) return true;
  sitm s;
  if (!cv_bld_sitm(&s, elem, nullptr)) return true;
  CNV c{};
  return cv_cmpl(&c, &s, nullptr) || c.cnv_status != CV_BAD_NUM_MASK;
}

std::string at(uint32_t row, uint32_t col) { return std::to_string(row) + "/" + std::to_string(col); }

std::string image_of(uint32_t rows, uint32_t cols) {
  return "the image of " + std::to_string(rows) + " x " + std::to_string(cols);
}

}  // namespace

design_check::design_check(const std::string& ap, const std::string& ver, bool replace, uint32_t scope)
    : ap_(ap), ver_(ver), replace_(replace), scope_(scope) {}

void design_check::field(const dd_field& f, int line) {
  std::vector<uint8_t> e(kElementSize);
  const bool built = dd_field_element(f, e.data()) != 0;
  if (built) fields_[f.name] = e;
  else fields_[f.name] = std::nullopt;
  if (file_ && f.key_role == 0) file_->primary = true;
  if (built && line && !f.mask.empty() && !numeric_mask_taken(f, e.data()))
    early_.push_back({line, "field " + f.name + ": numeric mask \"" + f.mask + "\" is not one the conversions take"});
}

void design_check::file(const dd_file& f, int line) { file_ = open_file{line, f, false}; }

// An indexed file is read and written by its primary key: without one it
// cannot be made (kivo_install) nor opened. A record area is never opened.
void design_check::file_end() {
  if (file_ && file_->head.org == 3 && file_->head.fs_type != 0 && !file_->primary)
    early_.push_back({file_->line, "indexed file " + file_->head.name +
                                       " has no field with key=primary (org=1 or 2, or fs=0, needs none)"});
  file_.reset();
}

void design_check::process(const uint8_t* pr) {
  if (pr[PR_TYPE] == PT_QUERY) queries_.insert(ap_ + "|" + trimmed(pr + PR_NAME, kProcNameLen));
}

void design_check::row(const uint8_t* ro, int line) { rows_.emplace_back(line, std::vector(ro, ro + kRowRecSize)); }

void design_check::child(const uint8_t* ch, int line) {
  children_.emplace_back(line, std::vector(ch, ch + kChildRecSize));
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
  if (pc_item_inside(it.data(), rows, cols, img_rows, img_cols)) {
    const std::string where(reinterpret_cast<const char*>(it.data()), RI_LANG + 3);
    placed_[where].push_back({line, name, ld_le32(it.data(), RI_ROW), ld_le32(it.data(), RI_COL), rows, cols});
    return;
  }
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

// A selection statement (kind 1, its QSLCT body from byte 54) compares a
// field with a field or a constant by one of the seven relations; a
// constant compared with a date field must be one the query's compile
// takes (a field known by name only cannot be told). A sort line (kind 2,
// its QSORT body from byte 56) in use names a field. The query's user can
// change neither field nor relation: what the compile would refuse is
// refused here.
void design_check::check_select(const std::vector<uint8_t>& sel, int line, std::vector<design_fault>* out) {
  constexpr size_t kBody = 54 - 40;  // SELECT byte of a QSLCT byte
  constexpr size_t kLeftAp = kBody + 42, kLeftName = kBody + 45, kRightAp = kBody + 72, kValue = kBody + 75,
                   kRelop = kBody + 105;
  constexpr size_t kSortSeq = 52, kSortAp = 56, kSortName = 59, kSortOff = 103;  // QSORT body from byte 56
  constexpr size_t kValueLen = 30;
  const uint8_t* s = sel.data();
  const std::string seq = std::to_string(ld_le32(s, SL_SEQ));
  auto field_there = [&](const std::string& what, const std::string& ap, const std::string& name) {
    if (ap.empty() || name.empty())
      return out->push_back({line, what + " names no field (application and name)"}), false;
    if (lookup(ap, name).found) return true;
    return out->push_back({line, what + ": field " + name + " of " + ap + " not found"}), false;
  };
  if (s[SL_KIND] == 2) {
    if (ld_le32(s, kSortSeq) == 0 || s[kSortOff] == '0') return;  // a line not in use
    field_there("sort line " + seq, trimmed(s + kSortAp, 3), trimmed(s + kSortName, kNameLen));
    return;
  }
  if (s[SL_KIND] != 1) return;
  const uint8_t relop = s[kRelop];
  if (relop == 0 || relop == ' ') return;  // not complete: the query leaves it out
  if (relop > 7)
    return out->push_back({line, "selection " + seq + ": relation " + std::to_string(relop) +
                                     " is none of 1 EQ, 2 GE, 3 GT, 4 LE, 5 LT, 6 NE, 7 IN"});
  const std::string ap = trimmed(s + kLeftAp, 3), name = trimmed(s + kLeftName, kNameLen);
  if (!field_there("selection " + seq, ap, name)) return;
  if (!ut_is_all(s + kRightAp, ' ', 3)) {
    field_there("selection " + seq, trimmed(s + kRightAp, 3), trimmed(s + kValue, kNameLen));
    return;
  }
  std::string value = trimmed(s + kValue, kValueLen);
  if (value.rfind("\" \"", 0) == 0) value.clear();  // all blanks, as the query reads it
  value.erase(0, value.find_first_not_of(' '));
  if (value.empty()) return;
  const known k = lookup(ap, name);
  if (!k.elem) return;
  const uint8_t type = (*k.elem)[ELEM_TYPE];
  if (IS_ELEM_DATE(type) && !sc_date_constant(k.elem->data(), value))
    out->push_back({line, "selection " + seq + ": \"" + value + "\" is neither CCYYMMDD digits nor a date as " + name +
                              " shows one"});
}

// A row's text starts at its image's first column: what lies past the
// image's columns or below its rows is never shown.
void design_check::check_row(const std::vector<uint8_t>& ro, int line, std::vector<design_fault>* out) {
  uint32_t img_rows = 0, img_cols = 0;
  if (!image_size(ro.data(), &img_rows, &img_cols)) return;
  const uint32_t no = ld_le32(ro.data(), RI_ROW);
  const size_t len = trimmed(ro.data() + RO_TEXT, kRowTextLen).size();
  if (no == 0 || no > img_rows)
    out->push_back({line, "row " + std::to_string(no) + " lies outside the rows 1 to " + std::to_string(img_rows) +
                              " of " + image_of(img_rows, img_cols)});
  else if (len > img_cols)
    out->push_back({line, "row " + std::to_string(no) + ": text of " + std::to_string(len) +
                              " characters runs past the " + std::to_string(img_cols) + " columns of " +
                              image_of(img_rows, img_cols)});
}

// A query process (type 5) of `ap` named `name`: the source's, or stored.
bool design_check::query_there(const std::string& ap, const std::string& name) {
  if (ap == ap_ && queries_.count(ap + "|" + name)) return true;
  if (ap == ap_ && replace_) return false;
  uint8_t pr[kProcRecSize] = {};
  pr[PR_TYPE] = PT_QUERY;
  SET_BLANK(pr + PR_NAME, kProcNameLen);
  memcpy(pr + PR_NAME, name.data(), std::min(name.size(), kProcNameLen));
  const stored got = read_stored(INIT_DPROC_FDB, ap, IS_BOB_AP(ap.c_str()) ? "00" : ver_, scope_, pr, kProcRecSize);
  // Another application whose design is not written yet cannot be told.
  return got == stored::found || (ap != ap_ && got == stored::no_file);
}

// A child's range is the selection of a query process: the run reads it
// through the query's name.
void design_check::check_child(const std::vector<uint8_t>& ch, int line, std::vector<design_fault>* out) {
  const std::string ap = trimmed(ch.data() + CH_RANGE_AP, 3), name = trimmed(ch.data() + CH_RANGE_NAME, kProcNameLen);
  if (ap.empty() && name.empty()) return;
  if (ap.empty() || name.empty())
    return out->push_back({line, "range_ap and range_name name the query of the child's range together: give both"});
  if (!query_there(ap, name)) out->push_back({line, "range_name " + name + " is no QUERY process (type 5) of " + ap});
}

// Two items of one image and language on one cell: one hides the other.
void design_check::check_overlaps(std::vector<design_fault>* out) {
  for (const auto& [image, items] : placed_)
    for (size_t j = 0; j < items.size(); ++j)
      for (size_t i = 0; i < j; ++i) {
        const cells &a = items[i], &b = items[j];
        if (a.row >= b.row + b.rows || b.row >= a.row + a.rows || a.col >= b.col + b.cols || b.col >= a.col + a.cols)
          continue;
        const cells& later = a.line > b.line ? a : b;
        const cells& earlier = a.line > b.line ? b : a;
        out->push_back({later.line, "item " + later.name + " at " + at(later.row, later.col) +
                                        " lies on the cells of item " + earlier.name + " at " +
                                        at(earlier.row, earlier.col) + " (line " + std::to_string(earlier.line) + ")"});
      }
}

std::vector<design_fault> design_check::faults() {
  std::vector<design_fault> out;
  placed_.clear();
  for (const auto& [line, it] : items_) check_item(it, line, &out);
  for (const auto& [line, ch] : chrs_) check_chr(ch, line, &out);
  for (const auto& [line, text] : stmts_) check_stmt(text, line, &out);
  for (const auto& [line, sel] : selects_) check_select(sel, line, &out);
  for (const auto& [line, ro] : rows_) check_row(ro, line, &out);
  for (const auto& [line, ch] : children_) check_child(ch, line, &out);
  check_overlaps(&out);
  out.insert(out.end(), early_.begin(), early_.end());
  std::stable_sort(out.begin(), out.end(),
                   [](const design_fault& a, const design_fault& b) { return a.line < b.line; });
  return out;
}

}  // namespace kivo

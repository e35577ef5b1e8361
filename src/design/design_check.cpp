// The load checks of a design source: items, characteristics and rows
// inside their images and no two items on the same cells, and the fields
// items, statements, selection statements and sort lines name, each by the
// process compiler's own rule (pc_item_size, pc_item_inside, pc_chr_inside;
// a field is looked up in its application, then in "0LA"); numeric masks
// as the conversions take them, a primary key for every indexed file, and
// a query process for every child's range; event points, images, windows,
// break frames, the processes children run, field names, and layouts of
// files with records (design_check.h lists them).
//
// The source is read whole before anything is checked, so a field or an
// image may be defined below the line that uses it. Stored records are read
// through opens that create nothing: a design file that is not there holds
// nothing.
#include "design/design_check.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "compiler/design_records.h"
#include "compiler/em.h"
#include "compiler/pc.h"
#include "compiler/pc_cmpl.h"
#include "compiler/pcb.h"
#include "compiler/stmt_layout.h"
#include "design/dd.h"
#include "design/rt_file.h"
#include "fm/fm_objects.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_switch.h"
#include "fm/fm_sysadm.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"
#include "foundation/end_codes.h"
#include "foundation/invoc.h"
#include "foundation/paths.h"
#include "foundation/text.h"
#include "store/data_file.h"
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

// A text slot without its trailing blanks (or zeros: a slot never given).
std::string trimmed(const uint8_t* p, size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  s.erase(s.find_last_not_of(std::string(" \0", 2)) + 1);
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

// Calls `f(record)` for every record of the file `fdb` describes, in key
// order; nothing when it does not open.
template <typename F>
void each_stored(FDB* fdb, uint32_t scope, size_t len, F f) {
  if (!FM_OPEN(fdb, scope, LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 0x01, 0x0f)) return;
  ARB* a = fdb->fdb_arb;
  std::vector<uint8_t> rec(len, 0);
  PROTO_FULL(a, 0, rec.data());
  a->arb_len = static_cast<uint16_t>(len);
  a->arb_mod = ARB_FIRST;
  if (fm_start(a)) {
    a->arb_mod = 0;
    while (fm_rdnxt(a)) f(rec.data());
  }
  FM_CLOSE(a, 0);
}

// Calls `f(record)` for every record of design file `init` of `ap`/`ver`.
template <typename F>
void each_design(dfile_init init, const std::string& ap, const std::string& ver, uint32_t scope, size_t len, F f) {
  if (pc_memory_design(ap.c_str())) return;
  FDB fdb;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  init(&fdb, k, s, ap.c_str(), ver.c_str());
  each_stored(&fdb, scope, len, f);
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

// What is wrong with a field's own mask, or empty: one the conversions do
// not take (the engine would refuse the field at every show and entry), or
// (`*narrow`, a warning: a mask may be meant for the values a field is
// given) a number's with fewer places before the point than the field has
// digits, whose larger values show as question marks.
std::string mask_fault(const dd_field& f, const uint8_t* elem, bool* narrow) {
  const bool number = f.type == 5 || f.type == 8 || f.type == 12, date = IS_ELEM_DATE(f.type);
  if ((!number && !date) || f.code_len || f.mask.find_first_not_of(' ') == std::string::npos) return "";
  sitm s;
  if (!cv_bld_sitm(&s, elem, nullptr)) return "";
  CNV c{};
  const std::string m = "mask \"" + f.mask + "\"";
  if (!cv_cmpl(&c, &s, nullptr) && c.cnv_status == (number ? CV_BAD_NUM_MASK : CV_BAD_DATE_MASK))
    return number ? "numeric " + m + " is not one the conversions take"
                  : "date " + m + " does not compile (conversion status " + std::to_string(CV_BAD_DATE_MASK) + ")";
  if (!number || f.type == 12) return "";
  const size_t point = f.mask.find('.');
  const std::string whole = f.mask.substr(0, point);
  const auto places = std::count_if(whole.begin(), whole.end(), [](char ch) { return strchr("98*0", ch) != nullptr; });
  if (places >= f.digits) return "";
  *narrow = true;
  return m + " shows " + std::to_string(places) + " digits before the point, the field holds " +
         std::to_string(f.digits) + ": its larger values would show as question marks";
}

// The event points that run for a STMTS key, as the compiler takes them.
std::string event_point_fault(const stmt_key& k) {
  const int ep = k.ep;
  if (k.chld_no || k.chld_pos) return ep == 61 || ep == 62 ? "" : "a child has event points 61 and 62";
  if (k.frm_no || k.frm_part) {
    if (k.img_no) return ep >= 41 && ep <= 44 ? "" : "an image has event points 41 to 44";
    return ep >= 21 && ep <= 25 ? "" : "a frame has event points 21 to 25";
  }
  if (ep >= 7 && ep <= 10 && k.proc_type != PT_QUERY) return "event points 7 to 10 are a QUERY's";
  return ep >= 1 && ep <= 11 ? "" : "a process has event points 1 to 11";
}

constexpr uint32_t kScreenRows = 24, kScreenCols = 80;

// A name into its blank-padded slot of `len` bytes.
void put_name(uint8_t* p, const std::string& name, size_t len = kNameLen) {
  SET_BLANK(p, len);
  memcpy(p, name.data(), std::min(name.size(), len));
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
  if (file_) file_->head.fields.push_back(f);
  if (line) field_lines_[f.name] = {line, file_ ? file_->head.name : ""};
  bool narrow = false;
  const std::string mask = built && line && !f.mask.empty() ? mask_fault(f, e.data(), &narrow) : "";
  if (!mask.empty()) (narrow ? warned_ : early_).push_back({line, "field " + f.name + ": " + mask});
}

void design_check::file(const dd_file& f, int line) {
  file_ = open_file{line, f};
  // The name is one word of an install list, which would name another file.
  if (f.name.find_first_of(" \t") != std::string::npos)
    early_.push_back({line, "file name \"" + f.name + "\" holds a blank: a file name is one word"});
}

// An indexed file is read and written by its primary key: without one it
// cannot be made (kivo_install) nor opened. A record area is never opened.
void design_check::file_end() {
  if (!file_) return;
  const auto& fields = file_->head.fields;
  const bool primary = std::any_of(fields.begin(), fields.end(), [](const dd_field& f) { return f.key_role == 0; });
  if (file_->head.org == 3 && file_->head.fs_type != 0 && !primary)
    early_.push_back({file_->line, "indexed file " + file_->head.name +
                                       " has no field with key=primary (org=1 or 2, or fs=0, needs none)"});
  files_.emplace_back(file_->line, file_->head);
  file_.reset();
}

void design_check::process(const uint8_t* pr, int line) {
  if (pr[PR_TYPE] == PT_QUERY) queries_.insert(ap_ + "|" + trimmed(pr + PR_NAME, kProcNameLen));
  procs_.emplace_back(line, std::vector(pr, pr + kProcRecSize));
}

void design_check::frame(const uint8_t* fr, int line) {
  frames_.emplace_back(line, std::vector(fr, fr + kFrameRecSize));
}

void design_check::stmts(const stmt_key& key, int line) {
  const std::string why = event_point_fault(key);
  if (!why.empty())
    early_.push_back({line, "event point " + std::to_string(key.ep) + " never runs here: " + why +
                                " (1-6 and 11 a process's, 7-10 a QUERY's)"});
}

void design_check::row(const uint8_t* ro, int line) { rows_.emplace_back(line, std::vector(ro, ro + kRowRecSize)); }

void design_check::child(const uint8_t* ch, int line) {
  children_.emplace_back(line, std::vector(ch, ch + kChildRecSize));
}

void design_check::field_name(const std::string& name) { fields_.emplace(name, std::nullopt); }

void design_check::image(const uint8_t* img, int line) {
  images_[std::string(reinterpret_cast<const char*>(img), kImageKeyLen)] = {ld_le32(img, IM_ROWS),
                                                                            ld_le32(img, IM_COLS)};
  images_at_.emplace_back(line, std::vector(img, img + kImageRecSize));
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
  put_name(e.data() + ELEM_NAME, name);
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

// An item whose image is not there is never shown, and its field takes
// the keys typed into the item that stands at its place.
void design_check::check_item(const std::vector<uint8_t>& it, int line, std::vector<design_fault>* out) {
  uint32_t img_rows = 0, img_cols = 0;
  if (!image_size(it.data(), &img_rows, &img_cols))
    return out->push_back({line, "image " + std::to_string(it[IM_NUMBER]) + " of frame " + std::to_string(it[FR_PART]) +
                                     "/" + std::to_string(ld_le32(it.data(), FR_NUMBER)) +
                                     " is not there: an ITEM stands on an IMAGE of its frame"});
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
  put_name(pr + PR_NAME, name, kProcNameLen);
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

uint8_t design_check::process_type(const std::string& ap, uint8_t type, const std::string& name) {
  uint8_t other = 0;
  for (const auto& [line, pr] : procs_)
    if (ap == ap_ && trimmed(pr.data() + PR_NAME, kProcNameLen) == name) {
      if (pr[PR_TYPE] == type) return type;
      other = pr[PR_TYPE];
    }
  if (other || (ap == ap_ && replace_)) return other;
  const std::string ver = IS_BOB_AP(ap.c_str()) ? "00" : ver_;
  for (uint8_t t : {type, uint8_t{1}, uint8_t{2}, uint8_t{3}, uint8_t{4}, uint8_t{5}, uint8_t{6}, uint8_t{7},
                    uint8_t{8}, uint8_t{9}, uint8_t{10}}) {
    uint8_t pr[kProcRecSize] = {};
    pr[PR_TYPE] = t;
    put_name(pr + PR_NAME, name, kProcNameLen);
    const stored got = read_stored(INIT_DPROC_FDB, ap, ver, scope_, pr, kProcRecSize);
    // Another application whose design is not written yet cannot be told.
    if (got == stored::found || (got == stored::no_file && ap != ap_)) return t;
    if (got == stored::no_file) return 0;
  }
  return 0;
}

// A child runs the process its application, type and name give: one that
// is not there, or is there with another type, cannot run.
void design_check::check_invoked(const std::vector<uint8_t>& ch, int line, std::vector<design_fault>* out) {
  const std::string ap = trimmed(ch.data() + CH_AP, 3), name = trimmed(ch.data() + CH_NAME, kProcNameLen);
  const uint8_t type = ch[CH_PROC_TYPE];
  if (ap.empty() || name.empty() || type < PT_MENU || type > PT_STATUS) return;
  const uint8_t there = process_type(ap, type, name);
  if (there == type) return;
  if (!there)
    return out->push_back({line, "process " + name + " of " + ap + " is not there: no PROCESS " + std::to_string(type) +
                                     " \"" + name + "\""});
  out->push_back({line, "process " + name + " of " + ap + " is of type " + std::to_string(there) + ", not " +
                            std::to_string(type) + " (proc_type)"});
}

// A screen or pop-up image shows inside the 24 x 80 screen, rows and
// columns counted from 1 (0 places it at the first).
void design_check::check_window(const std::vector<uint8_t>& img, int line, std::vector<design_fault>* out) {
  if (img[IM_KIND] != 1 && img[IM_KIND] != 2) return;
  const uint32_t rows = ld_le32(img.data(), IM_ROWS), cols = ld_le32(img.data(), IM_COLS);
  const uint32_t row = std::max(ld_le32(img.data(), IM_WIN_ROW), 1u),
                 col = std::max(ld_le32(img.data(), IM_WIN_COL), 1u);
  const uint64_t last_row = uint64_t{row} + rows - (rows ? 1 : 0), last_col = uint64_t{col} + cols - (cols ? 1 : 0);
  if (last_row <= kScreenRows && last_col <= kScreenCols) return;
  out->push_back({line, "image " + std::to_string(img[IM_NUMBER]) + ": its window at " + at(row, col) + " of " +
                            std::to_string(rows) + " x " + std::to_string(cols) + " ends at " +
                            at(static_cast<uint32_t>(last_row), static_cast<uint32_t>(last_col)) +
                            ", off the screen of " + std::to_string(kScreenRows) + " x " +
                            std::to_string(kScreenCols)});
}

std::vector<std::string> design_check::ranging_queries(const std::string& name) {
  std::vector<std::string> out;
  auto query_of = [&](const uint8_t* pr) {
    if (pr[PR_TYPE] == PT_QUERY && trimmed(pr + PR_RPT_NAME, kProcNameLen) == name)
      out.push_back(trimmed(pr + PR_NAME, kProcNameLen));
  };
  auto range_of = [&](const uint8_t* ch) {
    const std::string q = trimmed(ch + CH_RANGE_NAME, kProcNameLen);
    if (trimmed(ch + CH_NAME, kProcNameLen) == name && !q.empty()) out.push_back(q);
  };
  for (const auto& [line, pr] : procs_) query_of(pr.data());
  for (const auto& [line, ch] : children_) range_of(ch.data());
  if (!replace_) {
    each_design(INIT_DPROC_FDB, ap_, ver_, scope_, kProcRecSize, query_of);
    each_design(INIT_DCHLD_FDB, ap_, ver_, scope_, kChildRecSize, range_of);
  }
  return out;
}

// A heading or total frame of a range field prints at a break of the
// sorted query the report is ranged on, one per sort level: a field that
// is not there, a report no query ranges, or a field the source's queries
// do not sort on never breaks.
void design_check::check_break(const std::vector<uint8_t>& fr, int line, std::vector<design_fault>* out) {
  const std::string ap = trimmed(fr.data() + FR_RANGE_AP, 3), name = trimmed(fr.data() + FR_RANGE_FLD, kNameLen);
  if ((fr[FR_KIND] != 1 && fr[FR_KIND] != 2) || name.empty()) return;
  const std::string what = "break frame " + std::to_string(fr[FR_PART]) + "/" +
                           std::to_string(ld_le32(fr.data(), FR_NUMBER)) + " on " + name;
  if (ap.empty() || !lookup(ap, name).found)
    return out->push_back(
        {line, what + ": range_field " + name + " of " + (ap.empty() ? "(no range_ap)" : ap) + " names no field"});
  const std::string report = trimmed(fr.data() + FR_NAME, kProcNameLen);
  const std::vector<std::string> queries = ranging_queries(report);
  if (queries.empty())
    return out->push_back({line, what + ": " + report +
                                     " is ranged on no query (a CHILD with range_ap and range_name runs it, or a "
                                     "QUERY names it with rpt_name), and breaks come from a query's sort levels"});
  for (const std::string& q : queries) {
    bool source = false, sorts = false;
    for (const auto& [l, sel] : selects_) {
      if (sel[0] != PT_QUERY || trimmed(sel.data() + 1, kProcNameLen) != q || sel[SL_KIND] != 2) continue;
      source = true;
      sorts = sorts || (trimmed(sel.data() + 56, 3) == ap && trimmed(sel.data() + 59, kNameLen) == name);
    }
    if (!source || sorts) return;  // a stored query's sort lines are the user's to change
  }
  out->push_back({line, what + ": no query that ranges " + report + " sorts on " + name + " (SELECT kind=2)"});
}

// The data files of file `name` of the application that hold records, by
// their paths: one a database that has the application lists (SYSDIR),
// past its header.
std::vector<std::string> design_check::files_with_records(const std::string& name) {
  std::vector<std::string> out;
  FDB fdb;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  INIT_DSYSDIR_FDB(&fdb, k, s);
  std::vector<std::string> dbs;
  each_stored(&fdb, scope_, kSysdirLen, [&](const uint8_t* r) {
    if (trimmed(r + SYSDIR_AP, 3) == ap_ && trimmed(r + SYSDIR_NAME, 8) == name) dbs.push_back(trimmed(r, 3));
  });
  for (const std::string& db : dbs) {
    FDB_PATH path{};
    INIT_DB_PATH(&path, db.c_str(), ap_.c_str(), ver_.c_str(), name.c_str(), PATH_DATA);
    const std::string os = rt_os_path(path) + ".dat";
    struct stat st {};
    if (os.size() > 4 && stat(os.c_str(), &st) == 0 && st.st_size > static_cast<off_t>(kDataHeaderSize))
      out.push_back(os);
  }
  return out;
}

// The stored records of a file are read by its stored layout: a FILE that
// moves a field, or changes its length or type, while a data file holds
// records would have every record misread. The elements compared are the
// stored ones, which -r would remove.
void design_check::check_layout(const dd_file& f, int line, std::vector<design_fault>* out) {
  DesignBuilder b(ap_.c_str(), ver_.c_str(), scope_);
  std::vector<std::vector<uint8_t>> elems;
  if (!b.elements_of(f, &elems)) return;  // the reading pass says why
  std::string changed;
  for (const auto& e : elems) {
    std::vector<uint8_t> was(e.begin(), e.end());
    if (read_stored(INIT_DELEM_FDB, ap_, ver_, scope_, was.data(), kElementSize) != stored::found ||
        trimmed(was.data() + ELEM_FILE, 8) != f.name)
      continue;
    const bool same = ld_le16(was.data(), ELEM_OFFSET) == ld_le16(e.data(), ELEM_OFFSET) &&
                      ld_le16(was.data(), ELEM_SIZE) == ld_le16(e.data(), ELEM_SIZE) &&
                      ld_le16(was.data(), ELEM_OCCURS) == ld_le16(e.data(), ELEM_OCCURS) &&
                      memcmp(was.data() + ELEM_SIGNED, e.data() + ELEM_SIGNED, 3) == 0 &&
                      was[ELEM_TYPE] == e[ELEM_TYPE];
    if (!same) changed += (changed.empty() ? "" : ", ") + trimmed(e.data() + ELEM_NAME, kNameLen);
  }
  if (changed.empty()) return;
  const std::vector<std::string> data = files_with_records(f.name);
  if (data.empty()) return;
  out->push_back({line, "file " + f.name + ": its data file " + data[0] + " holds records, and fields " + changed +
                            " change their place, length or type: the records would be misread (change such a file "
                            "through its RECORD and FIELD design and restructure it, or empty its data file first)"});
}

// A field name is one element of the application: a field of another
// file (or a work field, of a file) that the design holds already refuses
// the write of this one.
void design_check::check_names(std::vector<design_fault>* out) {
  if (replace_) return;
  for (const auto& [name, at] : field_lines_) {
    std::vector<uint8_t> e(kElementSize, 0);
    put_name(e.data() + ELEM_NAME, name);
    if (read_stored(INIT_DELEM_FDB, ap_, ver_, scope_, e.data(), kElementSize) != stored::found) continue;
    const std::string owner = trimmed(e.data() + ELEM_FILE, 8);
    if (owner == at.second) continue;  // the same field written again
    out->push_back({at.first, "field " + name + " is in the design already (" +
                                  (owner.empty() ? std::string("a work field") : "a field of FILE " + owner) +
                                  "): field names are unique in the application"});
  }
}

namespace {

// The APPL record of an application, or a blank one for a version loaded
// before it is installed: its design reads as any application's.
const uint8_t* (*g_installed)(const char*, const char*) = nullptr;
const uint8_t* installed_or_blank(const char* ap, const char* ver) {
  if (const uint8_t* dap = g_installed ? g_installed(ap, ver) : nullptr) return dap;
  static uint8_t blank[kApplRecLen];
  memset(blank, ' ', sizeof blank);
  return blank;
}

}  // namespace

std::vector<compile_error> design_compile(const std::string& ap, const std::string& ver, uint8_t type,
                                          const std::string& name, bool if_there) {
  g_installed = fms_select.get_dap;
  fms_select.get_dap = installed_or_blank;
  struct put_back {
    ~put_back() { fms_select.get_dap = g_installed; }
  } const restore;
  PCB pcb{};
  pc_invoc_defaults(&pcb.invoc);
  memcpy(pcb.invoc.b + INVOC_AP_ID, (ap + ver).data(), 5);
  pcb.invoc.b[INVOC_PROC_TYPE] = type;
  put_name(pcb.invoc.b + INVOC_PROC_NAM, name, kProcNameLen);
  memcpy(pcb.pcb_lang, "ENG", 3);
  uint8_t pr[kProcRecSize];
  if (if_there && !pc_read_process(ap.c_str(), ver.c_str(), type, pcb.invoc.proc_nam(), pr)) return {};
  PC_CTX ctx{};
  std::vector<sc_error> errs;
  if (pc_cmpl(&pcb, &ctx, &errs)) return em_destroy(ctx.em), std::vector<compile_error>{};
  std::vector<compile_error> out;
  for (const sc_error& e : errs)
    out.push_back({std::string(reinterpret_cast<const char*>(e.key), sizeof e.key), sc_err_text(e)});
  if (out.empty()) out.push_back({"", name + ": " + std::string(ctx.err_text, pc_err_len(&ctx))});
  return out;
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
  for (const auto& [line, ch] : children_) check_child(ch, line, &out), check_invoked(ch, line, &out);
  for (const auto& [line, img] : images_at_) check_window(img, line, &out);
  for (const auto& [line, fr] : frames_) check_break(fr, line, &out);
  for (const auto& [line, f] : files_) check_layout(f, line, &out);
  check_names(&out);
  check_overlaps(&out);
  out.insert(out.end(), early_.begin(), early_.end());
  std::stable_sort(out.begin(), out.end(),
                   [](const design_fault& a, const design_fault& b) { return a.line < b.line; });
  return out;
}

}  // namespace kivo

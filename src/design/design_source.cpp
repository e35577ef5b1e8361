// Reading the design-source text: a line-oriented tokeniser (words, quoted
// texts, name=value attributes), one reader per record kind laying its key
// and named attributes into the record, FILE ... END and STMTS ... END
// blocks, and the element listing of a built dictionary.
//
// Every value is checked against its slot (width of a text, range of a
// number) before it is stored; the first fault ends the read with its line.
#include "design/design_source.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <sstream>
#include <vector>

#include "compiler/design_records.h"
#include "compiler/stmt_layout.h"
#include "design/dd.h"
#include "design/design_check.h"
#include "fm/fm_objects.h"
#include "fm/fm_record.h"
#include "fm/token_cache.h"
#include "foundation/bytes.h"
#include "foundation/text.h"
#include "types/element.h"

namespace kivo {

namespace {

// A named attribute of a record: offset, width and how the value is stored.
enum slot_kind { TEXT, U8, U16, U32, CHAR };
struct attr {
  const char* name;
  size_t off;
  size_t width;  // TEXT
  slot_kind kind;
  long most = 0;  // U8: the highest value the slot takes, 0 any (255)
};

const attr kProcAttrs[] = {{"active", PR_ACTIVE, 1, CHAR},
                           {"desc", PR_DESC, 30, TEXT},
                           {"save", PR_SAVE, 1, CHAR},
                           {"secr", PR_SECR, 4, TEXT},
                           {"pcf_update", PR_PCF_UPDATE, 1, CHAR},
                           {"pcf_hold", PR_PCF_HOLD, 1, CHAR},
                           {"pcf_required", PR_PCF_REQ, 1, CHAR},
                           {"pcf_key", PR_PCF_KEY, 0, U8},
                           {"rcv_class", PR_RCV_CLASS, 0, U8},
                           {"pcf_ap", PR_PCF_AP, 3, TEXT},
                           {"pcf_file", PR_PCF_NAME, 8, TEXT},
                           {"alt_key", PR_ALT_KEY, 22, TEXT},
                           {"alt_ap", PR_ALT_AP, 3, TEXT},
                           {"alt_file", PR_ALT_FILE, 8, TEXT},
                           {"qry_mode", 166, 0, U8},
                           {"tag_mode", 167, 0, U8},
                           {"err_cancel", 168, 0, U8},
                           {"area3", 169, 1, CHAR},
                           {"area13", 170, 2, TEXT},
                           {"no_acc_secr", 172, 1, CHAR},
                           {"title", PR_TITLE, 60, TEXT},
                           {"rpt_ap", 306, 3, TEXT},
                           {"rpt_name", 309, 30, TEXT},
                           {"print_file", PR_PRINT_FILE, 8, TEXT},
                           {"alog", PR_ALOG, 1, CHAR},
                           {nullptr, 0, 0, TEXT}};
const attr kFrameAttrs[] = {
    {"enabled", FR_ENABLED, 0, U8},       {"range_ap", FR_RANGE_AP, 3, TEXT}, {"range_field", FR_RANGE_FLD, 22, TEXT},
    {"count", FR_COUNT, 0, U16},          {"select", FR_SELECT, 800, TEXT},   {"qparm_word", FR_QPARM_WORD, 0, U32},
    {"qparm_byte", FR_QPARM_BYTE, 0, U8}, {"kind", FR_KIND, 0, U8},           {nullptr, 0, 0, TEXT}};
const attr kImageAttrs[] = {{"kind", IM_KIND, 0, U8},
                            {"scroll", IM_SCROLL, 0, U8},
                            {"compress", IM_COMPRESS, 0, U8},
                            {"separator", IM_SEPARATOR, 0, U8},
                            {"blank_before", IM_BLANK_BEFORE, 0, U8},
                            {"blank_after", IM_BLANK_AFTER, 0, U8},
                            {"win_row", IM_WIN_ROW, 0, U32},
                            {"win_col", IM_WIN_COL, 0, U32},
                            {"start_col", IM_START_COL, 0, U32},
                            {"rows", IM_ROWS, 0, U32},
                            {"cols", IM_COLS, 0, U32},
                            {nullptr, 0, 0, TEXT}};
const attr kItemAttrs[] = {{"rows", IT_ROWS, 0, U32},
                           {"cols", IT_COLS, 0, U32},
                           {"ap", IT_AP, 3, TEXT},
                           {"field", IT_FIELD, 22, TEXT},
                           {"occ", IT_OCC, 0, U16},
                           {"bold", IT_ATTR, 1, CHAR},
                           {"underline", IT_ATTR + 2, 1, CHAR},
                           {"bright", IT_ATTR + 3, 1, CHAR},
                           {"reverse", IT_ATTR + 4, 1, CHAR},
                           {"input", IT_INPUT, 1, CHAR},
                           {nullptr, 0, 0, TEXT}};
const attr kChrAttrs[] = {{"rows", CR_ROWS, 0, U32},
                          {"cols", CR_COLS, 0, U32},
                          {"attr", CR_FLAGS, 1, CHAR},
                          {"underline", CR_FLAGS + 1, 1, CHAR},
                          {"bold", CR_FLAGS + 2, 1, CHAR},
                          {"reverse", CR_FLAGS + 3, 1, CHAR},
                          {"reverse_byte", CR_REVERSE, 0, U8},
                          {"box", CR_BOX, 1, CHAR},
                          {nullptr, 0, 0, TEXT}};
const attr kChildAttrs[] = {{"ap", CH_AP, 3, TEXT},
                            {"proc_type", CH_PROC_TYPE, 0, U8},
                            {"name", CH_NAME, 30, TEXT},
                            {"invoc", CH_INVOC, 0, U8},
                            {"option", CH_OPTION, 0, U8},
                            {"on_change", CH_ON_CHANGE, 0, U8},
                            {"on_delete", CH_ON_DELETE, 1, CHAR},
                            {"one_shot", CH_ONE_SHOT, 0, U8},
                            {"range_ap", CH_RANGE_AP, 3, TEXT},
                            {"range_name", CH_RANGE_NAME, 30, TEXT},
                            {"update", CH_UPDATE, 0, U8, 3},
                            {"links", CH_LINK_CNT, 0, U8},
                            {"pcf_key", CH_PCF_KEY, 0, U8},
                            {"link1_ap", CH_LINK, 3, TEXT},
                            {"link1_field", CH_LINK + 3, 22, TEXT},
                            {"link1_occ", CH_LINK + 25, 0, U16},
                            {"link2_ap", CH_LINK + kChildLinkSize, 3, TEXT},
                            {"link2_field", CH_LINK + kChildLinkSize + 3, 22, TEXT},
                            {"link2_occ", CH_LINK + kChildLinkSize + 25, 0, U16},
                            {nullptr, 0, 0, TEXT}};
// The dictionary design: DOMAIN, FIELD and RECORD records.
const attr kDomainAttrs[] = {{"label", DOM_LABEL, 30, TEXT},
                             {"size", DOM_SIZE, 0, U16},
                             {"kind", DOM_OWN_KIND, 0, U8},
                             {"no_ranges", DOM_NO_RANGE, 0, U8},
                             {"sub_kind", DOM_SUB_KIND, 0, U8},
                             {"mask", DOM_MASK, 60, TEXT},
                             {"alt_mask", DOM_ALT_MASK, 60, TEXT},
                             {"display", DOM_DSPL_CHAR, 1, CHAR},
                             {"heading1", DOM_HEAD1, 30, TEXT},
                             {"heading2", DOM_HEAD2, 30, TEXT},
                             {"code1", DOM_CODES, 4, TEXT},
                             {"code2", DOM_CODES + 4, 4, TEXT},
                             {"code3", DOM_CODES + 8, 4, TEXT},
                             {"source_ap", DOM_SRC_AP, 3, TEXT},
                             {"source", DOM_SRC_NAME, 22, TEXT},
                             {"relation1", DOM_REL, 0, U8},
                             {"relation2", DOM_REL + 1, 0, U8},
                             {"range1", DOM_RNG1, 30, TEXT},
                             {"range2", DOM_RNG2, 30, TEXT},
                             {"lookup_ap", DOM_LKP_AP, 3, TEXT},
                             {"lookup_file", DOM_LKP_FILE, 8, TEXT},
                             {"lookup_field", DOM_LKP_FIELD, 22, TEXT},
                             {"init", DOM_INIT, 60, TEXT},
                             {"null", DOM_NULL, 33, TEXT},
                             {"form_byte", DOM_FORM_BYTE, 0, U8},
                             {"alpha_form", DOM_ALP_FORM, 0, U8},
                             {"justify", DOM_JUSTIFY, 0, U8},
                             {"char_flag", DOM_CHAR_FLAG, 1, CHAR},
                             {"fill", DOM_FILL, 1, CHAR},
                             {"word_flow", DOM_WORD_FLOW, 1, CHAR},
                             {nullptr, 0, 0, TEXT}};
const attr kFieldAttrs[] = {{"number", FLD_NUMBER, 0, U32},
                            {"class", FLD_CLASS, 1, CHAR},
                            {"kind", FLD_KIND, 0, U8},
                            {"domain", FLD_REF, 22, TEXT},
                            {"ref", FLD_REF, 22, TEXT},
                            {"first", FLD_SUB_FIRST, 0, U16},
                            {"size", FLD_SUB_SIZE, 0, U16},
                            {"occurs", FLD_OCCURS, 0, U16},
                            {"file", FLD_FILE, 8, TEXT},
                            {"seq", FLD_SEQ, 0, U32},
                            {"display", ELEM_DSPL_CHAR, 1, CHAR},
                            {"label", ELEM_LABEL, 30, TEXT},
                            {"heading1", ELEM_HEAD1, 30, TEXT},
                            {"heading2", ELEM_HEAD2, 30, TEXT},
                            {"area_class", FLD_AREA_CLASS, 0, U8},
                            {"column", FLD_AREA_CLASS + 1, 0, U8},
                            {"row", FLD_AREA_CLASS + 2, 0, U8},
                            {"special", FLD_SPECIAL, 0, U8},
                            {"key_role", FLD_KEY_ROLE, 0, U8},
                            {"key_no", FLD_KEY_NO, 0, U8},
                            {"key_order", ELEM_KEY_ORDER, 1, CHAR},
                            {"key_flag", ELEM_KEY_FLAG, 1, CHAR},
                            {"low", ELEM_RNG_LO, 30, TEXT},
                            {"high", ELEM_RNG_HI, 30, TEXT},
                            {"lookup_ap", ELEM_LKP_AP, 3, TEXT},
                            {"lookup_file", ELEM_LKP_FILE, 8, TEXT},
                            {"lookup_field", ELEM_LKP_FIELD, 22, TEXT},
                            {"code1", ELEM_CODES, 4, TEXT},
                            {"code2", ELEM_CODES + 4, 4, TEXT},
                            {"code3", ELEM_CODES + 8, 4, TEXT},
                            {"init", FLD_INIT, 60, TEXT},
                            {"domain_kind", FLD_DOM_KIND, 1, CHAR},
                            {"binary1", FLD_BINARIES, 0, U32},
                            {"binary2", FLD_BINARIES + 4, 0, U32},
                            {nullptr, 0, 0, TEXT}};
const attr kRecordAttrs[] = {{"fs", RCD_FS_TYPE, 0, U8},
                             {"org", RCD_ORG, 0, U8},
                             {"alloc", RCD_ALLOC, 1, CHAR},
                             {"alloc_row", RCD_ALLOC_ROW, 0, U8},
                             {"alloc_col", RCD_ALLOC_COL, 0, U8},
                             {"var", RCD_VAR, 1, CHAR},
                             {"flag19", RCD_FLAG19, 0, U8},
                             {"flag20", RCD_FLAG20, 0, U8},
                             {"code1", RCD_CODES, 4, TEXT},
                             {"code2", RCD_CODES + 4, 4, TEXT},
                             {"code3", RCD_CODES + 8, 4, TEXT},
                             {"area_class", RCD_CLASS, 0, U8},
                             {"column", RCD_CLASS + 1, 0, U8},
                             {"row", RCD_CLASS + 2, 0, U8},
                             {nullptr, 0, 0, TEXT}};
const attr kSelectAttrs[] = {{"kind", SL_KIND, 0, U8}, {nullptr, 0, 0, TEXT}};
const attr kParamAttrs[] = {{"start", PA_START, 30, TEXT},
                            {"start_kind1", PA_START_KIND1, 30, TEXT},
                            {"start_kind3", PA_START_KIND3, 30, TEXT},
                            {nullptr, 0, 0, TEXT}};
const attr kNoAttrs[] = {{nullptr, 0, 0, TEXT}};

// One line cut into words; "quoted texts" keep their blanks, name=value
// pairs are attributes.
struct words {
  std::vector<std::string> pos;
  std::vector<std::pair<std::string, std::string>> attrs;
};

bool tokenize(const std::string& line, words* w, std::string* err) {
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t') {
      ++i;
      continue;
    }
    if (line[i] == '#') break;
    std::string name, value;
    bool quoted = false;
    auto read_value = [&](std::string* out) {
      if (i < line.size() && line[i] == '"') {
        size_t end = line.find('"', i + 1);
        if (end == std::string::npos) return *err = "unclosed quote", false;
        *out = line.substr(i + 1, end - i - 1);
        i = end + 1;
        quoted = true;
        return true;
      }
      size_t start = i;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '=') ++i;
      *out = line.substr(start, i - start);
      return true;
    };
    if (!read_value(&name)) return false;
    if (!quoted && i < line.size() && line[i] == '=') {
      ++i;
      if (!read_value(&value)) return false;
      w->attrs.emplace_back(name, value);
    } else {
      w->pos.push_back(name);
    }
  }
  return true;
}

bool to_number(const std::string& s, long lo, long hi, long* out) {
  if (s.empty()) return false;
  char* end;
  long v = strtol(s.c_str(), &end, 10);
  if (*end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// Stores `value` into `rec` as `a` says; false with *err when it does not fit.
bool store(uint8_t* rec, size_t off, size_t width, slot_kind kind, const std::string& value, std::string* err) {
  long v = 0;
  switch (kind) {
    case TEXT:
      if (value.size() > width) return *err = "\"" + value + "\" longer than " + std::to_string(width), false;
      SET_BLANK(rec + off, width);
      memcpy(rec + off, value.data(), value.size());
      return true;
    case CHAR:
      if (value.size() != 1) return *err = "\"" + value + "\" is not one character", false;
      rec[off] = static_cast<uint8_t>(value[0]);
      return true;
    case U8:
      if (!to_number(value, 0, 255, &v)) return *err = "\"" + value + "\" is not a number 0-255", false;
      rec[off] = static_cast<uint8_t>(v);
      return true;
    case U16:
      if (!to_number(value, 0, 65535, &v)) return *err = "\"" + value + "\" is not a number 0-65535", false;
      st_le16(rec, off, static_cast<uint16_t>(v));
      return true;
    case U32:
      if (!to_number(value, 0, 0x7FFFFFFF, &v)) return *err = "\"" + value + "\" is not a number", false;
      st_le32(rec, off, static_cast<uint32_t>(v));
      return true;
  }
  return false;
}

// Named attributes, and "@offset" / "@offset:u8|u16|u32" for any other byte.
bool apply_attrs(const words& w, const attr* table, uint8_t* rec, size_t len, std::string* err) {
  for (auto& [name, value] : w.attrs) {
    if (name[0] == '@') {
      const size_t colon = name.find(':');
      long off = 0;
      if (!to_number(name.substr(1, colon == std::string::npos ? std::string::npos : colon - 1), 0,
                     static_cast<long>(len) - 1, &off))
        return *err = "offset " + name + " outside the record", false;
      const std::string t = colon == std::string::npos ? "" : name.substr(colon + 1);
      const slot_kind k = t == "u8" ? U8 : t == "u16" ? U16 : t == "u32" ? U32 : TEXT;
      const size_t need = k == U16 ? 2 : k == U32 ? 4 : k == U8 ? 1 : value.size();
      if (static_cast<size_t>(off) + need > len) return *err = name + " runs past the record", false;
      if (!store(rec, static_cast<size_t>(off), value.size(), k, value, err)) return false;
      continue;
    }
    const attr* a = table;
    while (a->name && name != a->name) ++a;
    if (!a->name) return *err = "no attribute \"" + name + "\" here", false;
    long v = 0;
    if (a->most && !to_number(value, 0, a->most, &v))
      return *err = name + " \"" + value + "\" is not a number 0-" + std::to_string(a->most), false;
    if (!store(rec, a->off, a->width, a->kind, value, err)) return false;
  }
  return true;
}

// The key words every process-side record starts with: type, name, part,
// frame number.
bool proc_key(const words& w, size_t need, uint8_t* rec, std::string* err) {
  if (w.pos.size() < need) return *err = "expected " + std::to_string(need - 1) + " key values", false;
  return store(rec, 0, 0, U8, w.pos[1], err) && store(rec, 1, 30, TEXT, w.pos[2], err) &&
         (need < 5 || (store(rec, 31, 0, U8, w.pos[3], err) && store(rec, 32, 0, U32, w.pos[4], err)));
}

// Field types: A<n> alpha, G<n> group header, B<d>[.<x>][S] binary, P<d>[.<x>][S] packed, V
// variable-point, L logic, D<t>:<hi>-<lo> a date of type t, T<t>:<n> any
// other type with its size.
bool field_type(const std::string& s, dd_field* f, std::string* err) {
  const char* p = s.c_str();
  auto num = [&](long hi, long* v) {
    char* end;
    *v = strtol(p, &end, 10);
    if (end == p || *v < 0 || *v > hi) return false;
    p = end;
    return true;
  };
  long a = 0, b = 0;
  bool ok = false;
  switch (*p++) {
    case 'A':
      ok = num(32767, &a) && a > 0;
      f->type = 1, f->size = static_cast<uint16_t>(a);
      break;
    case 'B':
    case 'P':
      f->type = s[0] == 'B' ? 5 : 8;
      ok = num(18, &a) && (*p != '.' || (++p, num(18, &b)));
      if (*p == 'S') f->is_signed = true, ++p;
      f->digits = static_cast<uint8_t>(a), f->decimals = static_cast<uint8_t>(b);
      // A binary holds at most 4 bytes; a packed field the 18 digits of a sum of money.
      ok = ok && a + b > 0 && a + b <= (f->type == 5 ? 15 : 18);
      break;
    case 'G':
      ok = num(32767, &a) && a > 0;
      f->type = 1, f->size = static_cast<uint16_t>(a), f->group = true;
      break;
    case 'V': f->type = 12, ok = true; break;
    case 'L': f->type = 11, ok = true; break;
    case 'D':
      ok = num(15, &a) && IS_ELEM_DATE(static_cast<uint8_t>(a)) && *p++ == ':' && num(8, &b) && *p++ == '-';
      f->type = static_cast<uint8_t>(a), f->digits = static_cast<uint8_t>(b);
      ok = ok && num(8, &a) && a >= 1 && a <= b;
      f->decimals = static_cast<uint8_t>(a);
      break;
    case 'T':
      ok = num(15, &a) && *p++ == ':' && num(32767, &b) && b > 0;
      f->type = static_cast<uint8_t>(a), f->size = static_cast<uint16_t>(b);
      break;
  }
  if (!ok || *p) return *err = "bad field type \"" + s + "\"", false;
  return true;
}

bool field_line(const words& w, size_t first, dd_field* f, std::string* err) {
  if (w.pos.size() < first + 2) return *err = "expected a field name and a type", false;
  f->name = w.pos[first];
  if (!field_type(w.pos[first + 1], f, err)) return false;
  for (size_t i = first + 2; i < w.pos.size(); ++i) {
    long v;
    if (w.pos[i][0] != '@' || !to_number(w.pos[i].substr(1), 0, 32766, &v))
      return *err = "unexpected \"" + w.pos[i] + "\"", false;
    f->offset = static_cast<int>(v);
  }
  for (auto& [name, value] : w.attrs) {
    long v = 0;
    if (name == "mask") f->mask = value;
    else if (name == "init") f->init = value;
    else if (name == "null") f->null_text = value;
    else if (name == "occurs" && to_number(value, 1, 9999, &v)) f->occurs = static_cast<uint16_t>(v);
    else if (name == "key" && value == "primary") f->key_role = 0;
    else if (name == "key" && to_number(value, 1, 254, &v)) f->key_role = static_cast<uint8_t>(v);
    else if (name == "order" && (value == "-" || value == "+")) f->key_desc = value == "-";
    else if (name == "special" && to_number(value, 1, 10, &v)) f->special_use = static_cast<uint8_t>(v);
    else if (name == "key_flag" && value.size() == 1) f->key_flag = value[0];
    else if (name == "code" && to_number(value, 1, 30, &v)) f->code_len = static_cast<uint16_t>(v);
    else if (name == "xlate" && (value == "1" || value == "0")) f->xlate = value == "1";
    else if (name != "area" && name != "number") return *err = "bad field attribute " + name + "=" + value, false;
  }
  return true;
}

bool file_header(const words& w, dd_file* f, std::string* err) {
  if (w.pos.size() != 2) return *err = "expected FILE <name>", false;
  f->name = w.pos[1];
  for (auto& [name, value] : w.attrs) {
    long v = 0;
    bool ok = true;
    if (name == "number") ok = to_number(value, 1, 12999999, &v), f->number = static_cast<uint32_t>(v);
    else if (name == "area") ok = to_number(value, 0, 12, &v), f->area = static_cast<uint8_t>(v);
    else if (name == "fs") ok = to_number(value, 0, 2, &v), f->fs_type = static_cast<uint8_t>(v);
    else if (name == "org") ok = to_number(value, 1, 3, &v), f->org = static_cast<uint8_t>(v);
    else if (name == "var") ok = value == "1" || value == "0", f->var = value == "1";
    else if (name == "len") ok = to_number(value, 1, 32767, &v), f->rec_len = static_cast<uint16_t>(v);
    else if (name == "class" && value.size() == 3) {
      for (int i = 0; i < 3; ++i) f->class_bytes[i] = static_cast<uint8_t>(value[static_cast<size_t>(i)] - '0');
    } else ok = false;
    if (!ok) return *err = "bad file attribute " + name + "=" + value, false;
  }
  return true;
}

// The reader of one source.
// One dictionary record as built from a line: its file, its bytes, and the
// byte ranges the dictionary compiler writes (kept from the stored record).
struct dict_rec {
  design_file file = DF_RECORD;
  std::vector<uint8_t> rec;
  std::vector<std::pair<size_t, size_t>> compiled;
};

class reader {
 public:
  reader(const std::string& name, uint32_t scope, const char* ap_override, bool replace, bool check, bool undoable)
      : name_(name), scope_(scope), override_(ap_override), replace_(replace), check_(check), undoable_(undoable) {}

  design_source_result run(const std::string& text);

 private:
  bool parsed(const std::vector<std::string>& lines);
  bool checked(const std::vector<std::string>& lines);
  void refuse(int no);
  bool named_once(const words& w);
  void check_line(design_check* c, const std::string& l, int no);
  bool line(const std::string& l);
  bool reserve_named(const words& w);
  bool record(const words& w);
  bool application(const words& w);
  bool stamp(const words& w);
  bool work(const words& w);
  bool stmts(const words& w);
  bool whole(const words& w);
  bool whole_rec(const words& w, const struct kind_desc** d, std::vector<uint8_t>* rec);
  bool dictionary(const words& w);
  bool domain_rec(const words& w, dict_rec& r);
  bool field_rec(const words& w, dict_rec& r);
  bool record_rec(const words& w, dict_rec& r);
  bool keep_binaries(uint8_t* fld);
  bool file_field(const words& w);
  bool first_definition(const std::string& name);
  bool need_builder() {
    if (b_ || (dry_ && probe_)) return true;
    err_ = "APPLICATION must come first";
    return false;
  }

  std::string name_;
  uint32_t scope_;
  const char* override_;
  bool replace_;
  bool check_;     // the load checks run before anything is written
  bool undoable_;  // a failed write puts the design files back (begin_load)
  std::unique_ptr<DesignBuilder> b_;
  design_source_result res_;
  std::string err_;
  enum { TOP, IN_FILE, IN_STMTS } state_ = TOP;
  dd_file file_;
  stmt_key key_;
  bool second_pass_ = false;  // the first pass opened the builder and reserved the numbers
  // The reading pass (parsed): every line read as the writing passes read
  // it, through a builder that checks and opens nothing; the numbers named.
  bool dry_ = false;
  std::unique_ptr<DesignBuilder> probe_;
  std::set<uint32_t> named_;
  int no_ = 0;                          // the line being read
  int file_line_ = 0;                   // the open FILE's
  std::map<std::string, int> defined_;  // the lines of the source's FILE and WORK fields, by name
  // What the writing pass wrote: the processes (type, name, line) and the
  // line of each statement by its key and sequence; whether it wrote a
  // dictionary design, whose fields come with the next compile.
  struct written_proc {
    uint8_t type;
    std::string name;
    int line;
    bool stmts_only;  // named by a STMTS block alone
  };
  std::vector<written_proc> procs_;
  std::map<std::string, int> stmt_lines_;
  bool dictionary_ = false;
  bool compiled();
  void written(uint8_t type, const std::string& name, bool stmts);
  bool list_faults(const std::vector<std::string>& faults);
};

// Numbers the source names are reserved before any is drawn, so that a
// drawn number never lands on one named further down.
bool reader::reserve_named(const words& w) {
  if (!b_ || (w.pos[0] != "FILE" && w.pos[0] != "WORK")) return true;
  for (auto& [n, v] : w.attrs) {
    long number = 0;
    if (n == "number" && to_number(v, 1, 12999999, &number) && !b_->reserve(static_cast<uint32_t>(number)))
      return false;
  }
  return true;
}

design_source_result reader::run(const std::string& text) {
  std::vector<std::string> lines;
  {
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) {
      if (!l.empty() && l.back() == '\r') l.pop_back();
      lines.push_back(l);
    }
  }
  // Every line is read, then checked, before the first file changes.
  if (!parsed(lines) || (check_ && !checked(lines))) return res_;
  if (res_.ap.empty()) return res_.error = name_ + ": the source holds nothing (no APPLICATION line)", res_;
  int no = 0;
  for (const std::string& l : lines) {  // the application and the numbers it names
    ++no;
    if (state_ == IN_STMTS) {
      state_ = l.rfind("END", 0) == 0 ? TOP : state_;
      continue;
    }
    words w;
    if (!tokenize(l, &w, &err_) || w.pos.empty()) continue;
    if (w.pos[0] == "STMTS") state_ = IN_STMTS;
    if ((w.pos[0] == "APPLICATION" && !record(w)) || !reserve_named(w)) return refuse(no), res_;
  }
  state_ = TOP;
  err_.clear();
  procs_.clear();  // the checks read the STMTS keys too
  second_pass_ = true;
  no = 0;
  for (const std::string& l : lines)
    if (no_ = ++no, !line(l)) return refuse(no), res_;
  if (state_ != TOP) {
    res_.error = name_ + ":" + std::to_string(no) + ": END missing at the end";
    return refuse(0), res_;
  }
  // Files on disk are closed at the end; memory files would go with their close.
  res_.ok = res_.ap == "0DN" || res_.ap == "0DO" || b_->close_all();
  if (!res_.ok) return res_.error = name_ + ": " + b_->error(), refuse(0), res_;
  // The processes compile as the engine will compile them; a system
  // application's may use applications written after it, and a dictionary
  // design's fields come with its compile.
  if (check_ && undoable_ && !dictionary_ && !IS_BOB_AP(res_.ap.c_str()) && !compiled())
    return res_.ok = 0, refuse(0), res_;
  b_->keep_load();
  return res_;
}

// A write that failed at line `no` (0: `res_.error` says it already): the
// version's design files go back to what they were, and the refusal says so.
void reader::refuse(int no) {
  if (no) res_.error = name_ + ":" + std::to_string(no) + ": " + (err_.empty() && b_ ? b_->error() : err_);
  if (!b_ || !undoable_) return;
  if (b_->undo_load()) res_.error += "\n" + name_ + ": nothing was changed";
  else res_.error += "\n" + name_ + ": " + b_->error();
}

// The reading pass: every line as the writing passes read it (records,
// their values, fields and file layouts, statement lines, the numbers
// named), with nothing opened; false with every line that does not read.
bool reader::parsed(const std::vector<std::string>& lines) {
  dry_ = true;
  std::vector<std::string> faults;
  int no = 0;
  for (const std::string& l : lines) {
    no_ = ++no;
    err_.clear();
    if (line(l)) continue;
    std::string what = err_.empty() && probe_ ? probe_->error() : err_;
    if (what.empty()) what = "does not read";
    faults.push_back(name_ + ":" + std::to_string(no) + ": " + what);
  }
  if (state_ != TOP) faults.push_back(name_ + ":" + std::to_string(no) + ": END missing at the end");
  dry_ = false;
  probe_.reset();
  named_.clear();
  state_ = TOP;
  err_.clear();
  return list_faults(faults);
}

// The load checks over the whole source, before the builder opens
// anything: false with every fault found, each "<source>:<line>: <what>".
// A line that does not read is left to the writing passes, which stop at it.
bool reader::checked(const std::vector<std::string>& lines) {
  std::unique_ptr<design_check> c;
  int no = 0;
  for (const std::string& l : lines) {
    ++no;
    words w;
    std::string ignored;
    if (!c && tokenize(l, &w, &ignored) && w.pos.size() == 3 && w.pos[0] == "APPLICATION")
      c = std::make_unique<design_check>(override_ ? override_ : w.pos[1], w.pos[2], replace_, scope_);
    else if (c) check_line(c.get(), l, no);
  }
  state_ = TOP;
  err_.clear();
  if (!c) return true;
  for (const design_fault& w : c->warnings())
    res_.warnings += name_ + ":" + std::to_string(w.line) + ": warning: " + w.what + "\n";
  std::vector<std::string> faults;
  for (const design_fault& f : c->faults()) faults.push_back(name_ + ":" + std::to_string(f.line) + ": " + f.what);
  return list_faults(faults);
}

// The refusal's lines: the first faults, then how many more there are;
// true when there are none.
bool reader::list_faults(const std::vector<std::string>& faults) {
  constexpr size_t kFaultsListed = 20;
  for (size_t i = 0; i < faults.size() && i < kFaultsListed; ++i) res_.error += (i ? "\n" : "") + faults[i];
  if (faults.size() > kFaultsListed)
    res_.error += "\n" + name_ + ": " + std::to_string(faults.size() - kFaultsListed) + " more faults not listed";
  return faults.empty();
}

bool reader::line(const std::string& l) {
  const bool is_end = l.rfind("END", 0) == 0 && l.find_first_not_of(' ', 3) == std::string::npos;
  if (state_ == IN_STMTS) {
    if (is_end) return state_ = TOP, true;
    if (dry_) return probe_->check_stmt(l) != 0;
    if (!b_->stmt(key_, l)) return false;
    stmt_lines_[b_->last_stmt()] = no_;
    return true;
  }
  words w;
  if (!tokenize(l, &w, &err_)) return false;
  if (w.pos.empty()) return w.attrs.empty() || (err_ = "attributes without a record", false);
  if (state_ == IN_FILE) {
    if (is_end) return state_ = TOP, dry_ ? probe_->check_file(file_) != 0 : b_->file(file_) != 0;
    return file_field(w);
  }
  return record(w);
}

// A FILE's or WORK field's name is the source's only field of that name.
bool reader::first_definition(const std::string& name) {
  const auto [at, first] = defined_.emplace(name, no_);
  if (first) return true;
  return err_ = "field " + name + " is defined at line " + std::to_string(at->second) +
                " already: field names are unique in the application",
         false;
}

// The record kinds a source holds, besides a FILE's fields.
bool record_word(const std::string& word) {
  static const std::set<std::string> kWords = {"APPLICATION", "STAMP",  "FILE",    "WORK",   "TOKEN", "DOMAIN",
                                               "FIELD",       "RECORD", "PROCESS", "FRAME",  "IMAGE", "ROW",
                                               "ITEM",        "CHR",    "CHILD",   "SELECT", "STMTS", "PARAM"};
  return kWords.count(word) != 0;
}

// A field of the open FILE. A record line that does not read as a field
// says that the FILE above lacks its END, once: the lines after it read
// as records again.
bool reader::file_field(const words& w) {
  dd_field f;
  if (!field_line(w, 0, &f, &err_)) {
    if (!record_word(w.pos[0])) return false;
    state_ = TOP;
    return err_ = "FILE " + file_.name + " (line " + std::to_string(file_line_) + ") has no END before this " +
                  w.pos[0] + " line",
           false;
  }
  if (dry_ && f.key_role == 0)
    for (const dd_field& k : file_.fields)
      if (k.key_role == 0)
        return err_ = "field " + f.name + ": key=primary, but " + k.name + " is FILE " + file_.name +
                      "'s primary key already: a FILE has one",
               false;
  if (dry_ && !first_definition(f.name)) return false;
  file_.fields.push_back(f);
  return true;
}

bool reader::record(const words& w) {
  const std::string& kind = w.pos[0];
  if (kind == "APPLICATION") return application(w);
  if (!need_builder()) return false;
  if (kind == "STAMP") return stamp(w);
  if (dry_ && !named_once(w)) return false;
  if (kind == "FILE") {
    file_ = dd_file{};
    state_ = IN_FILE;
    file_line_ = no_;
    return file_header(w, &file_, &err_);
  }
  if (kind == "WORK") return work(w);
  if (kind == "STMTS") return stmts(w);
  if (kind == "DOMAIN" || kind == "FIELD" || kind == "RECORD") return dictionary(w);
  return whole(w);
}

bool reader::application(const words& w) {
  if (w.pos.size() != 3 || w.pos[1].size() != 3 || w.pos[2].size() != 2)
    return err_ = "expected APPLICATION <ap> <ver>", false;
  if (second_pass_) return true;
  if (b_ || (dry_ && probe_)) return err_ = "one APPLICATION per source", false;
  res_.ap = override_ ? override_ : w.pos[1];
  res_.ver = w.pos[2];
  if (dry_) return probe_ = std::make_unique<DesignBuilder>(res_.ap.c_str(), res_.ver.c_str(), scope_), true;
  b_ = std::make_unique<DesignBuilder>(res_.ap.c_str(), res_.ver.c_str(), scope_);
  const int begun = undoable_ ? b_->begin_load(replace_) : !replace_ || b_->scratch_all();
  return begun || (err_ = b_->error(), false);
}

// A number a FILE or WORK names is named once in the source.
bool reader::named_once(const words& w) {
  if (w.pos[0] != "FILE" && w.pos[0] != "WORK") return true;
  for (auto& [n, v] : w.attrs) {
    long number = 0;
    if (n == "number" && to_number(v, 1, 12999999, &number) && !named_.insert(static_cast<uint32_t>(number)).second)
      return err_ = "number " + v + " is named twice in the source", false;
  }
  return true;
}

bool reader::stamp(const words& w) {
  long day = 0, hsec = 0;
  if (w.pos.size() != 3 || !to_number(w.pos[1], 0, 0x7FFFFFFF, &day) || !to_number(w.pos[2], 0, kDayHsec - 1, &hsec))
    return err_ = "expected STAMP <day> <hundredths>", false;
  if (!dry_) b_->set_stamp({static_cast<uint32_t>(day), static_cast<uint32_t>(hsec)});
  return true;
}

bool reader::work(const words& w) {
  dd_field f;
  long area = 0, number = 0;
  for (auto& [n, v] : w.attrs) {
    if (n == "area" && !to_number(v, 0, 12, &area)) return err_ = "bad area " + v, false;
    if (n == "number" && !to_number(v, 1, 12999999, &number)) return err_ = "bad number " + v, false;
  }
  if (!field_line(w, 1, &f, &err_)) return false;
  if (dry_ && !first_definition(f.name)) return false;
  if (dry_) return probe_->check_work(f) != 0;
  return b_->work_field(f, static_cast<uint8_t>(area), static_cast<uint32_t>(number)) != 0;
}

// "a,b": two numbers of a statement key.
bool number_pair(const std::string& v, long hi2, long* a, long* b) {
  const size_t comma = v.find(',');
  return comma != std::string::npos && to_number(v.substr(0, comma), 0, 255, a) &&
         to_number(v.substr(comma + 1), 0, hi2, b);
}

bool reader::stmts(const words& w) {
  key_ = stmt_key{};
  uint8_t k[kStmtSize] = {};
  if (!proc_key(w, 3, k, &err_)) return false;
  key_.proc_type = k[0];
  key_.proc_name = w.pos[2];
  for (auto& [n, v] : w.attrs) {
    long a = 0, c = 0;
    bool ok = false;
    if (n == "ep") ok = to_number(v, 1, 255, &a), key_.ep = static_cast<uint8_t>(a);
    if (n == "image") ok = to_number(v, 0, 255, &a), key_.img_no = static_cast<uint8_t>(a);
    if (n == "frame" && (ok = number_pair(v, 0x7FFFFFFF, &a, &c)))
      key_.frm_part = static_cast<uint8_t>(a), key_.frm_no = static_cast<uint32_t>(c);
    if (n == "child" && (ok = number_pair(v, 0x7FFFFFFF, &a, &c)))
      key_.chld_pos = static_cast<uint8_t>(a), key_.chld_no = static_cast<uint32_t>(c);
    if (!ok) return err_ = "bad statement key " + n + "=" + v, false;
  }
  if (key_.ep == 0) return err_ = "STMTS needs ep=<event point>", false;
  state_ = IN_STMTS;
  if (!dry_) written(key_.proc_type, key_.proc_name, true);
  return true;
}

// Records given whole: key words, then attributes.
struct kind_desc {
  const char* word;
  design_file file;
  size_t key_words;  // including the kind word
  const attr* attrs;
};
const kind_desc kKinds[] = {{"PROCESS", DF_PROCESS, 3, kProcAttrs}, {"FRAME", DF_FRAME, 5, kFrameAttrs},
                            {"IMAGE", DF_IMAGE, 6, kImageAttrs},    {"ROW", DF_ROW, 8, kNoAttrs},
                            {"ITEM", DF_ITEM, 8, kItemAttrs},       {"CHR", DF_CHR, 8, kChrAttrs},
                            {"CHILD", DF_CHILD, 8, kChildAttrs},    {"SELECT", DF_SELECT, 6, kSelectAttrs},
                            {"TOKEN", DF_TOKEN, 4, kNoAttrs},       {"PARAM", DF_PARAM, 1, kParamAttrs}};

// TOKEN <group> <code> <text>: type 0, no character.
bool token_words(const words& w, uint8_t* r, std::string* err) {
  long code = 0;
  if (!to_number(w.pos[2], -2147483647L, 2147483647L, &code)) return *err = "bad code " + w.pos[2], false;
  st_le32(r, 24, static_cast<uint32_t>(code));
  return store(r, 1, 22, TEXT, w.pos[1], err) && store(r, 23, 1, TEXT, "", err) &&
         store(r, 28, 30, TEXT, w.pos[3], err);
}

// A selection statement's or sort line's texts given shorter than their
// slots (@59=FINE) read as blank-padded, as the query's compile and its
// editor read names: the bytes not given are blanks, not zeros.
void pad_select_texts(uint8_t* r) {
  struct slot {
    size_t off, len;
  };
  constexpr slot kStmtTexts[] = {{56, 3}, {59, 22}, {86, 3}, {89, 30}};  // field, and field or constant
  constexpr slot kSortTexts[] = {{56, 3}, {59, 22}};                     // the sort field
  for (const slot& t : r[SL_KIND] == 1 ? std::span<const slot>(kStmtTexts) : std::span<const slot>(kSortTexts))
    for (size_t i = t.off; i < t.off + t.len; ++i)
      if (r[i] == 0) r[i] = ' ';
}

// The key words of a process-side record and the blanks of its texts.
bool key_words(const kind_desc& d, const words& w, uint8_t* r, std::string* err) {
  if (d.file == DF_PARAM) {  // no key: its texts blank, the rest zero
    for (auto& a : kParamAttrs)
      if (a.name) SET_BLANK(r + a.off, a.width);
    return true;
  }
  if (!proc_key(w, d.key_words < 5 ? 3 : 5, r, err)) return false;
  switch (d.file) {
    case DF_PROCESS:
      for (auto& a : kProcAttrs)
        if (a.name && a.kind == TEXT) SET_BLANK(r + a.off, a.width);
      r[PR_ACTIVE] = '1', r[PR_SAVE] = '0', r[PR_ALOG] = '0';
      return true;
    case DF_IMAGE: return store(r, IM_NUMBER, 0, U8, w.pos[5], err);
    case DF_SELECT: return SET_BLANK(r + STMT_BLANK1, 2), store(r, SL_SEQ, 0, U32, w.pos[5], err);
    case DF_CHILD:
      SET_BLANK(r + STMT_BLANK1, 2), SET_BLANK(r + CH_AP, 3), SET_BLANK(r + CH_NAME, 30),
          SET_BLANK(r + CH_RANGE_AP, 33);
      return store(r, IM_NUMBER, 0, U8, w.pos[5], err) && store(r, 37, 0, U8, w.pos[6], err) &&
             store(r, CH_CHILD_NO, 0, U32, w.pos[7], err);
    case DF_ROW:
      SET_BLANK(r + RI_LANG, 3), SET_BLANK(r + RO_TEXT + kRowTextLen, 2);
      return store(r, IM_NUMBER, 0, U8, w.pos[5], err) && store(r, RI_ROW, 0, U32, w.pos[6], err) &&
             store(r, RO_TEXT, kRowTextLen, TEXT, w.pos[7], err);
    case DF_ITEM:
    case DF_CHR:
      SET_BLANK(r + RI_LANG, 3);
      if (d.file == DF_ITEM) SET_BLANK(r + IT_AP, 3 + 22), SET_BLANK(r + IT_ATTR, 6);
      return store(r, IM_NUMBER, 0, U8, w.pos[5], err) && store(r, RI_ROW, 0, U32, w.pos[6], err) &&
             store(r, RI_COL, 0, U32, w.pos[7], err);
    default: return true;
  }
}

bool reader::whole_rec(const words& w, const kind_desc** d, std::vector<uint8_t>* rec) {
  const std::string& kind = w.pos[0];
  *d = nullptr;
  for (auto& k : kKinds)
    if (kind == k.word) *d = &k;
  if (!*d) return err_ = "unknown record kind \"" + kind + "\"", false;
  if (w.pos.size() != (*d)->key_words)
    return err_ = kind + " takes " + std::to_string((*d)->key_words - 1) + " key values", false;
  rec->assign(design_rec_len((*d)->file), 0);
  const bool ok = (*d)->file == DF_TOKEN ? token_words(w, rec->data(), &err_) : key_words(**d, w, rec->data(), &err_);
  if (!ok || !apply_attrs(w, (*d)->attrs, rec->data(), rec->size(), &err_)) return false;
  if ((*d)->file == DF_SELECT) pad_select_texts(rec->data());
  return true;
}

bool reader::whole(const words& w) {
  const kind_desc* d = nullptr;
  std::vector<uint8_t> rec;
  if (!whole_rec(w, &d, &rec) || !(dry_ || b_->put(d->file, rec.data()))) return false;
  if (!dry_ && d->file == DF_PROCESS) written(rec[0], w.pos[2], false);
  return true;
}

// A process the source writes, once: the line of its PROCESS record when
// it has one, else of its first STMTS block.
void reader::written(uint8_t type, const std::string& name, bool stmts) {
  for (written_proc& p : procs_) {
    if (p.type != type || p.name != name) continue;
    if (p.stmts_only && !stmts) p.line = no_, p.stmts_only = false;
    return;
  }
  procs_.push_back({type, name, no_, stmts});
}

// Every process the source writes compiles as the engine will compile it
// when it first runs: false with each compile error at the line of its
// statement (or of its PROCESS), in the compiler's words.
bool reader::compiled() {
  std::vector<std::string> faults;
  for (const written_proc& p : procs_)
    for (const compile_error& e : design_compile(res_.ap, res_.ver, p.type, p.name, p.stmts_only)) {
      const auto at = stmt_lines_.find(e.key);
      faults.push_back(name_ + ":" + std::to_string(at == stmt_lines_.end() ? p.line : at->second) + ": " + e.what);
    }
  return list_faults(faults);
}

// What one line gives the checks: fields, images, items, characteristics
// and statements.
void reader::check_line(design_check* c, const std::string& l, int no) {
  const bool is_end = l.rfind("END", 0) == 0 && l.find_first_not_of(' ', 3) == std::string::npos;
  if (state_ == IN_STMTS) {
    if (is_end) state_ = TOP;
    else c->stmt(l, no);
    return;
  }
  words w;
  if (!tokenize(l, &w, &err_) || w.pos.empty()) return;
  const std::string& kind = w.pos[0];
  dd_field f;
  if (state_ == IN_FILE) {
    if (is_end) state_ = TOP, c->file_end();
    else if (field_line(w, 0, &f, &err_)) c->field(f, no);
    return;
  }
  dd_file file;
  if (kind == "FILE" && file_header(w, &file, &err_)) c->file(file, no);
  if (kind == "FILE") state_ = IN_FILE;
  if (kind == "STMTS" && stmts(w)) c->stmts(key_, no);
  state_ = kind == "STMTS" ? IN_STMTS : state_;
  if (kind == "WORK" && field_line(w, 1, &f, &err_)) c->field(f, no);
  if (kind == "FIELD" && w.pos.size() == 2) c->field_name(w.pos[1]);
  const kind_desc* d = nullptr;
  std::vector<uint8_t> rec;
  if (!std::set<std::string>{"PROCESS", "FRAME", "IMAGE", "ROW", "ITEM", "CHR", "CHILD", "SELECT"}.count(kind) ||
      !whole_rec(w, &d, &rec))
    return;
  if (d->file == DF_PROCESS) c->process(rec.data(), no);
  if (d->file == DF_FRAME) c->frame(rec.data(), no);
  if (d->file == DF_IMAGE) c->image(rec.data(), no);
  if (d->file == DF_ROW) c->row(rec.data(), no);
  if (d->file == DF_ITEM) c->item(rec.data(), no);
  if (d->file == DF_CHR) c->chr(rec.data(), no);
  if (d->file == DF_CHILD) c->child(rec.data(), no);
  if (d->file == DF_SELECT) c->select(rec.data(), no);
}

// A field stored already keeps its two binaries when the source gives
// none: it is still the same element, and the stamps of a second run
// started within the hundredths the first one ran ahead of the clock could
// meet another field's (a unique key of ELEMENT).
bool reader::keep_binaries(uint8_t* fld) {
  ARB* a = b_->handle(DF_FIELD);
  if (!a) return false;
  std::vector<uint8_t> stored(fld, fld + kFieldSize);
  if (dd_read(a, 0, stored.data(), kFieldSize, false)) memcpy(fld + FLD_BINARIES, stored.data() + FLD_BINARIES, 8);
  else if (a->arb_stat != FM_NOT_FOUND) return err_ = "cannot read a FIELD record: " + status_words(a->arb_stat), false;
  return true;
}

// DOMAIN <kind character> <name>, FIELD <name>, RECORD <file>: the record
// given replaces the stored one of its key, with the null date that makes
// the dictionary compiler take it at its next run.
bool reader::dictionary(const words& w) {
  const std::string& kind = w.pos[0];
  const size_t want = kind == "DOMAIN" ? 3 : 2;
  if (w.pos.size() != want) return err_ = kind + " takes " + std::to_string(want - 1) + " key values", false;
  dictionary_ = true;
  dict_rec r;
  const bool built = kind == "DOMAIN" ? domain_rec(w, r) : kind == "FIELD" ? field_rec(w, r) : record_rec(w, r);
  if (!built) return false;
  if (dry_) return true;
  // A dictionary design has all three files, even where one has no record.
  for (design_file d : {DF_DOMAIN, DF_RECORD, DF_FIELD})
    if (!b_->handle(d)) return false;
  return b_->put_design(r.file, r.rec.data(), r.compiled) != 0;
}

// Blanks the text attributes of a new record, so that those not given read as blank.
void blank_texts(std::vector<uint8_t>& rec, const attr* attrs) {
  for (const attr* a = attrs; a->name; ++a)
    if (a->kind == TEXT) SET_BLANK(rec.data() + a->off, a->width);
}

bool reader::domain_rec(const words& w, dict_rec& r) {
  std::vector<uint8_t>& rec = r.rec;
  r.file = DF_DOMAIN;
  rec.assign(kDomRecLen, 0);
  blank_texts(rec, kDomainAttrs);
  rec[DOM_REL] = rec[DOM_REL + 1] = 255;
  rec[DOM_CHAR_FLAG] = '0', rec[DOM_FILL] = ' ', rec[DOM_WORD_FLOW] = '0', rec[DOM_DSPL_CHAR] = ' ';
  if (!store(rec.data(), DOM_KIND, 1, CHAR, w.pos[1], &err_) ||
      !store(rec.data(), DOM_NAME, 22, TEXT, w.pos[2], &err_) ||
      !apply_attrs(w, kDomainAttrs, rec.data(), rec.size(), &err_))
    return false;
  dd_null_date(rec.data() + DOM_STAMP2);
  if (rec[DOM_OWN_KIND] != 0) {
    r.compiled = {{DOM_STAMP2, DOM_STAMP2 + 7}, {DOM_EFF_KIND, DOM_EFF_KIND}};
    return true;
  }
  // A borrowed domain's compile copies its source over all but these.
  std::vector<bool> own(kDomRecLen, false);
  for (auto [a, b] : kBorrowedOwn)
    for (size_t i = a; i <= b; ++i) own[i] = true;
  for (size_t i = 0; i < kDomRecLen; ++i)
    if (!own[i]) r.compiled.emplace_back(i, i);
  return true;
}

bool reader::field_rec(const words& w, dict_rec& r) {
  std::vector<uint8_t>& rec = r.rec;
  r.file = DF_FIELD;
  rec.assign(kFieldSize, 0);
  blank_texts(rec, kFieldAttrs);
  rec[FLD_CLASS] = '0', rec[FLD_KIND] = 1, rec[FLD_DOM_KIND] = ' ';
  rec[ELEM_DSPL_CHAR] = ' ', rec[ELEM_KEY_ORDER] = '+', rec[ELEM_KEY_FLAG] = ' ';
  rec[FLD_KEY_ROLE] = rec[FLD_KEY_NO] = 255;
  rec[FLD_RNG_ABSENT] = rec[FLD_RNG_ABSENT + 1] = 0xFF;
  // Two binaries of its own: the element is found by them after a rename.
  if (!dry_) ss_clock_store(rec.data() + FLD_BINARIES, b_->new_binaries());
  if (!store(rec.data(), FLD_NAME, 22, TEXT, w.pos[1], &err_) ||
      !apply_attrs(w, kFieldAttrs, rec.data(), rec.size(), &err_))
    return false;
  bool binaries = false;
  for (auto& [n, v] : w.attrs) {
    if (n == "low") rec[FLD_RNG_ABSENT] = 0;
    if (n == "high") rec[FLD_RNG_ABSENT + 1] = 0;
    binaries = binaries || n == "binary1" || n == "binary2";
  }
  if (!binaries && !dry_ && !keep_binaries(rec.data())) return false;
  dd_null_date(rec.data() + FLD_STAMP);
  r.compiled = {{FLD_NUMBER, FLD_NUMBER + 3}, {FLD_BINARIES, FLD_STAMP + 7}, {FLD_KEY_NO, FLD_KEY_NO}};
  return true;
}

bool reader::record_rec(const words& w, dict_rec& r) {
  std::vector<uint8_t>& rec = r.rec;
  r.file = DF_RECORD;
  rec.assign(kRecordSize, 0);
  rec[RCD_FS_TYPE] = 1, rec[RCD_ORG] = 3, rec[RCD_ALLOC] = '0', rec[RCD_VAR] = '0';
  SET_BLANK(rec.data() + RCD_CODES, 12);
  if (!store(rec.data(), RCD_NAME, 8, TEXT, w.pos[1], &err_) ||
      !apply_attrs(w, kRecordAttrs, rec.data(), rec.size(), &err_))
    return false;
  // The compile writes the file's numbers and stamps back.
  r.compiled = {{FI_NUMBER, kRecordCopy - 1}};
  return true;
}

}  // namespace

design_source_result design_source_build(const std::string& text, const std::string& name, uint32_t scope,
                                         const char* ap_override, bool replace, bool check, bool undoable) {
  reader r(name, scope, ap_override, replace, check, undoable);
  return r.run(text);
}

std::string design_element_listing(const char* ap, const char* ver, uint32_t scope) {
  DesignBuilder b(ap, ver, scope);
  ARB* a = b.handle(DF_ELEMENT);
  if (!a) return "";
  uint8_t e[kElementSize];
  a->arb_rec = e;
  a->arb_len = kElementSize;
  a->arb_keyno = 0;
  a->arb_key = nullptr;
  a->arb_mod = ARB_FIRST;
  std::string out;
  if (!fm_start(a)) return out;
  a->arb_mod = 0;
  while (fm_rdnxt(a)) {
    char l[128];
    snprintf(l, sizeof l, "%-22.22s %8u %5u %5u %2u %4u\n", reinterpret_cast<char*>(e + ELEM_NAME),
             ld_le32(e, ELEM_NUMBER), ld_le16(e, ELEM_OFFSET), ld_le16(e, ELEM_SIZE), e[ELEM_TYPE],
             ld_le16(e, ELEM_OCCURS));
    out += l;
  }
  return out;
}

}  // namespace kivo

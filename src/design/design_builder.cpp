// The design-record builder: opening the version's design files, numbers
// from the BITMAP, elements with their sizes, masks and stored initial and
// null values, FILE records with their keys, INITIAL chunks, and records
// given whole, statements among them.
//
// Elements follow the dictionary compiler's rules for the sizes of numbers
// and dates; initial and null values go through the typed-value reader, so
// they are exactly what the engine would store for the same text.
#include "design/design_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <unistd.h>

#include "compiler/design_records.h"
#include "compiler/stmt_layout.h"
#include "design/dd.h"
#include "fm/file_rec_view.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "fm/set_aside.h"
#include "fm/struct_file.h"
#include "fm/token_cache.h"
#include "fm/whole_file.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"
#include "foundation/sys_err.h"
#include "foundation/text.h"
#include "types/element.h"
#include "types/num_convert.h"
#include "types/typed_value.h"

namespace kivo {

namespace {

constexpr uint32_t kDesignOpts = LFB_ANY_DIR | LFB_NO_STRUCT_CHK;

using init_fn = void (*)(FDB*, KDB*, SDB*, const char*, const char*);

struct file_desc {
  const char* name;
  size_t len;
  init_fn init;
};
const file_desc kFiles[kDesignFiles] = {
    {"FILE", kFileRecSize, INIT_DFI_FDB},
    {"ELEMENT", kElementSize, INIT_DELEM_FDB},
    {"INITIAL", kInitRecMax, INIT_DINIT_FDB},
    {"BITMAP", kBitmapSize, INIT_DBITMAP_FDB},
    {"TOKEN", 60, INIT_DTOKEN_FDB},
    {"PROCESS", kProcRecSize, INIT_DPROC_FDB},
    {"FRAME", kFrameRecSize, INIT_DFRM_FDB},
    {"IMAGE", kImageRecSize, INIT_DIMG_FDB},
    {"ROW", kRowRecSize, INIT_DROW_FDB},
    {"ITEM", kItemRecSize, INIT_DITM_FDB},
    {"CHR", kChrRecSize, INIT_DCHR_FDB},
    {"CHILD", kChildRecSize, INIT_DCHLD_FDB},
    {"SELECT", kSelectRecSize, INIT_DSLCT_FDB},
    {"STMT", kStmtSize, INIT_DSTMT_FDB},
    {"PARAM", kParamRecSize, INIT_DPARM_FDB},
    {"DOMAIN", kDomRecLen, INIT_DDOM_FDB},
    {"RECORD", kRecordSize, INIT_DREC_FDB},
    {"FIELD", kFieldSize, INIT_DFLD_FDB},
};

// The descriptor of design file `f` of a version, its keys beside it; those
// of "0DN" are memory files. Not copied: the descriptor points at its keys.
struct version_fdb {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  version_fdb(int f, const char* ap, const char* ver) {
    kFiles[f].init(&fdb, kdb, sdb, ap, ver);
    if (memcmp(ap, "0DN", 3) == 0) fdb.fdb_fs_type = FS_MEMORY;
  }
  version_fdb(const version_fdb&) = delete;
  version_fdb& operator=(const version_fdb&) = delete;
};

void put_text(uint8_t* dst, size_t width, const std::string& s) {
  SET_BLANK(dst, width);
  memcpy(dst, s.data(), s.size() < width ? s.size() : width);
}

bool is_date(uint8_t t) { return IS_ELEM_DATE(t); }

// Key segments of all occurrences of a field, as the compiler counts them.
uint32_t segments(const uint8_t* e) {
  return elem_align_class(e[ELEM_TYPE], ld_le16(e, ELEM_SIZE), e[ELEM_LO]) * ld_le16(e, ELEM_OCCURS);
}

// A default display mask: "-" for a sign, 9s for digits and decimals; for
// dates the level tokens from the highest to the lowest level.
std::string default_mask(const dd_field& f) {
  if (f.type == 5 || f.type == 8 || f.type == 12) {
    std::string m = f.is_signed ? "-" : "";
    m.append(f.digits ? f.digits : 1, '9');
    if (f.decimals) m.append(1, '.').append(f.decimals, '9');
    return m;
  }
  if (!is_date(f.type)) return "";
  std::string m;
  for (int l = f.digits; l >= f.decimals && l >= 1; --l) {
    if (!m.empty() && l != 7) m += l == 4 ? " " : l < 4 ? (l == 1 ? "." : ":") : "/";
    m += std::string(2, static_cast<char>('0' + l));
  }
  return m;
}

// Stored size of the field's type, by the dictionary's table; 0 when it
// cannot be told.
uint16_t derived_size(const dd_field& f, const std::string& mask) {
  switch (f.type) {
    case 5: {
      int64_t lo = 0, hi = 0;
      elem_digit_range(f.digits + f.decimals, f.is_signed, &lo, &hi);
      return elem_bin_size(lo, hi, f.is_signed);
    }
    case 8: return elem_pd_size(f.digits, f.decimals);
    case 12: return 9;
    case 11: return 1;
    case 3:
    case 4: return f.size ? f.size : elem_scan_date_mask(mask.data(), std::min(mask.size(), kMaskLen)).positions;
    default: return is_date(f.type) ? elem_date_size(f.type, f.digits, f.decimals, f.size) : f.size;
  }
}

}  // namespace

size_t design_rec_len(design_file f) { return kFiles[f].len; }

std::string status_words(uint32_t status) {
  char text[kMsgTextMax + 1];
  std::string out = "status " + std::to_string(status);
  // 200650 stands for the system error recorded last, which says more.
  const char* recorded = status == MSG_SYS_ERR ? la_sys_err_text() : nullptr;
  if (recorded) return out + " (" + (recorded + 1) + ")";
  if (la_current() && la_get_str(text, sizeof text, status)) out += std::string(" (") + text + ")";
  return out;
}

const char* design_file_name(design_file f) { return kFiles[f].name; }

DesignBuilder::DesignBuilder(const char* ap, const char* ver, uint32_t scope) : scope_(scope) {
  snprintf(ap_, sizeof ap_, "%-3.3s", ap);
  snprintf(ver_, sizeof ver_, "%-2.2s", ver);
  os_kivo_time(&stamp_);
}

int DesignBuilder::fail(const std::string& what) {
  error_ = what;
  return 0;
}

ARB* DesignBuilder::handle(design_file f) {
  if (arb_[f]) return arb_[f];
  version_fdb d(f, ap_, ver_);
  FDB& fdb = d.fdb;
  // Design files need no SYSDIR entry of their own; their structure file
  // is the design dictionary's description, recorded apart.
  int ok = FM_OPEN(&fdb, scope_, kDesignOpts, 0x0f, 0x0f);
  if (!ok) ok = FM_CREATE(&fdb, scope_, 0, kDesignOpts | LFB_OPEN_NEW, 0x0f, 0x0f);
  if (ok && !described_ && !record_structures()) {
    FM_CLOSE(fdb.fdb_arb, 0);
    return nullptr;
  }
  if (!ok) {
    fail(std::string("cannot open or create the ") + kFiles[f].name + " design file of " + ap_ + "/" + ver_ + ": " +
         status_words(fdb.fdb_stat));
    return nullptr;
  }
  return arb_[f] = fdb.fdb_arb;
}

int DesignBuilder::close_all(uint16_t options) {
  int ok = 1;
  for (int f = 0; f < kDesignFiles; ++f) {
    if (!arb_[f]) continue;
    if (!FM_CLOSE(arb_[f], options)) ok = fail(std::string("cannot close the ") + kFiles[f].name + " design file");
    arb_[f] = nullptr;
  }
  return ok;
}

int DesignBuilder::record_structures() {
  for (int f = 0; f < kDesignFiles; ++f) {
    version_fdb d(f, ap_, ver_);
    if (!fm_design_struct(&d.fdb, scope_))
      return fail(std::string("cannot record the structure of the ") + kFiles[f].name + " design file of " + ap_ + "/" +
                  ver_ + ": " + status_words(d.fdb.fdb_stat));
  }
  described_ = true;
  return 1;
}

int DesignBuilder::scratch_all() {
  for (int f = 0; f < kDesignFiles; ++f) {
    version_fdb d(f, ap_, ver_);
    if (!FM_SCRATCH(&d.fdb, kDesignOpts) && d.fdb.fdb_stat != FM_NO_FILE)
      return fail(std::string("cannot remove the ") + kFiles[f].name + " design file: " + status_words(d.fdb.fdb_stat));
  }
  return 1;
}

// ---- a load that can be undone ----

namespace {

// A design file's descriptor under another name of the same directory.
struct named_fdb : version_fdb {
  named_fdb(int f, const char* ap, const char* ver, const std::string& name) : version_fdb(f, ap, ver) {
    memcpy(fdb.path.fdb_name, name.data(), 8);
    fdb.fdb_opt = kDesignOpts;
  }
};

// The name a design file is set aside under: "_" and seven hexadecimal
// digits of this process and a count, so that no two runs meet.
std::string aside_name() {
  static unsigned serial = 0;
  char n[9];
  snprintf(n, sizeof n, "_%07X", static_cast<unsigned>((getpid() * 4099u + ++serial) & 0xFFFFFFF));
  return n;
}

}  // namespace

// Every design file there now opens alone: another process that has one
// open (a session running the application) holds its shared lock. A load
// that adds to them needs each to open; a replace writes a damaged one anew.
int DesignBuilder::in_use_check(bool replace) {
  for (int f = 0; f < kDesignFiles; ++f) {
    version_fdb d(f, ap_, ver_);
    if (FM_OPEN(&d.fdb, scope_, kDesignOpts, 0x01, 0)) {
      FM_CLOSE(d.fdb.fdb_arb, 0);
      continue;
    }
    const uint32_t st = d.fdb.fdb_stat;
    const std::string which = std::string("the ") + kFiles[f].name + " design file of " + ap_ + "/" + ver_;
    if (st == FM_LOCK_REFUSED || st == FM_FILE_OPEN)
      return fail(which + " is in use by another process (a session running the application?): end it and load again");
    if (st != FM_NO_FILE && !replace)
      return fail(which + " does not open: " + status_words(st) + "; a reload (-r) writes it anew");
  }
  return 1;
}

// The folder of the version's design files, each one's name there and the
// name it is set aside under: 1, or 0 with error().
int DesignBuilder::name_files(std::string* dir, std::string* names, std::string* asides) {
  auto split = [&](const std::string& path, std::string* name) {
    const size_t slash = path.rfind('/');
    *name = path.substr(slash + 1);
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
  };
  for (int f = 0; f < kDesignFiles; ++f) {
    version_fdb d(f, ap_, ver_);
    d.fdb.fdb_opt = kDesignOpts;
    named_fdb aside(f, ap_, ver_, aside_name());
    std::string path, aside_path;
    if (!fm_os_name(&d.fdb, &path) || !fm_os_name(&aside.fdb, &aside_path))
      return fail(std::string("the ") + kFiles[f].name + " design file of " + ap_ + "/" + ver_ +
                  " has no name in the file system");
    const std::string in = split(path, &names[f]);
    if (f == 0) *dir = in;
    if (in != *dir || split(aside_path, &asides[f]) != *dir)
      return fail(std::string("the design files of ") + ap_ + "/" + ver_ + " are not in one folder");
  }
  return 1;
}

int DesignBuilder::begin_load(bool replace) {
  if (memcmp(ap_, "0DN", 3) == 0 || memcmp(ap_, "0DO", 3) == 0) return replace ? scratch_all() : 1;
  std::string dir, names[kDesignFiles], asides[kDesignFiles], why;
  if (!name_files(&dir, names, asides)) return 0;
  if (!run_.begin(dir, std::string("the load of ") + ap_ + "/" + ver_, &why)) return fail(why);
  if (!in_use_check(replace)) {
    run_.end();
    return 0;
  }
  std::vector<set_aside_file> plan;
  for (int f = 0; f < kDesignFiles; ++f) {
    version_fdb d(f, ap_, ver_);
    d.fdb.fdb_opt = kDesignOpts;
    existed_[f] = fm_locate(&d.fdb) != 0;
    plan.push_back({names[f], existed_[f] ? asides[f] : ""});
  }
  if (!run_.plan(plan, &why)) {
    run_.end();
    return fail(why);
  }
  loading_ = true;
  for (int f = 0; f < kDesignFiles; ++f) {
    if (!existed_[f]) continue;
    version_fdb d(f, ap_, ver_);
    d.fdb.fdb_opt = kDesignOpts;
    named_fdb aside(f, ap_, ver_, asides[f]);
    if (!fm_replace(&aside.fdb, &d.fdb, 0)) {
      const std::string why = std::string("the ") + kFiles[f].name + " design file of " + ap_ + "/" + ver_ +
                              " cannot be set aside: " + status_words(d.fdb.fdb_stat);
      return undo_load() ? fail(why) : fail(why + "; " + error_);
    }
    aside_[f] = asides[f];
    if (!replace && !copy_back(static_cast<design_file>(f))) {
      const std::string why = error_;
      return undo_load() ? fail(why) : fail(why + "; " + error_);
    }
  }
  return 1;
}

// The records of the file set aside, under the design file's name again.
int DesignBuilder::copy_back(design_file f) {
  named_fdb aside(f, ap_, ver_, aside_[f]);
  if (!FM_OPEN(&aside.fdb, scope_, kDesignOpts, 0x01, 0x0f))
    return fail(std::string("the ") + kFiles[f].name +
                " design file set aside does not open: " + status_words(aside.fdb.fdb_stat));
  ARB* from = aside.fdb.fdb_arb;
  ARB* to = handle(f);
  std::vector<uint8_t> buf(kFiles[f].len);
  int ok = to != nullptr;
  from->arb_keyno = 0, from->arb_key = nullptr, from->arb_mod = ARB_FIRST;
  if (ok && !fm_start(from)) ok = from->arb_stat == FM_EOF;
  for (from->arb_mod = 0; ok;) {
    from->arb_rec = buf.data(), from->arb_len = static_cast<uint16_t>(buf.size()), from->arb_var_len = 0;
    if (!fm_rdnxt(from)) {
      if (from->arb_stat != FM_EOF)
        ok = fail(std::string("cannot read a ") + kFiles[f].name + " record: " + status_words(from->arb_stat));
      break;
    }
    ok = write(f, buf.data(), from->arb_var_len ? from->arb_var_len : buf.size());
  }
  FM_CLOSE(from, 0);
  return ok;
}

int DesignBuilder::undo_load() {
  if (!loading_) return 1;
  loading_ = false;
  close_all();
  std::string lost;
  for (int f = 0; f < kDesignFiles; ++f) {
    version_fdb d(f, ap_, ver_);
    d.fdb.fdb_opt = kDesignOpts;
    if (existed_[f] && aside_[f].empty()) continue;  // not reached before begin_load stopped
    if (aside_[f].empty()) {
      // Made by this load: gone again.
      if (!FM_SCRATCH(&d.fdb, kDesignOpts) && d.fdb.fdb_stat != FM_NO_FILE) lost += std::string(" ") + kFiles[f].name;
      continue;
    }
    named_fdb aside(f, ap_, ver_, aside_[f]);
    if (fm_replace(&d.fdb, &aside.fdb, 0)) aside_[f].clear();
    else lost += std::string(" ") + kFiles[f].name + " (kept as " + aside_[f] + ")";
  }
  if (lost.empty()) {
    run_.end();
    return 1;
  }
  // The record stays: the next process that uses the folder puts them back.
  return fail(std::string("the design files of ") + ap_ + "/" + ver_ + " could not all be put back:" + lost +
              "; the next run that can write them puts them back");
}

int DesignBuilder::keep_load() {
  if (!loading_) return 1;
  loading_ = false;
  // From here a finish of the record removes what is set aside.
  run_.written();
  bool all = true;
  for (int f = 0; f < kDesignFiles; ++f) {
    if (aside_[f].empty()) continue;
    named_fdb aside(f, ap_, ver_, aside_[f]);
    // One left over costs room, never the design; the record keeps it listed.
    all = (FM_SCRATCH(&aside.fdb, kDesignOpts) || aside.fdb.fdb_stat == FM_NO_FILE) && all;
    aside_[f].clear();
  }
  if (all) run_.end();
  return 1;
}

int DesignBuilder::write(design_file f, const uint8_t* rec, size_t len) {
  ARB* a = handle(f);
  if (!a) return 0;
  a->arb_rec = const_cast<uint8_t*>(rec);
  a->arb_len = static_cast<uint16_t>(kFiles[f].len);
  a->arb_var_len = static_cast<uint16_t>(len);
  a->arb_mod = 0;
  const int ok = fm_write(a);
  a->arb_var_len = 0;
  if (!ok) return fail(std::string("cannot write a ") + kFiles[f].name + " record: " + status_words(a->arb_stat));
  return 1;
}

// ---- numbers ----

uint32_t DesignBuilder::bit_search(uint8_t area) {
  ARB* a = handle(DF_BITMAP);
  if (!a) return 0;
  bool full = false;
  const uint32_t seq = bm_take(a, area, &full);
  if (seq) return area * kAreaSpan + seq;
  if (full) return fail("data area " + std::to_string(area) + " has no free number");
  return fail("BITMAP read or write: " + status_words(a->arb_stat));
}

int DesignBuilder::reserve(uint32_t number) {
  if (!bit_mark(number)) return 0;
  reserved_.insert(number);
  return 1;
}

int DesignBuilder::take(uint32_t number) {
  if (reserved_.erase(number)) return 1;
  return bit_mark(number);
}

int DesignBuilder::bit_mark(uint32_t number) {
  const uint32_t area = number / kAreaSpan, seq = number % kAreaSpan;
  if (seq == 0 || area > 12) return fail("number " + std::to_string(number) + " is no area kind 0-12 and sequence");
  ARB* a = handle(DF_BITMAP);
  if (!a) return 0;
  bool was = false;
  if (!bm_set(a, area, seq, true, &was)) return fail("BITMAP write: " + status_words(a->arb_stat));
  if (was) return fail("number " + std::to_string(number) + " is taken already");
  return 1;
}

// ---- elements, files and work fields ----

namespace {

// An element's key role, ranges, type, texts and display format from its
// field definition; mask is the field's mask or its default.
void fill_elem_format(const dd_field& f, const std::string& mask, uint8_t* e) {
  e[ELEM_SPECIAL] = f.special_use;
  e[ELEM_KEY_ROLE] = f.key_role;
  e[ELEM_KEY_NO] = 255;  // set with the key's slot
  // What the compiler takes from a FIELD that names neither, unless the
  // source asks for a descending key or gives the key flag.
  e[ELEM_KEY_ORDER] = f.key_desc ? '-' : '+';
  e[ELEM_KEY_FLAG] = static_cast<uint8_t>(f.key_flag);
  e[ELEM_RNG_ABSENT] = e[ELEM_RNG_ABSENT + 1] = 0xFF;
  SET_BLANK(e + ELEM_RNG_LO, ELEM_CODES + 12 - ELEM_RNG_LO);
  e[ELEM_TYPE] = f.type;
  st_le16(e, ELEM_CODE_LEN, f.code_len);
  put_text(e + ELEM_INIT_TEXT, 60, f.init);
  put_text(e + ELEM_NULL_TEXT, 33, f.null_text);
  put_text(e + ELEM_MASK, kMaskLen, mask);
  put_text(e + ELEM_ALT_MASK, kMaskLen, "");
  e[ELEM_DOM_REL] = e[ELEM_DOM_REL + 1] = 255;
  SET_BLANK(e + ELEM_DOM_RNG1, 60);
  e[ELEM_JUSTIFY] = IS_ELEM_ALP(f.type) ? 1 : 0;
  e[ELEM_CHAR_FLAG] = '0';
  e[ELEM_FILL] = ' ';
  e[ELEM_WORD_FLOW] = '0';
  e[ELEM_SIGNED] = f.is_signed || f.type == 12 ? '1' : '0';
  e[ELEM_HI] = f.type == 12 ? 15 : f.digits;
  e[ELEM_LO] = f.type == 12 ? 15 : f.decimals;
  if (f.xlate) e[ELEM_XLATE] = '1';
}

}  // namespace

uint16_t dd_field_element(const dd_field& f, uint8_t* e) {
  memset(e, 0, kElementSize);
  const std::string mask = f.mask.empty() ? default_mask(f) : f.mask;
  const uint16_t size = derived_size(f, mask);
  if (size == 0) return 0;
  put_text(e + ELEM_NAME, 22, f.name);
  e[ELEM_KIND] = f.group ? 2 : 1;
  put_text(e + ELEM_DOMAIN, 22, f.name);
  st_le16(e, ELEM_SIZE, size);
  st_le16(e, ELEM_OCCURS, f.occurs ? f.occurs : 1);
  fill_elem_format(f, mask, e);
  return size;
}

bool DesignBuilder::element(const dd_field& f, const std::string& file, uint32_t number, uint32_t seq, uint16_t offset,
                            uint8_t* e) {
  if (f.name.empty() || f.name.size() > 22) return fail("field name \"" + f.name + "\" must have 1 to 22 characters");
  if (!dd_field_element(f, e)) return fail("field " + f.name + ": no size for data type " + std::to_string(f.type));
  st_le32(e, ELEM_NUMBER, number);
  e[ELEM_CLASS] = file.empty() ? '1' : '0';
  st_le16(e, ELEM_OFFSET, offset);
  put_text(e + ELEM_FILE, 8, file);
  st_le32(e, ELEM_SEQ, seq);
  ss_clock_store(e + ELEM_STAMP, stamp_);
  ss_clock_store(e + ELEM_BINARIES, new_binaries());  // a unique key of ELEMENT
  e[ELEM_DSPL_CHAR] = ' ';
  put_text(e + ELEM_LABEL, 30, f.name);
  put_text(e + ELEM_HEAD1, 30, "");
  put_text(e + ELEM_HEAD2, 30, f.name);
  return true;
}

int DesignBuilder::file_named(const dd_file& def) {
  if (!def.name.empty() && def.name.size() <= 8) return 1;
  return fail("file name \"" + def.name + "\" must have 1 to 8 characters");
}

uint32_t DesignBuilder::file(const dd_file& def) {
  if (!file_named(def)) return 0;
  const uint32_t number = def.number ? (take(def.number) ? def.number : 0) : bit_search(def.area);
  // The second number is a key of FILE of its own: never shared, never 0.
  const uint32_t number2 = number ? bit_search(static_cast<uint8_t>(number / kAreaSpan)) : 0;
  if (!number2) return 0;
  uint8_t fi[kFileRecSize] = {};
  std::vector<std::vector<uint8_t>> elems;
  std::vector<uint8_t> init, nulls;
  if (!lay_out(def, number, number2, fi, &elems, &init, &nulls)) return 0;
  for (auto& e : elems)
    if (!write(DF_ELEMENT, e.data(), kElementSize)) return 0;
  if (!put_initial(def.name, init, nulls) || !write(DF_FILE, fi, kFileRecSize)) return 0;
  return number;
}

// The FILE record, its elements and its initial and null records, as the
// numbers given make them.
bool DesignBuilder::lay_out(const dd_file& def, uint32_t number, uint32_t number2, uint8_t* fi,
                            std::vector<std::vector<uint8_t>>* elems, std::vector<uint8_t>* init,
                            std::vector<uint8_t>* nulls) {
  put_text(fi + FI_NAME, 8, def.name);
  fi[FI_FS_TYPE] = def.fs_type;
  fi[FI_ORG] = def.org;
  fi[FI_VAR] = def.var ? '1' : '0';
  SET_BLANK(fi + FI_CODES, 12);
  memcpy(fi + FI_CLASS, def.class_bytes, 3);
  st_le32(fi, FI_NUMBER, number);
  st_le32(fi, FI_NUMBER2, number2);
  ss_clock_store(fi + FI_NUM_STAMP, stamp_);
  ss_clock_store(fi + FI_STAMP, stamp_);
  fi[FI_NKEYS] = def.org == 3 ? 1 : 0;
  fi[FI_ALL_SPECIAL] = '0';
  uint32_t end = 0;
  if (!lay_fields(def, number, elems, &end) || !key_slots(def, fi, elems)) return false;
  const uint32_t rec_len = def.rec_len ? def.rec_len : end;
  if (rec_len == 0 || rec_len < end || rec_len > 32767)
    return fail("file " + def.name + ": record length " + std::to_string(rec_len) + " does not hold its fields (" +
                std::to_string(end) + ")");
  st_le16(fi, FI_REC_LEN, static_cast<uint16_t>(rec_len));
  init->assign(rec_len, ' '), nulls->assign(rec_len, ' ');
  return images(*elems, init, nulls);
}

namespace {

// Sets a flag for one call and clears it again, also on an early return.
struct flag_on {
  bool& flag;
  explicit flag_on(bool& f) : flag(f) { flag = true; }
  ~flag_on() { flag = false; }
  flag_on(const flag_on&) = delete;
  flag_on& operator=(const flag_on&) = delete;
};

}  // namespace

int DesignBuilder::check_file(const dd_file& def) {
  std::vector<std::vector<uint8_t>> elems;
  return elements_of(def, &elems);
}

int DesignBuilder::elements_of(const dd_file& def, std::vector<std::vector<uint8_t>>* elems) {
  const flag_on dry(dry_);
  uint8_t fi[kFileRecSize] = {};
  std::vector<uint8_t> init, nulls;
  return file_named(def) && lay_out(def, 0, 0, fi, elems, &init, &nulls) ? 1 : 0;
}

int DesignBuilder::check_work(const dd_field& def) {
  const flag_on dry(dry_);
  uint8_t e[kElementSize];
  return element(def, "", 0, 0, 0, e) ? 1 : 0;
}

// Elements in sequence: offsets run on unless a field names its own; a
// group header lies over the fields that follow it and moves nothing on.
bool DesignBuilder::lay_fields(const dd_file& def, uint32_t number, std::vector<std::vector<uint8_t>>* elems,
                               uint32_t* end) {
  uint32_t at = 0, segno = 1;
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const dd_field& f = def.fields[i];
    std::vector<uint8_t> e(kElementSize);
    const uint32_t off = f.offset >= 0 ? static_cast<uint32_t>(f.offset) : at;
    if (off > 32766) return fail("field " + f.name + ": offset " + std::to_string(off) + " over 32766");
    if (!element(f, def.name, number, static_cast<uint32_t>(i + 1), static_cast<uint16_t>(off), e.data())) return false;
    const uint32_t span = ld_le16(e.data(), ELEM_SIZE) * ld_le16(e.data(), ELEM_OCCURS);
    *end = std::max(*end, off + span);
    if (f.group) continue;
    st_le16(e.data(), ELEM_SEGMENT, static_cast<uint16_t>(segno));
    segno += segments(e.data());
    at = off + span;
    elems->push_back(std::move(e));
  }
  // Group headers: their segment count is that of the fields inside them,
  // and they name the last of those as the compiler's do.
  for (size_t i = 0, k = 0; i < def.fields.size(); ++i) {
    if (!def.fields[i].group) {
      ++k;
      continue;
    }
    std::vector<uint8_t> g(kElementSize);
    const uint32_t off = def.fields[i].offset >= 0 ? static_cast<uint32_t>(def.fields[i].offset) : 0;
    element(def.fields[i], def.name, number, static_cast<uint32_t>(i + 1), static_cast<uint16_t>(off), g.data());
    uint16_t segs = 0;
    for (auto& e : *elems) {
      const uint32_t eo = ld_le16(e.data(), ELEM_OFFSET),
                     es = ld_le16(e.data(), ELEM_SIZE) * ld_le16(e.data(), ELEM_OCCURS);
      if (e[ELEM_KIND] != 1 || eo < off || eo + es > off + def.fields[i].size) continue;
      segs = static_cast<uint16_t>(segs + segments(e.data()));
      memcpy(g.data() + ELEM_DOMAIN, e.data() + ELEM_NAME, 22);
    }
    st_le16(g.data(), ELEM_SEGMENT, segs);
    elems->insert(elems->begin() + static_cast<long>(k++), std::move(g));
  }
  return true;
}

// Key slots and special-use slots of FILE, in field sequence.
bool DesignBuilder::key_slots(const dd_file& def, uint8_t* fi, std::vector<std::vector<uint8_t>>* elems) {
  for (size_t i = 0; i < def.fields.size(); ++i) {
    const dd_field& f = def.fields[i];
    if (f.key_role != 255 && !add_key(fi, f, (*elems)[i].data(), static_cast<uint32_t>(i + 1))) return false;
    if (!f.special_use) continue;
    if (f.special_use > kFileSpecialSlots) return fail("field " + f.name + ": special use over 10");
    st_le32(fi, FI_SPECIAL + 4 * (f.special_use - 1u), static_cast<uint32_t>(i + 1));
  }
  return true;
}

// The initial and null records: every occurrence of every field (group
// headers hold no value of their own).
bool DesignBuilder::images(const std::vector<std::vector<uint8_t>>& elems, std::vector<uint8_t>* init,
                           std::vector<uint8_t>* nulls) {
  for (auto& e : elems) {
    if (e[ELEM_KIND] != 1) continue;
    const uint16_t size = ld_le16(e.data(), ELEM_SIZE), occ = ld_le16(e.data(), ELEM_OCCURS);
    const uint16_t off = ld_le16(e.data(), ELEM_OFFSET);
    std::vector<uint8_t> iv(size), nv(size);
    const uint32_t align = elem_align_class(e[ELEM_TYPE], size, e[ELEM_LO]);
    uint32_t st_init = 0, st_null = 0;
    // A value that does not convert is refused here, even where the
    // dictionary compiler would store the null value and go on.
    if (!elem_null_image(e.data(), align, nv.data(), &st_null) ||
        !elem_init_image(e.data(), align, nullptr, nullptr, iv.data(), &st_init) || st_init)
      return fail("field " + std::string(reinterpret_cast<const char*>(e.data() + ELEM_NAME), 22) +
                  ": value does not convert (" + std::to_string(st_init ? st_init : st_null) + ")");
    for (uint16_t k = 0; k < occ; ++k) {
      memcpy(&(*init)[off + k * size], iv.data(), size);
      memcpy(&(*nulls)[off + k * size], nv.data(), size);
    }
  }
  return true;
}

// The field's key slot: the primary key in slot 0, each alternate key in
// the next slot; a group key has one segment per field inside it.
bool DesignBuilder::add_key(uint8_t* fi, const dd_field& f, uint8_t* elem, uint32_t seq) {
  int slot = 0;
  if (f.key_role == 0 && ld_le32(fi, FI_KEY_SEQ) != 0)
    return fail("field " + f.name + ": key=primary, but the FILE has its primary key already: a FILE has one");
  if (f.key_role != 0) {
    slot = file_rec_view(fi).nkeys();
    if (slot >= kFileMaxKeys) return fail("field " + f.name + ": more than 17 keys");
    fi[FI_NKEYS] = static_cast<uint8_t>(slot + 1);
  }
  const uint32_t len = ld_le16(elem, ELEM_SIZE) * ld_le16(elem, ELEM_OCCURS);
  if (len > 255) return fail("field " + f.name + ": key length " + std::to_string(len) + " over 255");
  fi[FI_KEY_SEGS + slot] = static_cast<uint8_t>(f.group ? ld_le16(elem, ELEM_SEGMENT) : segments(elem));
  st_le16(fi, FI_KEY_LEN + 2 * slot, static_cast<uint16_t>(len));
  st_le32(fi, FI_KEY_SEQ + 4 * slot, seq);
  elem[ELEM_KEY_NO] = static_cast<uint8_t>(slot);
  return true;
}

// Each image in chunks of 1000 bytes numbered from 1, the last holding the
// rest; for each chunk number the initial chunk before the null chunk.
bool DesignBuilder::put_initial(const std::string& name, const std::vector<uint8_t>& init,
                                const std::vector<uint8_t>& nulls) {
  ARB* a = handle(DF_INITIAL);
  if (!a) return false;
  uint8_t key[8];
  put_text(key, 8, name);
  if (!dd_put_initial(a, key, init.data(), nulls.data(), init.size()))
    return fail("cannot write an INITIAL record: " + status_words(a->arb_stat));
  return true;
}

uint32_t DesignBuilder::work_field(const dd_field& def, uint8_t area, uint32_t number) {
  const uint32_t n = number ? (take(number) ? number : 0) : bit_search(area);
  uint8_t e[kElementSize];
  if (!n || !element(def, "", n, 0, 0, e)) return 0;
  return write(DF_ELEMENT, e, kElementSize) ? n : 0;
}

// ---- records given whole ----

namespace {

bool not_after(const ss_clock& a, const ss_clock& b) { return a.day < b.day || (a.day == b.day && a.hsec <= b.hsec); }

// *top raised to the highest pair of binaries at `at` in the records of
// design file `f` of `ap`/`ver`; a file not there holds none.
void raise_to_stored(design_file f, const char* ap, const char* ver, uint32_t scope, size_t at, ss_clock* top) {
  const size_t len = kFiles[f].len;
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  kFiles[f].init(&fdb, kdb, sdb, ap, ver);
  if (memcmp(ap, "0DN", 3) == 0) fdb.fdb_fs_type = FS_MEMORY;
  if (!FM_OPEN(&fdb, scope, kDesignOpts, 0x0f, 0x0f)) return;
  std::vector<std::vector<uint8_t>> recs;
  std::vector<uint8_t> from(len, 0);
  dd_scan(
      fdb.fdb_arb, 0, from.data(), len, [](const uint8_t*, const uint8_t*) { return true; }, &recs);
  FM_CLOSE(fdb.fdb_arb, 0);
  for (auto& r : recs) {
    const ss_clock c{ld_le32(r.data(), at), ld_le32(r.data(), at + 4)};
    if (!not_after(c, *top)) *top = c;
  }
}

}  // namespace

namespace {

ss_clock g_last_unique{};

// Hundredths from `from` to `to` (negative when `to` is earlier).
int64_t hsec_between(const ss_clock& from, const ss_clock& to) {
  return (int64_t(to.day) - int64_t(from.day)) * kDayHsec + int64_t(to.hsec) - int64_t(from.hsec);
}

// A lead this long comes from stored stamps ahead of the clock, not from
// stamps taken in a burst: it is not waited out.
constexpr int64_t kSettleMaxHsec = 1000;

// Stamps taken faster than one a hundredth run ahead of the clock. A process
// that ends while ahead waits here until the clock has passed its last
// stamp, so that one started after it, whose first stamp is the clock,
// never repeats one of them: a data file's structure date equal to the one
// its compile gave before reads as an unchanged layout whatever changed,
// and two processes of one stamp share one module file.
void settle_stamps() {
  for (;;) {
    ss_clock now;
    os_kivo_time(&now);
    const int64_t lead = hsec_between(now, g_last_unique);
    if (lead < 0 || lead > kSettleMaxHsec) return;
    const timespec tick{0, 10 * 1000 * 1000};
    nanosleep(&tick, nullptr);
  }
}

}  // namespace

ss_clock DesignBuilder::next_unique_stamp(ss_clock after) {
  static const bool settled_at_exit = atexit(settle_stamps) == 0;
  (void)settled_at_exit;
  ss_clock c;
  os_kivo_time(&c);
  if (not_after(g_last_unique, after)) g_last_unique = after;
  // Two records built within one hundredth still get distinct stamps.
  if (not_after(c, g_last_unique)) c = ss_clock_add(g_last_unique, 1);
  return g_last_unique = c;
}

int DesignBuilder::restamp_process(const char* ap, const char* ver, const uint8_t* key, uint32_t scope,
                                   uint32_t* stat) {
  version_fdb d(DF_PROCESS, ap, ver);
  if (!FM_OPEN(&d.fdb, scope, kDesignOpts, 0x0f, 0x0f)) {
    *stat = d.fdb.fdb_stat;
    return d.fdb.fdb_stat == FM_NO_FILE;
  }
  ARB* a = d.fdb.fdb_arb;
  uint8_t rec[kProcRecSize] = {};
  memcpy(rec + PR_TYPE, key, PR_ACTIVE);
  int ok = dd_read(a, 0, rec, kProcRecSize, true);
  if (ok) {
    const ss_clock was{ld_le32(rec, PR_STAMP), ld_le32(rec, PR_STAMP + 4)};
    ss_clock_store(rec + PR_STAMP, next_unique_stamp(was));
    ok = dd_rewrite(a, rec, kProcRecSize);
  } else {
    ok = a->arb_stat == FM_NOT_FOUND;
  }
  *stat = a->arb_stat;
  return FM_CLOSE(a, 0) && ok;
}

ss_clock DesignBuilder::new_binaries() {
  if (dry_) return {};  // a check stores nothing
  if (!binaries_read_) {
    raise_to_stored(DF_FIELD, ap_, ver_, scope_, FLD_BINARIES, &binaries_floor_);
    raise_to_stored(DF_ELEMENT, ap_, ver_, scope_, ELEM_BINARIES, &binaries_floor_);
    binaries_read_ = true;
  }
  return next_unique_stamp(binaries_floor_);
}

int DesignBuilder::put(design_file f, uint8_t* rec, size_t len) {
  if (f == DF_PROCESS) ss_clock_store(rec + PR_STAMP, next_unique_stamp());
  return write(f, rec, len ? len : kFiles[f].len);
}

int DesignBuilder::put_design(design_file f, const uint8_t* rec,
                              const std::vector<std::pair<size_t, size_t>>& compiled) {
  ARB* a = handle(f);
  if (!a) return 0;
  const size_t len = kFiles[f].len;
  std::vector<uint8_t> stored(rec, rec + len);
  if (dd_read(a, 0, stored.data(), len, true)) {
    std::vector<uint8_t> now(rec, rec + len);
    for (auto& [from, to] : compiled) memcpy(now.data() + from, stored.data() + from, to - from + 1);
    if (now == stored) return fm_release(a), 1;
    // A RECORD keeps the numbers and stamps its file's compile gave it, so
    // that the file keeps its numbers; a FIELD or DOMAIN is taken as given,
    // its null date asking for the compile.
    if (!dd_rewrite(a, f == DF_RECORD ? now.data() : rec, len))
      return fail(std::string("cannot replace a ") + kFiles[f].name + " record: " + status_words(a->arb_stat));
  } else if (a->arb_stat != FM_NOT_FOUND) {
    return fail(std::string("cannot read a ") + kFiles[f].name + " record: " + status_words(a->arb_stat));
  } else if (!write(f, rec, len)) {
    return 0;
  }
  // A changed field or record of a file makes the file's compile out of date,
  // a changed domain every field that uses it.
  if (f == DF_RECORD) return outdate_file(rec + RCD_NAME);
  if (f == DF_FIELD && rec[FLD_CLASS] != '1') return outdate_file(rec + FLD_FILE);
  if (f == DF_DOMAIN) return outdate_users(rec);
  return 1;
}

int DesignBuilder::outdate_users(const uint8_t* dom) {
  ARB* a = handle(DF_FIELD);
  if (!a) return 0;
  uint8_t from[kFieldSize] = {};
  from[FLD_KIND] = 1;
  memcpy(from + FLD_REF, dom + DOM_NAME, 22);
  std::vector<std::vector<uint8_t>> users;
  dd_scan(
      a, 4, from, kFieldSize,
      [](const uint8_t* r, const uint8_t* f) { return r[FLD_KIND] == 1 && memcmp(r + FLD_REF, f + FLD_REF, 22) == 0; },
      &users);
  for (auto& u : users) {
    if (u[FLD_DOM_KIND] != dom[DOM_KIND]) continue;
    if (u[FLD_CLASS] != '1') {
      if (!outdate_file(u.data() + FLD_FILE)) return 0;
      continue;
    }
    if (!dd_read(a, 0, u.data(), kFieldSize, true)) continue;
    dd_null_date(u.data() + FLD_STAMP);
    if (!dd_rewrite(a, u.data(), kFieldSize))
      return fail("cannot rewrite a FIELD record: " + status_words(a->arb_stat));
  }
  return 1;
}

int DesignBuilder::outdate_file(const uint8_t* name) {
  ARB* a = handle(DF_FILE);
  if (!a) return 0;
  uint8_t fi[kFileRecSize] = {};
  memcpy(fi + FI_NAME, name, 8);
  if (!dd_read(a, 0, fi, kFileRecSize, true)) return 1;  // not compiled yet
  dd_null_date(fi + FI_STAMP);
  if (!dd_rewrite(a, fi, kFileRecSize)) return fail("cannot rewrite a FILE record: " + status_words(a->arb_stat));
  return 1;
}

// A statement as the editor writes a new line, but stamped as a line from
// before stamps existed: the spare bytes blank, no added or changed stamp
// (all 0xFF) and no users, so the editor shows "Added prior to version 2.0".
int DesignBuilder::check_stmt(const std::string& line) {
  uint8_t rec[kStmtSize];
  return read_stmt(line, rec);
}

int DesignBuilder::read_stmt(const std::string& line, uint8_t* rec) {
  memset(rec, ' ', kStmtSize);
  stmt_error err{};
  if (stmt_degen(line.data(), line.size(), rec, &err)) return 1;
  const std::string what = err.length ? "constant or name of " + std::to_string(err.length) +
                                            " characters is longer than its " + std::to_string(err.width) + " columns"
                                      : err.what;
  return fail("column " + std::to_string(err.column) + ": " + what + "\n  " + line);
}

int DesignBuilder::stmt(const stmt_key& k, const std::string& line) {
  uint8_t rec[kStmtSize];
  if (!read_stmt(line, rec)) return 0;
  rec[STMT_PROC_TYPE] = k.proc_type;
  put_text(rec + STMT_PROC_NAME, 30, k.proc_name);
  rec[STMT_FRM_PART] = k.frm_part;
  st_le32(rec, STMT_FRM_NO, k.frm_no);
  rec[STMT_IMG_NO] = k.img_no;
  rec[STMT_CHLD_POS] = k.chld_pos;
  SET_BLANK(rec + STMT_BLANK1, 2);
  st_le32(rec, STMT_CHLD_NO, k.chld_no);
  rec[STMT_EP] = k.ep;
  SET_BLANK(rec + STMT_BLANK2, 3);
  memset(rec + STMT_SPARE, ' ', 4), memset(rec + STMT_SPARE3, ' ', 2);
  memset(rec + STMT_ADD_STAMP, kStmtNoStamp, 16);
  memset(rec + STMT_ADD_USER, ' ', 6);
  stmt_count& c = seq_[std::string(reinterpret_cast<char*>(rec), kStmtKeyPrefix)];
  c.seq = stmt_seq(++c.lines, c.seq);
  st_le32(rec, STMT_SEQ, c.seq);
  last_stmt_.assign(reinterpret_cast<char*>(rec), STMT_SEQ + 4);
  return write(DF_STMT, rec, kStmtSize);
}

}  // namespace kivo

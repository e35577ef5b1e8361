// Whole files carried to their portable form and back: data files with
// their structure, design files, the import modes, damaged portable files,
// the pieces of long records and the messages of a run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "../fixtures/hook_override.h"
#include "../fixtures/kivo_fixture.h"
#include "../screen/term_harness.h"
#include "compiler/compiler.h"
#include "compiler/design_records.h"
#include "compiler/em_access.h"
#include "compiler/pc_cmpl.h"
#include "compiler/pcb.h"
#include "compiler/stmt_layout.h"
#include "dd_test_util.h"
#include "design/dd.h"
#include "design/mu_internal.h"
#include "fm/fm_switch.h"
#include "fm/struct_file.h"
#include "fm/whole_file.h"
#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/maddr.h"
#include "interp/interp.h"
#include "types/element.h"
#include "types/pd.h"

namespace kivo::test {
namespace {

using recs = std::vector<std::vector<uint8_t>>;

const char* const kSource = R"(APPLICATION APP 01
STAMP 9000 100
FILE DATA
  ID      A8    key=primary
  NAME    A12   key=1 order=- key_flag=1
  AMT     P7.2  init="12.50"
  CNT     B5S
  QTY     B3
  FLAG    L
  VAR     V
  DTXT    D4:8-5
  DBIN    D7:8-1
  DPCK    D10:8-5
  DUNI    D15:8-1
  LIST    A4    occurs=3
END
FILE BIG
  BID     A8    key=primary
  BODY    A1941
END
)";

class MigrationFiles : public DictFiles {
 protected:
  void SetUp() override {
    DictFiles::SetUp();
    hooks_.set(fms_select.get_ddb, [](const char*) -> const uint8_t* {
      static uint8_t db[512];
      memset(db, ' ', sizeof db);
      return db;
    });
    build(kSource, "APP");
    ASSERT_EQ(mu_init(), 1);
    add_messages();
  }
  void TearDown() override {
    mu_forget();
    DictFiles::TearDown();
  }

  static FDB_PATH data_path(const char* name) {
    FDB_PATH p{};
    char n[9];
    snprintf(n, sizeof n, "%-8s", name);
    INIT_DB_PATH(&p, "DB1", "APP", "01", n, PATH_DATA);
    return p;
  }
  static FDB_PATH design_path(const char* name) {
    FDB_PATH p{};
    char n[9];
    snprintf(n, sizeof n, "%-8s", name);
    INIT_SRC_PATH(&p, "APP", "01", n, PATH_DATA);
    return p;
  }

  // The data file made through the descriptor of its FILE design record,
  // with its STRUCT file; null when it is not made.
  ARB* create_data(const char* name) {
    FDB f;
    KDB k[kFileMaxKeys];
    SDB s[kMuMaxSegs];
    if (!mu_bld_native_fdb(&f, k, s, data_path(name), 1, m1_, m2_)) return ADD_FAILURE() << f.fdb_stat, nullptr;
    if (FM_CREATE(&f, com.sys_scope, 0, LFB_OPEN_NEW | LFB_ANY_DIR, 15, 15)) return f.fdb_arb;
    ADD_FAILURE() << "create " << name << ": " << f.fdb_stat << " " << f.fdb_stat2;
    return nullptr;
  }
  ARB* open_native(const FDB_PATH& p) {
    static FDB f;
    static KDB k[kFileMaxKeys];
    static SDB s[kMuMaxSegs];
    if (!mu_bld_native_fdb(&f, k, s, p, 2, m1_, m2_)) return nullptr;
    last_rec_len_ = f.fdb_rec_len;
    return FM_OPEN(&f, com.sys_scope, LFB_ANY_DIR | (is_ap(p, "0AD") ? uint32_t{LFB_NO_STRUCT_CHK} : 0u), 15, 15)
               ? f.fdb_arb
               : nullptr;
  }
  // Every record in the order of key `keyno`.
  static recs read_all(ARB* a, uint8_t keyno = 0, size_t rec_len = kNativeBufSize) {
    recs out;
    std::vector<uint8_t> buf(kNativeBufSize);
    a->arb_keyno = keyno, a->arb_key = nullptr, a->arb_rec = buf.data(), a->arb_mod = ARB_FIRST;
    if (!fm_start(a)) return out;
    for (;;) {
      a->arb_rec = buf.data(), a->arb_len = static_cast<uint16_t>(rec_len), a->arb_var_len = 0, a->arb_mod = 0;
      if (!fm_rdnxt(a)) break;
      const size_t n = a->arb_var_len ? a->arb_var_len : rec_len;
      out.emplace_back(buf.begin(), buf.begin() + static_cast<long>(n));
    }
    return out;
  }
  recs native_records(const FDB_PATH& p, uint8_t keyno = 0) {
    ARB* a = open_native(p);
    if (!a) return {};
    recs r = read_all(a, keyno, last_rec_len_);
    FM_CLOSE(a, 0);
    return r;
  }
  std::string struct_bytes(const char* name) const {
    std::ifstream in(data_ + "/DB1/APP/Struct/" + name + ".dat", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // The pieces of the portable file of `p`.
  std::vector<std::string> pieces(const FDB_PATH& p) {
    FDB f;
    port_fdb(p, &f);
    std::vector<std::string> out;
    if (!FM_OPEN(&f, com.sys_scope, LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 15, 15)) return out;
    char buf[kPortPiece];
    for (;;) {
      ARB* a = f.fdb_arb;
      a->arb_rec = reinterpret_cast<uint8_t*>(buf), a->arb_len = kPortPiece, a->arb_var_len = 0, a->arb_mod = 0;
      if (!fm_rdnxt(a)) break;
      out.emplace_back(buf, a->arb_var_len ? a->arb_var_len : kPortPiece);
    }
    FM_CLOSE(f.fdb_arb, 0);
    return out;
  }
  void write_pieces(const FDB_PATH& p, const std::vector<std::string>& ps) {
    FDB f;
    port_fdb(p, &f);
    FM_SCRATCH(&f, LFB_ANY_DIR | LFB_NO_STRUCT_CHK);
    port_fdb(p, &f);
    ASSERT_EQ(FM_CREATE(&f, com.sys_scope, 0, LFB_OPEN_NEW | LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 15, 15), 1);
    for (auto& s : ps) {
      f.fdb_arb->arb_rec = reinterpret_cast<uint8_t*>(const_cast<char*>(s.data()));
      f.fdb_arb->arb_var_len = static_cast<uint16_t>(s.size());
      ASSERT_EQ(fm_write(f.fdb_arb), 1);
    }
    FM_CLOSE(f.fdb_arb, 0);
  }

  int xlate(const FDB_PATH& p, uint8_t dir, uint8_t mode, char flag) {
    uint8_t req[kMuReqSize] = {}, stored[kFdbStoredSize];
    fdb_path_store(p, stored);
    memcpy(req, stored, kMuPathSize);
    req[MU_DIR] = dir, req[MU_MODE] = mode, req[MU_STRUCT] = static_cast<uint8_t>(flag);
    return mu_xlate(nullptr, req, m1_, m2_);
  }

  // Offset and size of each field of a file by name.
  std::map<std::string, std::pair<uint16_t, uint16_t>> fields(const char* file) {
    recs elems;
    EXPECT_EQ(open_struct_fi(data_path(file), 1, m1_, m2_, &elems), 1);
    std::map<std::string, std::pair<uint16_t, uint16_t>> out;
    for (auto& e : elems) {
      std::string n(reinterpret_cast<char*>(e.data() + ELEM_NAME), 22);
      n.erase(n.find_last_not_of(' ') + 1);
      out[n] = {ld_le16(e.data(), ELEM_OFFSET), ld_le16(e.data(), ELEM_SIZE)};
    }
    return out;
  }
  // Record i of DATA: the STRUCT file's initial image with its fields set.
  std::vector<uint8_t> data_record(int i, const std::vector<uint8_t>& init) {
    auto f = fields("DATA");
    std::vector<uint8_t> r = init;
    auto text = [&](const char* name, const std::string& t) {
      memcpy(r.data() + f[name].first, t.data(), std::min<size_t>(t.size(), f[name].second));
    };
    char b[32];
    snprintf(b, sizeof b, "R%07d", i), text("ID", b);
    snprintf(b, sizeof b, "NAME %-7d", i % 3), text("NAME", b);
    st_le32(r.data(), f["CNT"].first, static_cast<uint32_t>(-1000 * i - 7));
    r[f["QTY"].first] = static_cast<uint8_t>(i * 37);
    r[f["FLAG"].first] = i & 1 ? '1' : '0';
    uint8_t* amt = r.data() + f["AMT"].first;  // 9 digits: 0001234i5 and the sign
    memset(amt, 0, f["AMT"].second);
    amt[f["AMT"].second - 3] = 0x12, amt[f["AMT"].second - 2] = static_cast<uint8_t>(0x30 | (i % 10));
    amt[f["AMT"].second - 1] = static_cast<uint8_t>(0x50 | (i & 1 ? pd_neg_sign() : pd_pos_sign()));
    uint8_t* v = r.data() + f["VAR"].first;
    memset(v, 0, f["VAR"].second);
    v[6] = static_cast<uint8_t>(0x10 * (i % 10) + 1), v[7] = static_cast<uint8_t>(0x20 | pd_pos_sign()), v[8] = 3;
    snprintf(b, sizeof b, "2026/%02d/%02d", i % 3 + 10, i % 19 + 10), text("DTXT", b);  // no padding to canonise
    snprintf(b, sizeof b, "20260102%02d304500", i % 24), text("DUNI", b);
    text("LIST", "ABCDEFGHIJKL");
    return r;
  }
  // Texts "text <number>" for the statuses a run files.
  static void add_messages() {
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    INIT_DMSG_FDB(&f, k, s, "00");
    ASSERT_EQ(FM_OPEN(&f, com.sys_scope, kAnyFile, 15, 15), 1);
    for (uint32_t number : {200160u, 200170u, 200260u, 200300u, 200340u, 200430u, 200590u, 200640u}) {
      uint8_t rec[kMsgRecMax] = {};
      st_le32(rec, MSG_NUMBER, number);
      st_le16(rec, MSG_CLASS, 2);
      const std::string text = "text " + std::to_string(number);
      memcpy(rec + MSG_TEXT, text.data(), text.size());
      f.fdb_arb->arb_rec = rec;
      f.fdb_arb->arb_var_len = static_cast<uint16_t>(MSG_TEXT + text.size());
      ASSERT_EQ(fm_write(f.fdb_arb), 1);
    }
    FM_CLOSE(f.fdb_arb, 0);
  }
  size_t last_rec_len_ = 0;
  // The run's messages: file and text, in order.
  std::string findings() const {
    std::string out;
    for (auto& m : messages()) out += m.file + ":" + m.text + " ";
    return out;
  }
};

// Where two records differ: "at <offset>: <byte> <byte>", or "".
std::string diff(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size()) return "length " + std::to_string(a.size()) + " " + std::to_string(b.size());
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return "at " + std::to_string(i) + ": " + std::to_string(a[i]) + " " + std::to_string(b[i]);
  return "";
}

// Where the keys of two descriptors differ: "key <k>" or "key <k> segment
// <s>", or "" when they are one.
std::string keys_diff(const KDB* a, const KDB* b, int nkeys) {
  for (int k = 0; k < nkeys; ++k) {
    uint8_t x[kKdbStoredSize], y[kKdbStoredSize];
    kdb_store(a[k], x), kdb_store(b[k], y);
    if (memcmp(x, y, sizeof x) || a[k].kdb_nsegs != b[k].kdb_nsegs) return "key " + std::to_string(k);
    for (int s = 0; s < a[k].kdb_nsegs; ++s) {
      uint8_t c[kSdbStoredSize], d[kSdbStoredSize];
      sdb_store(a[k].kdb_sdb[s], c), sdb_store(b[k].kdb_sdb[s], d);
      if (memcmp(c, d, sizeof c)) return "key " + std::to_string(k) + " segment " + std::to_string(s);
    }
  }
  return "";
}

// The STRUCT file's record `n` (from 1), or empty.
std::vector<uint8_t> struct_rec(const std::string& bytes, size_t n) {
  if (bytes.size() < n * kStructFileRecLen) return {};
  return std::vector<uint8_t>(bytes.begin() + static_cast<long>((n - 1) * kStructFileRecLen),
                              bytes.begin() + static_cast<long>(n * kStructFileRecLen));
}

// A fixture with DATA made and `n` records written; the records read back.
class Migration : public MigrationFiles {
 protected:
  recs make(int n) {
    ARB* a = create_data("DATA");
    EXPECT_NE(a, nullptr);
    if (!a) return {};
    FM_CLOSE(a, 0);
    const std::string st = struct_bytes("DATA");
    rec_len_ = ld_le16(struct_rec(st, 2).data(), FI_REC_LEN);
    init_ = struct_rec(st, 3);
    init_.erase(init_.begin(), init_.begin() + INIT_DATA);
    init_.resize(rec_len_);
    put(0, n);
    return native_records(data_path("DATA"));
  }
  void put(int from, int to) {
    ARB* a = open_native(data_path("DATA"));
    ASSERT_NE(a, nullptr);
    for (int i = from; i < to; ++i) {
      std::vector<uint8_t> r = data_record(i, init_);
      a->arb_rec = r.data(), a->arb_len = rec_len_, a->arb_var_len = rec_len_, a->arb_mod = 0;
      ASSERT_EQ(fm_write(a), 1) << i;
    }
    FM_CLOSE(a, 0);
  }
  // Removes records from..to-1 and changes record 0's name.
  void change() {
    ARB* a = open_native(data_path("DATA"));
    ASSERT_NE(a, nullptr);
    recs all = read_all(a, 0, rec_len_);
    for (auto& r : all) {
      const int i = std::stoi(std::string(r.begin() + 1, r.begin() + 8));
      PROTO_FULL(a, 0, r.data());
      a->arb_len = rec_len_, a->arb_mod = ARB_EQUAL | ARB_HOLD;
      ASSERT_EQ(fm_read(a), 1);
      a->arb_mod = 0;
      if (i >= 5) {
        ASSERT_EQ(fm_del(a), 1);
      } else if (i == 0) {
        memcpy(r.data() + 8, "CHANGED     ", 12);
        a->arb_rec = r.data();
        ASSERT_EQ(fm_rewrite(a), 1);
      } else {
        fm_release(a);
      }
    }
    FM_CLOSE(a, 0);
  }
  uint16_t rec_len_ = 0;
  std::vector<uint8_t> init_;
};

TEST_F(Migration, ADataFileWithEveryFieldTypeComesBackWithItsStructure) {
  const recs before = make(25);
  ASSERT_EQ(before.size(), 25u);
  const std::string struct_before = struct_bytes("DATA");
  const uint16_t rec_len = rec_len_;
  ASSERT_EQ(xlate(data_path("DATA"), 0, 0, '1'), 1);
  EXPECT_TRUE(captured_errors().empty()) << captured_errors().front();
  // Gone, and made again from the portable file alone.
  FDB gone;
  INIT_FDB(&gone, FS_DISK, rec_len, 0, nullptr, 0);
  gone.path = data_path("DATA");
  ASSERT_EQ(FM_SCRATCH(&gone, LFB_ANY_DIR | LFB_NO_STRUCT_CHK | LFB_FORCE), 1);
  gone.path.fdb_class = PATH_STRUCT;
  FM_SCRATCH(&gone, LFB_ANY_DIR | LFB_NO_STRUCT_CHK | LFB_FORCE);
  ASSERT_TRUE(struct_bytes("DATA").empty());
  ASSERT_EQ(xlate(data_path("DATA"), MU_TO_NATIVE, MU_REPLACE, '0'), 1);
  EXPECT_EQ(findings(), "");
  EXPECT_TRUE(captured_errors().empty()) << captured_errors().front();
  EXPECT_TRUE(struct_bytes("DATA") == struct_before) << struct_bytes("DATA").size();
  const recs after = native_records(data_path("DATA"));
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) EXPECT_EQ(diff(after[i], before[i]), "") << "record " << i;
  // The descending alternate key orders the names from the highest.
  const recs by_name = native_records(data_path("DATA"), 1);
  ASSERT_EQ(by_name.size(), 25u);
  EXPECT_EQ(by_name.front()[8 + 5], '2');
  EXPECT_EQ(by_name.back()[8 + 5], '0');
}

TEST_F(Migration, ModesAddRewriteStopAndReplace) {
  const recs exported = make(10);
  ASSERT_EQ(exported.size(), 10u);
  // With its structure: the adding modes read past the section, the replace rebuilds it.
  ASSERT_EQ(xlate(data_path("DATA"), 0, 0, '1'), 1);
  const std::string struct_before = struct_bytes("DATA");
  struct {
    uint8_t mode;
    int result;
    size_t count;
    bool first_changed;
  } cases[] = {{MU_ADD_REWRITE, 1, 10, false}, {MU_ADD_STOP, 0, 5, true}, {MU_REPLACE, 1, 10, false}};
  for (auto& c : cases) {
    change();
    ASSERT_EQ(native_records(data_path("DATA")).size(), 5u);
    captured_errors().clear();
    EXPECT_EQ(xlate(data_path("DATA"), MU_TO_NATIVE, c.mode, '0'), c.result) << int{c.mode};
    captured_errors().clear();
    const recs now = native_records(data_path("DATA"));
    EXPECT_EQ(now.size(), c.count) << int{c.mode};
    ASSERT_FALSE(now.empty());
    EXPECT_EQ(memcmp(now[0].data() + 8, "CHANGED", 7) == 0, c.first_changed) << int{c.mode};
    if (c.count == 10) {
      EXPECT_TRUE(now == exported) << int{c.mode};
    }
    EXPECT_TRUE(struct_bytes("DATA") == struct_before) << int{c.mode};
  }
}

TEST_F(Migration, AMissingOrDamagedPortableFileLeavesTheNativeFileAsItWas) {
  const recs before = make(6);
  ASSERT_EQ(xlate(data_path("DATA"), 0, 0, '1'), 1);
  const std::vector<std::string> good = pieces(data_path("DATA"));
  const std::string struct_before = struct_bytes("DATA");
  change();
  const recs changed = native_records(data_path("DATA"));
  // The portable file without its last record's end, with a field that does
  // not convert, and without the file.
  std::vector<std::string> cut = good, bad = good;
  cut.back().resize(cut.back().size() / 2);
  port_map m;
  ARB* t = fill_tme_fi(data_path("DATA"), m1_, m2_, &m);
  ASSERT_NE(t, nullptr);
  close_tme_fi(t);
  ASSERT_EQ(m.common[7].kind, date_kind_of(4));  // DTXT
  // A universal date (data type 15) is carried as its sixteen characters.
  EXPECT_EQ(m.common[10].kind, PK_BYTES);
  EXPECT_EQ(m.common[10].port_len, 16);
  bad[bad.size() - 2].replace(m.common[7].port_off, 8, "20261399");
  struct {
    const char* what;
    std::vector<std::string> file;
    int result;
  } cases[] = {{"cut", cut, 0}, {"bad field", bad, 0}, {"missing", {}, 1}};
  for (auto& c : cases) {
    if (c.file.empty()) {
      FDB f;
      port_fdb(data_path("DATA"), &f);
      ASSERT_EQ(FM_SCRATCH(&f, LFB_ANY_DIR | LFB_NO_STRUCT_CHK), 1);
    } else {
      write_pieces(data_path("DATA"), c.file);
    }
    EXPECT_EQ(xlate(data_path("DATA"), MU_TO_NATIVE, MU_REPLACE, '0'), c.result) << c.what;
    captured_errors().clear();
    EXPECT_TRUE(native_records(data_path("DATA")) == changed) << c.what;
    EXPECT_TRUE(struct_bytes("DATA") == struct_before) << c.what;
    for (auto& e : std::filesystem::recursive_directory_iterator(data_))
      EXPECT_NE(e.path().filename().string()[0], '_') << c.what << " left " << e.path();
  }
  write_pieces(data_path("DATA"), good);
  EXPECT_EQ(xlate(data_path("DATA"), MU_TO_NATIVE, MU_REPLACE, '0'), 1);
  EXPECT_TRUE(native_records(data_path("DATA")) == before);
}

TEST_F(Migration, ALongRecordIsStoredInPiecesOf900) {
  ARB* a = create_data("BIG");
  ASSERT_NE(a, nullptr);
  std::vector<uint8_t> r(1949);
  for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<uint8_t>('A' + i % 26);
  a->arb_rec = r.data(), a->arb_len = 1949, a->arb_var_len = 1949, a->arb_mod = 0;
  ASSERT_EQ(fm_write(a), 1);
  FM_CLOSE(a, 0);
  ASSERT_EQ(xlate(data_path("BIG"), 0, 0, '0'), 1);
  const std::vector<std::string> p = pieces(data_path("BIG"));
  ASSERT_EQ(p.size(), 4u);
  EXPECT_EQ(p[0], "0 BIG      001950+");
  EXPECT_EQ(p[1].size(), 900u);
  EXPECT_EQ(p[2].size(), 900u);
  EXPECT_EQ(p[3].size(), 150u);
  EXPECT_EQ(p[1].substr(0, 10), "ABCDEFGH I");
  ASSERT_EQ(xlate(data_path("BIG"), MU_TO_NATIVE, MU_REPLACE, '0'), 1);
  const recs back = native_records(data_path("BIG"));
  ASSERT_EQ(back.size(), 1u);
  EXPECT_TRUE(back[0] == r);
}

TEST_F(Migration, BothDescriptorsOfAFileAreOne) {
  make(3);
  FDB f1, f2;
  KDB k1[kFileMaxKeys], k2[kFileMaxKeys];
  SDB s1[kMuMaxSegs], s2[kMuMaxSegs];
  ASSERT_EQ(mu_bld_native_fdb(&f1, k1, s1, data_path("DATA"), 1, m1_, m2_), 1);
  ASSERT_EQ(mu_bld_native_fdb(&f2, k2, s2, data_path("DATA"), 2, m1_, m2_), 1);
  uint8_t a[kFdbStoredSize], b[kFdbStoredSize];
  fdb_store(f1, a), fdb_store(f2, b);
  EXPECT_EQ(memcmp(a, b, sizeof a), 0);
  ASSERT_EQ(f1.fdb_nkeys, 2);
  // The primary key ascending and unique, the name key descending with duplicates.
  EXPECT_EQ(k1[0].kdb_order, '+');
  EXPECT_EQ(k1[0].kdb_flags & KDB_DUP, 0);
  EXPECT_EQ(k1[1].kdb_order, '-');
  EXPECT_EQ(k1[1].kdb_flags & KDB_DUP, KDB_DUP);
  EXPECT_EQ(keys_diff(k1, k2, 2), "");
}

TEST_F(Migration, StatementsOfEveryVerbComeBackByteForByte) {
  FDB f;
  KDB k[kInitMaxKeys];
  SDB sd[kInitMaxSegs];
  INIT_DSTMT_FDB(&f, k, sd, "APP", "01");
  ASSERT_EQ(FM_CREATE(&f, com.sys_scope, 0, LFB_OPEN_NEW | kAnyFile, 15, 15), 1);
  recs written;
  for (uint16_t v = 0; v < kVerbCount; ++v) {
    std::vector<uint8_t> r(kStmtSize, ' ');
    r[STMT_PROC_TYPE] = 2;
    memcpy(r.data() + STMT_PROC_NAME, "EVERY VERB", 10);
    r[STMT_FRM_PART] = 0, st_le32(r.data(), STMT_FRM_NO, 0), r[STMT_IMG_NO] = 0, r[STMT_CHLD_POS] = 0;
    st_le32(r.data(), STMT_CHLD_NO, 0);
    r[STMT_EP] = 21;
    st_le32(r.data(), STMT_SEQ, 100u * (v + 1));
    memset(r.data() + STMT_SPARE, 0, 4);
    dd_now(r.data() + STMT_ADD_STAMP);
    if (v % 2) dd_now(r.data() + STMT_CHG_STAMP);
    else memset(r.data() + STMT_CHG_STAMP, 0, 8);
    memcpy(r.data() + STMT_ADD_USER, "ABCDEF", 6);
    memcpy(r.data() + STMT_PREFIX, "T    ", 5);
    st_le16(r.data(), STMT_VERB, v);
    memset(r.data() + STMT_SPARE3, 0, 2);
    for (const xme_stmt* x = xme_stmt_desc[v]; x->rec_len || x->scr_width || x->type; ++x) {
      uint8_t* o = r.data() + STMT_OPND + x->rec_off;
      if (!x->rec_len || x->type == XT_FILLER) continue;
      switch (x->type) {
        case XT_OCC:
        case XT_OCC2:
        case XT_NUMBER:
        case XT_LOOP_INDEX:
        case XT_LOOP_BOUND: {
          const uint16_t kind = static_cast<uint16_t>((v + x->rec_off) % 4);
          st_le16(o, 2, kind);
          st_le16(o, 0, kind == 0 ? static_cast<uint16_t>(v * 7 - 300) : kind == 1 ? 'I' | ('3' << 8) : 0);
          break;
        }
        case XT_YN: o[0] = v % 2 ? '1' : '0'; break;
        default:
          if (x->rec_len == 1) o[0] = static_cast<uint8_t>(v % 10);
          else
            for (int i = 0; i < x->rec_len; ++i) o[i] = static_cast<uint8_t>('A' + (v + i) % 26);
      }
    }
    f.fdb_arb->arb_rec = r.data(), f.fdb_arb->arb_var_len = kStmtSize, f.fdb_arb->arb_mod = 0;
    ASSERT_EQ(fm_write(f.fdb_arb), 1) << v;
    written.push_back(r);
  }
  FM_CLOSE(f.fdb_arb, 0);
  const FDB_PATH p = design_path("STMT");
  ASSERT_EQ(xlate(p, 0, 0, '0'), 1);
  EXPECT_TRUE(captured_errors().empty()) << captured_errors().front();
  ASSERT_EQ(xlate(p, MU_TO_NATIVE, MU_REPLACE, '0'), 1);
  EXPECT_TRUE(captured_errors().empty()) << captured_errors().front();
  const recs back = native_records(p);
  ASSERT_EQ(back.size(), written.size());
  for (size_t i = 0; i < back.size(); ++i) EXPECT_EQ(diff(back[i], written[i]), "") << "verb " << i;
}

TEST_F(Migration, TheElementAndFileDesignFilesComeBackByteForByte) {
  for (const char* name : {"ELEMENT", "FILE"}) {
    const FDB_PATH p = design_path(name);
    const recs before = native_records(p);
    ASSERT_GT(before.size(), 1u) << name;
    ASSERT_EQ(xlate(p, 0, 0, '0'), 1) << name;
    ASSERT_EQ(xlate(p, MU_TO_NATIVE, MU_REPLACE, '0'), 1) << name;
    EXPECT_TRUE(captured_errors().empty()) << captured_errors().front();
    const recs after = native_records(p);
    ASSERT_EQ(after.size(), before.size()) << name;
    for (size_t i = 0; i < after.size(); ++i) EXPECT_EQ(diff(after[i], before[i]), "") << name << " " << i;
  }
}

TEST_F(Migration, FindingsAreFiledUnderTheFilesApplicationAndVersion) {
  // A data file that is not there, and a design file of "0AD" filed under
  // the application it belongs to.
  EXPECT_EQ(xlate(data_path("NODATA"), 0, 0, '0'), 1);
  EXPECT_EQ(xlate(design_path("NOSUCH"), 0, 0, '0'), 1);
  EXPECT_EQ(summary("NODATA").first, 1);
  EXPECT_EQ(summary("NOSUCH").first, 1);
  EXPECT_EQ(findings(), "NODATA  :ERROR - text 200640 NOSUCH  :ERROR - text 200640 ");
  captured_errors().clear();
}

// The portable file as lines, one per piece, bytes outside printable text
// as \xHH.
std::string golden_text(const std::vector<std::string>& ps) {
  std::string out;
  for (auto& p : ps) {
    for (unsigned char c : p) {
      char b[8];
      if (c >= 32 && c < 127 && c != '\\') out += static_cast<char>(c);
      else snprintf(b, sizeof b, "\\x%02X", c), out += b;
    }
    out += '\n';
  }
  return out;
}

TEST_F(Migration, APortableFileWithItsStructureEqualsItsGoldenCopy) {
  make(3);
  // The elements' unique binaries depend on what ran before in the process.
  ARB* s = open_struct_arb(data_path("DATA"));
  ASSERT_NE(s, nullptr);
  uint8_t rec[kStructFileRecLen];
  ASSERT_EQ(read_struct_rec(s, 1, rec), 1);
  const uint32_t first = 3 + ld_le32(rec, STRUCT_N_INITIAL), n = ld_le32(rec, STRUCT_N_ELEMENT);
  for (uint32_t i = 0; i < n; ++i) {
    s->arb_rec = rec, s->arb_len = kStructFileRecLen, s->arb_relno = first + i, s->arb_mod = ARB_HOLD;
    ASSERT_EQ(fm_read(s), 1);
    st_le32(rec, ELEM_BINARIES, 1000 + i), st_le32(rec, ELEM_BINARIES + 4, 2000 + i);
    s->arb_mod = 0;
    ASSERT_EQ(fm_rewrite(s), 1);
  }
  FM_CLOSE(s, 0);
  ASSERT_EQ(xlate(data_path("DATA"), 0, 0, '1'), 1);
  const std::string got = golden_text(pieces(data_path("DATA")));
  if (getenv("KIVO_GOLDEN_WRITE"))
    std::ofstream(std::string(KIVO_SOURCE_DIR) + "/tests/design/mu_portable_golden.txt") << got;
  EXPECT_EQ(got, read_text("tests/design/mu_portable_golden.txt"));
}

// The statement line of a verb at column 7 with each text at its column.
std::string stmt_line(const std::string& verb, std::initializer_list<std::pair<int, std::string>> at) {
  std::string l = std::string(6, ' ') + (verb + std::string(8, ' ')).substr(0, 8);
  for (auto& [col, t] : at) {
    if (l.size() < size_t(col) - 1 + t.size()) l.resize(col - 1 + t.size(), ' ');
    l.replace(col - 1, t.size(), t);
  }
  return l + "\n";
}

TEST_F(Migration, AProcessCompiledFromTheDesignOpensACreatedFileWithTheSameKeys) {
  make(7);
  ASSERT_EQ(xlate(data_path("DATA"), 0, 0, '1'), 1);
  ASSERT_EQ(xlate(data_path("DATA"), MU_TO_NATIVE, MU_REPLACE, '0'), 1);
  FDB made;
  KDB mk[kFileMaxKeys];
  SDB ms[kMuMaxSegs];
  ASSERT_EQ(mu_bld_native_fdb(&made, mk, ms, data_path("DATA"), 2, m1_, m2_), 1);

  // A subroutine of the application that opens the file, compiled.
  // The shipped "0LA" dictionary beside the test's own message texts.
  const std::string kivo = KIVO_BINARY;
  std::filesystem::copy(kivo.substr(0, kivo.rfind('/')) + "/shipped_data/00", data_ + "/00",
                        std::filesystem::copy_options::recursive | std::filesystem::copy_options::skip_existing);
  build("APPLICATION APP 01\nPROCESS 6 READER\nSTMTS 6 READER ep=1\n" +
            stmt_line("OPEN", {{16, "APP"}, {20, "DATA"}, {37, "N"}, {45, "0"}}) + "END\n",
        "APP");
  fm_clr_scope(kScope);
  compiler_register_hooks();  // the module files' layout and MADDR's reader
  ii_init(), sc_init();
  rt_err_arb = nullptr, rt_init(), interp_register_hooks();
  PCB pcb{};
  pc_invoc_defaults(&pcb.invoc);
  memcpy(pcb.invoc.b + INVOC_AP_ID, "APP01", 5);
  pcb.invoc.b[INVOC_PROC_TYPE] = 6;
  memcpy(pcb.invoc.b + INVOC_PROC_NAM, (std::string("READER") + std::string(24, ' ')).data(), 30);
  memcpy(pcb.pcb_lang, "ENG", 3);
  PC_CTX ctx{};
  ASSERT_EQ(pc_cmpl(&pcb, &ctx), 1) << std::string(ctx.err_text, sizeof ctx.err_text);
  EM* em = ctx.em;
  FDB compiled{};
  uint8_t key[CFI_LEN] = {};
  PROTO_FULL(em->em_cfi_arb, 0, key);
  em->em_cfi_arb->arb_mod = ARB_FIRST;
  fm_start(em->em_cfi_arb);
  while (uint8_t* c = fm_rdnxt_fast(em->em_cfi_arb, 0))
    if (!memcmp(c + FDB_NAME, "DATA    ", 8)) {
      ASSERT_EQ(em_cfi_desc(em, c, &compiled), 1);
    }
  ASSERT_EQ(compiled.fdb_nkeys, 2);

  // One descriptor: the same record, keys and segments.
  EXPECT_EQ(compiled.fdb_rec_len, made.fdb_rec_len);
  EXPECT_EQ(compiled.fdb_var, made.fdb_var);
  EXPECT_EQ(compiled.fdb_org, made.fdb_org);
  EXPECT_EQ(compiled.fdb_fmt, made.fdb_fmt);
  EXPECT_EQ(keys_diff(compiled.fdb_kdb, mk, 2), "");
  // The compiled descriptor opens the made file and reads it in both orders.
  compiled.path = data_path("DATA");
  compiled.fdb_struct_date[0] = made.fdb_struct_date[0], compiled.fdb_struct_date[1] = made.fdb_struct_date[1];
  ASSERT_EQ(FM_OPEN(&compiled, com.sys_scope, LFB_ANY_DIR, 15, 15), 1) << compiled.fdb_stat;
  const recs by_id = read_all(compiled.fdb_arb, 0, compiled.fdb_rec_len);
  const recs by_name = read_all(compiled.fdb_arb, 1, compiled.fdb_rec_len);
  FM_CLOSE(compiled.fdb_arb, 0);
  em_destroy(em);
  ASSERT_EQ(by_id.size(), 7u);
  ASSERT_EQ(by_name.size(), 7u);
  std::string ids, names;
  for (auto& r : by_id) ids += std::string(r.begin() + 7, r.begin() + 8);
  for (auto& r : by_name) names += static_cast<char>(r[13]);
  EXPECT_EQ(ids, "0123456");
  EXPECT_EQ(names, "2211000");  // descending, the duplicates kept
}

// The SUBROUTINE of tests/design/port_reader.dsgn run by the engine on a
// copy of the installation: it writes PORTED out of the order of its keys,
// closes it (not physically), carries it out to its portable file and
// replaces it from there, then reads it by both keys into PORTLOG and calls
// the replace once more with PORTED still open. The first calls file no
// message (the process's closed file, kept for its level, once counted as a
// user: the export's close left the data file open and the replace was
// refused, 200470); the last is refused with its text and leaves no file
// behind. The primary key gives the ids in order, the descending name key
// the names from the highest, duplicates in the order the replace stored
// them (the portable file's, by id); every amount comes through; the
// replaced file verifies sound.
TEST_F(Migration, AProcessReadsTheReplacedFileByBothKeys) {
  namespace fs = std::filesystem;
  std::string dir = data_ + "/inst";
  const std::string q = kivo_test::shell_quote(dir);
  fs::copy(kivo_test::shipped_installation(), dir, fs::copy_options::recursive);
  fs::create_directory(dir + "/tst");
  const std::string out = " </dev/null >>" + q + "/fixture.out 2>&1";
  for (const std::string& cmd :
       {std::string(KIVO_DESIGN) + " -d " + q + " " +
            kivo_test::shell_quote(std::string(KIVO_SOURCE_DIR) + "/tests/design/port_reader.dsgn"),
        std::string(INPUT_FIXTURE) + " " + q + " DB1 PRT 01 '6:PORT READER'"})
    ASSERT_EQ(std::system(("ASAN_OPTIONS=detect_leaks=0 " + cmd + out).c_str()), 0)
        << cmd << "\n"
        << kivo_test::slurp(dir + "/fixture.out");
  {
    kivo_test::tmux_pane p(kivo_test::shell_quote(KIVO_BINARY) + " -d=DB1 -a=PRT -t=subroutine " +
                               kivo_test::shell_quote("-p=PORT READER"),
                           dir, kivo_test::engine_env(dir));
    ASSERT_EQ(p.exit_status(120), 0) << p.capture();
  }
  EXPECT_EQ(kivo_test::slurp(dir + "/syserr"), "");
  EXPECT_TRUE(fs::exists(dir + "/DB1/PRT/Portdata/PORTED.dat"));

  // PORTLOG through the file manager of the copy, by the descriptor of its
  // STRUCT file: "<pass> <id> <name> <amount in hundredths>", or "M <text>".
  std::vector<std::string> log;
  const cstr keep = com.data_dir;
  com.data_dir = cstr{static_cast<uint16_t>(dir.size()), dir.data()};
  FDB_PATH lp{};
  INIT_DB_PATH(&lp, "DB1", "PRT", "01", "PORTLOG ", PATH_DATA);
  recs elems;
  FDB f;
  KDB k[kFileMaxKeys];
  SDB sd[kMuMaxSegs];
  if (open_struct_fi(lp, 2, m1_, m2_, &elems) && mu_bld_native_fdb(&f, k, sd, lp, 2, m1_, m2_) &&
      FM_OPEN(&f, com.sys_scope, LFB_ANY_DIR, 15, 15)) {
    std::map<std::string, std::pair<uint16_t, uint16_t>> at;
    for (auto& e : elems) {
      std::string n(reinterpret_cast<char*>(e.data() + ELEM_NAME), 22);
      at[n.erase(n.find_last_not_of(' ') + 1)] = {ld_le16(e.data(), ELEM_OFFSET), ld_le16(e.data(), ELEM_SIZE)};
    }
    for (auto& r : read_all(f.fdb_arb, 0, f.fdb_rec_len)) {
      auto text = [&](const char* name) {
        std::string t(reinterpret_cast<char*>(r.data() + at[name].first), at[name].second);
        return t.erase(t.find_last_not_of(' ') + 1);
      };
      log.push_back(text("PL PASS") == "M"
                        ? "M " + text("PL TEXT")
                        : text("PL PASS") + " " + text("PL ID") + " " + text("PL NAME") + " " +
                              std::to_string(pd_cvb(r.data() + at["PL AMT"].first, at["PL AMT"].second)));
    }
    FM_CLOSE(f.fdb_arb, 0);
  }
  // The replaced file's descriptor from the STRUCT file the replace rebuilt
  // is the one its design records give the compiler.
  FDB_PATH pp = lp;
  memcpy(pp.fdb_name, "PORTED  ", 8);
  FDB d1, d2;
  KDB k1[kFileMaxKeys], k2[kFileMaxKeys];
  SDB s1[kMuMaxSegs], s2[kMuMaxSegs];
  const bool built = mu_bld_native_fdb(&d1, k1, s1, pp, 1, m1_, m2_) && mu_bld_native_fdb(&d2, k2, s2, pp, 2, m1_, m2_);
  com.data_dir = keep;
  ASSERT_TRUE(built);
  uint8_t x[kFdbStoredSize], y[kFdbStoredSize];
  fdb_store(d1, x), fdb_store(d2, y);
  EXPECT_EQ(memcmp(x, y, sizeof x), 0);
  ASSERT_EQ(d1.fdb_nkeys, 2);
  EXPECT_EQ(keys_diff(k1, k2, 2), "");
  EXPECT_EQ(k2[1].kdb_order, '-');
  EXPECT_EQ(k2[1].kdb_flags & KDB_DUP, KDB_DUP);
  for (auto& e : std::exchange(captured_errors(), {})) ADD_FAILURE() << e;
  std::vector<std::string> want;
  for (const char* pass : {"1", "2"})
    for (int i : pass[0] == '1' ? std::vector<int>{0, 1, 2, 3, 4, 5, 6} : std::vector<int>{2, 5, 1, 4, 0, 3, 6})
      want.push_back(std::string(pass) + " R000000" + std::to_string(i) + " NAME " + std::to_string(i % 3) + " " +
                     std::to_string(3701 * i));
  want.push_back("M ERROR - File is open");
  EXPECT_EQ(log, want);
  // The refused replace left no file of its own behind.
  std::set<std::string> files;
  for (auto& e : fs::recursive_directory_iterator(dir + "/DB1/PRT"))
    if (e.is_regular_file()) files.insert(fs::relative(e.path(), dir + "/DB1/PRT").string());
  EXPECT_EQ(files, (std::set<std::string>{"Data/PORTED.dat", "Data/PORTED.key", "Data/PORTLOG.dat", "Data/PORTLOG.key",
                                          "Portdata/PORTED.dat", "Struct/PORTED.dat", "Struct/PORTLOG.dat"}));
  // The replace stored the records in the portable file's order, not in the
  // order the process wrote them.
  const std::string stored = kivo_test::slurp(dir + "/DB1/PRT/Data/PORTED.dat");
  std::string ids;
  for (size_t at = stored.find("R000000"); at != std::string::npos; at = stored.find("R000000", at + 8))
    ids += stored[at + 7];
  EXPECT_EQ(ids, "0123456");

  const std::string v =
      kivo_test::shell_quote(KIVO_BINARY) + " -v=" + kivo_test::shell_quote(dir + "/DB1/PRT/Data/PORTED");
  const int st = std::system((v + " >/dev/null 2>&1").c_str());
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st;
}

}  // namespace
}  // namespace kivo::test

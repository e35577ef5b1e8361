// Whole files carried to their portable form and back: data files with
// their structure, design files, the import modes, damaged portable files,
// the pieces of long recs and the messages of a run.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "compiler/design_records.h"
#include "compiler/stmt_layout.h"
#include "dd_test_util.h"
#include "design/mu_internal.h"
#include "fm/fm_switch.h"
#include "fm/struct_file.h"
#include "fm/whole_file.h"
#include "foundation/com.h"
#include "types/element.h"

namespace kivo::test {
namespace {

using recs = std::vector<std::vector<uint8_t>>;

const char* const kSource = R"(APPLICATION APP 01
STAMP 9000 100
FILE DATA
  ID      A8    key=primary
  NAME    A12   key=1 order=-
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
  BODY    A1942
END
)";

class Migration : public DictFiles {
 protected:
  void SetUp() override {
    DictFiles::SetUp();
    fms_select.get_ddb = [](const char*) -> const uint8_t* {
      static uint8_t db[512];
      memset(db, ' ', sizeof db);
      return db;
    };
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
    return FM_OPEN(&f, com.sys_scope, LFB_ANY_DIR | (is_ap(p, "0AD") ? uint32_t{LFB_NO_STRUCT_CHK} : 0u), 15, 15)
               ? f.fdb_arb
               : nullptr;
  }
  // Every record in the order of key `keyno`.
  static recs read_all(ARB* a, uint8_t keyno = 0) {
    recs out;
    std::vector<uint8_t> buf(kNativeBufSize);
    a->arb_keyno = keyno, a->arb_key = nullptr, a->arb_rec = buf.data(), a->arb_mod = ARB_FIRST;
    if (!fm_start(a)) return out;
    for (;;) {
      a->arb_rec = buf.data(), a->arb_len = static_cast<uint16_t>(buf.size()), a->arb_var_len = 0, a->arb_mod = 0;
      if (!fm_rdnxt(a)) break;
      const size_t n = a->arb_var_len ? a->arb_var_len : a->arb_len;
      out.emplace_back(buf.begin(), buf.begin() + static_cast<long>(n));
    }
    return out;
  }
  recs native_records(const FDB_PATH& p, uint8_t keyno = 0) {
    ARB* a = open_native(p);
    if (!a) return {};
    recs r = read_all(a, keyno);
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

// The STRUCT file's record `n` (from 1), or empty.
std::vector<uint8_t> struct_rec(const std::string& bytes, size_t n) {
  if (bytes.size() < n * kStructFileRecLen) return {};
  return std::vector<uint8_t>(bytes.begin() + static_cast<long>((n - 1) * kStructFileRecLen),
                              bytes.begin() + static_cast<long>(n * kStructFileRecLen));
}

TEST_F(Migration, ADataFileWithEveryFieldTypeComesBackWithItsStructure) {
  ARB* a = create_data("DATA");
  ASSERT_NE(a, nullptr);
  FM_CLOSE(a, 0);
  const std::string struct_before = struct_bytes("DATA");
  ASSERT_GT(struct_before.size(), 3u * kStructFileRecLen);
  const uint16_t rec_len = ld_le16(struct_rec(struct_before, 2).data(), FI_REC_LEN);
  std::vector<uint8_t> init = struct_rec(struct_before, 3);  // the first chunk of the initial values
  init.erase(init.begin(), init.begin() + INIT_DATA);
  init.resize(rec_len);
  a = open_native(data_path("DATA"));
  ASSERT_NE(a, nullptr);
  for (int i = 0; i < 25; ++i) {
    std::vector<uint8_t> r = data_record(i, init);
    a->arb_rec = r.data(), a->arb_len = rec_len, a->arb_var_len = rec_len, a->arb_mod = 0;
    ASSERT_EQ(fm_write(a), 1) << i;
  }
  FM_CLOSE(a, 0);
  const recs before = native_records(data_path("DATA"));
  ASSERT_EQ(before.size(), 25u);

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

}  // namespace
}  // namespace kivo::test

// Dynamic keys of an input process: the choice of fields and its message,
// the order of the key file against a model (a stable sort by the chosen
// fields in record-id order) when built and after random updates through
// the PCF operations, a field of data type 14, the question after the
// threshold, a cancelled build, and other process types.
#include <algorithm>
#include <fstream>
#include <map>
#include <random>

#include "pcf_test_util.h"

namespace kivo::test {
namespace {

struct model_rec {
  std::string region;
  int32_t bal;
  bool in;  // has an entry in the key file
};

class DynaKey : public PcfFixture {
 protected:
  void SetUp() override {
    PcfFixture::SetUp();
    proc("CANCEL DYNAKEY");
    hooks_.set(pi_seam_end[PT_INPUT], PI_END_NORMAL);  // the question answered "go on"
    unsetenv("KIVO_DYNAKEY_PROMPT");
  }
  void TearDown() override {
    unsetenv("KIVO_DYNAKEY_PROMPT");
    PcfFixture::TearDown();
  }
  static dyna_seg seg(uint8_t* addr, uint16_t type, uint16_t len, const char* name) {
    dyna_seg d{};
    d.addr = addr, d.type = type, d.len = len, d.order = '+';
    memset(d.name, ' ', sizeof d.name);
    memcpy(d.name, name, strlen(name));
    return d;
  }
  // REGION ascending, BALANCE descending.
  static void region_balance(PCB* p) {
    dyna_seg r = seg(rec(p) + C_REGION, 1, 4, "REGION"), b = seg(rec(p) + C_BAL, 5, 4, "BALANCE");
    pi_dyna_add(p, &r), pi_dyna_add(p, &b), pi_dyna_add(p, &b);
  }
  // The record ids of a whole pass through the PCF operations.
  static std::vector<std::string> pass(PCB* p) {
    std::vector<std::string> out;
    ARB* a = p->pcb_pcf_arb;
    for (int ok = pi_read(p, ARB_FIRST); ok; ok = pi_rdnxt(p, 0))
      out.emplace_back(reinterpret_cast<char*>(a->arb_rec_id_area), a->arb_rec_id_len);
    return out;
  }
  // Every record of the file read straight from the file manager.
  static std::map<std::string, model_rec> file_model(PCB* p, bool (*in)(const uint8_t*)) {
    std::map<std::string, model_rec> m;
    ARB* a = p->pcb_pcf_arb;
    std::vector<uint8_t> buf(kCustLen);
    uint8_t* keep = a->arb_rec;
    a->arb_rec = buf.data(), a->arb_keyno = 0, a->arb_key = nullptr, a->arb_mod = ARB_FIRST;
    fm_start(a);
    for (a->arb_mod = 0; fm_rdnxt(a); a->arb_mod = 0)
      m[std::string(reinterpret_cast<char*>(a->arb_rec_id_area), a->arb_rec_id_len)] = {
          str(buf.data() + C_REGION, 4), int32_t(ld_le32(buf.data(), C_BAL)), in(buf.data())};
    a->arb_rec = keep;
    return m;
  }
  static std::vector<std::string> expected(const std::map<std::string, model_rec>& m) {
    std::vector<std::pair<std::string, model_rec>> v;
    for (auto& [rid, r] : m)
      if (r.in) v.emplace_back(rid, r);
    std::stable_sort(v.begin(), v.end(), [](auto& x, auto& y) {
      if (x.second.region != y.second.region) return x.second.region < y.second.region;
      return x.second.bal > y.second.bal;
    });
    std::vector<std::string> out;
    for (auto& e : v) out.push_back(e.first);
    return out;
  }
  // `n` CUST records of unique names, regions and balances from `seed`;
  // one in ten named X... for the read event to leave out.
  void fill(size_t n, uint32_t seed = 1) {
    std::mt19937 g(seed);
    const char* regions[] = {"EAST", "WEST", "NORT", "SOUT"};
    std::vector<std::vector<uint8_t>> recs;
    for (size_t i = 0; i < n; ++i) {
      char last[32];
      snprintf(last, sizeof last, "%c%06zu", g() % 10 == 0 ? 'X' : 'L', i);
      recs.push_back(cust(regions[g() % 4], last, "", int32_t(g() % 101) - 50));
    }
    make_pcf("PLAIN", recs);
  }
  void leave_out_x() {
    eps["PLAIN/3"] = [](PCB* p) {
      pi_area(p, AREA_NEXT, kA7Answer + 1)[kA7Answer] = rec(p)[C_LAST] == 'X' ? '0' : '1';
    };
  }
  size_t asked() const {
    size_t n = 0;
    for (size_t at = 0; (at = log.find("CANCEL DYNAKEY/1", at)) != std::string::npos; ++at) ++n;
    return n;
  }
  static std::vector<std::string> messages(PCB* p) {
    std::vector<std::string> out;
    ARB* a = p->pcb_err_fi;
    uint8_t r[kMsgRecMax];
    a->arb_rec = r, a->arb_len = sizeof r, a->arb_keyno = 0, a->arb_key = nullptr, a->arb_mod = ARB_FIRST;
    fm_start(a);
    for (a->arb_mod = 0; fm_rdnxt(a); a->arb_mod = 0) out.push_back(str(r + MSG_TEXT, a->arb_len - MSG_TEXT));
    return out;
  }
};

bool x_left_out(const uint8_t* r) { return r[C_LAST] != 'X'; }

TEST_F(DynaKey, ChoiceFlipsOrderAndIsPosted) {
  fill(3);
  run_in("PLAIN", [&](PCB* p) {
    dyna_seg n = seg(rec(p) + C_LAST, 1, 20, "NAME"), b = seg(rec(p) + C_BAL, 5, 4, "BALANCE");
    std::string orders;
    pi_dyna_add(p, &n);
    for (int i = 0; i < 3; ++i) {
      pi_dyna_add(p, &b);
      orders += static_cast<dyna_ctx*>(p->pcb_dyna)->segs->next->order;
    }
    EXPECT_EQ(orders, "+-+");
    pi_dyna_add(p, &b);
    const std::vector<std::string> m = messages(p);
    ASSERT_FALSE(m.empty());
    EXPECT_NE(m.back().find("NAME, BALANCE(-)"), std::string::npos) << m.back();
    pi_dyna_add(p, nullptr);
    EXPECT_EQ(p->pcb_dyna, nullptr);
    // "PI_DYNA_BLD" by name: a field per argument, ascending.
    size_t rows = 0;
    const rt_fn_row* t = int_fns_tbl(&rows);
    uint32_t row = 0;
    while (row < rows && std::string(t[row].name) != "PI_DYNA_BLD") ++row;
    RT_CALL c{};
    c.pcb = p, c.argc = 2;
    c.args[0] = {1, 1, 4, rec(p) + C_REGION}, c.args[1] = {1, 5, 4, rec(p) + C_BAL};
    std::string err;
    ASSERT_EQ(rt_call_row(row, c, &err), 1) << err;
    const dyna_seg* s = static_cast<dyna_ctx*>(p->pcb_dyna)->segs;
    ASSERT_TRUE(s && s->next && !s->next->next);
    EXPECT_EQ(std::string() + s->order + s->next->order, "++");
    EXPECT_EQ(s->next->addr, rec(p) + C_BAL);
    EXPECT_EQ(s->next->len, 4);
  });
}

TEST_F(DynaKey, OrderEqualsTheModelWhenBuiltAndAfterRandomUpdates) {
  fill(3000);
  leave_out_x();
  run_in("PLAIN", [&](PCB* p) {
    std::map<std::string, model_rec> m = file_model(p, x_left_out);
    region_balance(p);
    ASSERT_EQ(pass(p), expected(m));
    // Random writes, rewrites and deletes of records in the key.
    std::mt19937 g(7);
    const char* regions[] = {"EAST", "WEST", "NORT", "SOUT"};
    ARB* a = p->pcb_pcf_arb;
    for (int i = 0; i < 1000; ++i) {
      const int op = int(g() % 3);
      if (op == 0) {
        char last[32];
        snprintf(last, sizeof last, "N%06d", i);
        memcpy(rec(p), cust(regions[g() % 4], last, "", int32_t(g() % 101) - 50).data(), kCustLen);
        ASSERT_EQ(pi_write(p), 1) << a->arb_stat;
        m[std::string(reinterpret_cast<char*>(a->arb_rec_id_area), a->arb_rec_id_len)] = {
            str(rec(p), 4), int32_t(ld_le32(rec(p), C_BAL)), true};
        continue;
      }
      std::vector<std::string> in;
      for (auto& [rid, r] : m)
        if (r.in) in.push_back(rid);
      const std::string rid = in[g() % in.size()];
      memcpy(a->arb_rec_id_area, rid.data(), rid.size());
      ASSERT_EQ(pi_read(p, ARB_REC_ID | ARB_HOLD), 1) << a->arb_stat;
      if (op == 1) {
        memcpy(rec(p) + C_REGION, regions[g() % 4], 4);
        st_le32(rec(p), C_BAL, uint32_t(int32_t(g() % 101) - 50));
        ASSERT_EQ(pi_rewrite(p), 1) << a->arb_stat;
        m[rid] = {str(rec(p), 4), int32_t(ld_le32(rec(p), C_BAL)), true};
      } else {
        ASSERT_EQ(pi_del(p), 1) << a->arb_stat;
        m.erase(rid);
      }
    }
    EXPECT_EQ(pass(p), expected(m));
  });
}

TEST_F(DynaKey, DataType14OrdersAsCharacters) {
  make_pcf("ORDIN");
  const std::vector<std::string> codes = {
      "\x02"
      "AB",
      "\x01"
      "ZZ",
      "\xFF"
      "AA",
      "BBBB",
      "\x02"
      "AA"};
  std::vector<std::string> got;
  run_in("ORDIN", [&](PCB* p) {
    for (size_t i = 0; i < codes.size(); ++i) {
      memset(rec(p), ' ', 40);
      memcpy(rec(p), "EAST", 4), rec(p)[4] = char('A' + i);
      memcpy(rec(p) + 28, codes[i].data(), 4 > codes[i].size() ? codes[i].size() : 4);
      ASSERT_EQ(pi_write(p), 1);
    }
    dyna_seg c = seg(rec(p) + 28, 14, 4, "OCODE");
    pi_dyna_add(p, &c);
    for (int ok = pi_read(p, ARB_FIRST); ok; ok = pi_rdnxt(p, 0)) got.push_back(str(rec(p) + 28, 3));
  });
  std::vector<std::string> want;
  for (const std::string& s : codes) want.push_back((s + " ").substr(0, 3));
  std::sort(want.begin(), want.end(),
            [](const std::string& x, const std::string& y) { return memcmp(x.data(), y.data(), 3) < 0; });
  EXPECT_EQ(got, want);
}

TEST_F(DynaKey, QuestionAfterTheThresholdAndItsCancel) {
  fill(1000);
  run_in("PLAIN", [&](PCB* p) {
    region_balance(p);
    EXPECT_EQ(pass(p).size(), 1000u);
    EXPECT_EQ(asked(), 0u);
    memcpy(rec(p), cust("WEST", "ONE MORE").data(), kCustLen);
    ASSERT_EQ(pi_write(p), 1);
    region_balance(p);  // a used key starts again
    EXPECT_EQ(pass(p).size(), 1001u);
    EXPECT_EQ(asked(), 1u);
    // A cancel fails the read and drops the key; the fields, the stream's
    // mode word and the input mode are as they were.
    hooks_.set(pi_seam_end[PT_INPUT], PI_END_CANCEL);
    region_balance(p);
    memcpy(rec(p), "ZZZZ", 4), st_le32(rec(p), C_BAL, 77);
    *pi_input_mode(p) = 1;
    EXPECT_EQ(pi_read(p, ARB_FIRST), 0);
    EXPECT_EQ(asked(), 2u);
    EXPECT_EQ(p->pcb_dyna, nullptr);
    EXPECT_EQ(str(rec(p), 4), "ZZZZ");
    EXPECT_EQ(ld_le32(rec(p), C_BAL), 77u);
    EXPECT_EQ(p->pcb_pcf_arb->arb_mod, ARB_FIRST);
    EXPECT_EQ(*pi_input_mode(p), 1);
    hooks_.set(pi_seam_end[PT_INPUT], PI_END_NORMAL);
    // Without the key the read goes to the file again.
    EXPECT_EQ(pi_read(p, ARB_FIRST), 1);
  });
}

TEST_F(DynaKey, PromptThresholdFromTheEnvironment) {
  const std::pair<const char*, uint32_t> rows[] = {{"0x10", 16},  {"020", 16},  {"17", 17},    {"0", 0},
                                                   {"abc", 1000}, {"-5", 1000}, {"12x", 1000}, {"", 1000}};
  for (auto [text, want] : rows) {
    setenv("KIVO_DYNAKEY_PROMPT", text, 1);
    EXPECT_EQ(dyna_prompt_limit(), want) << text;
  }
  setenv("KIVO_DYNAKEY_PROMPT", "0x10", 1);
  fill(17);
  run_in("PLAIN", [&](PCB* p) {
    region_balance(p);
    EXPECT_EQ(pass(p).size(), 17u);
    EXPECT_EQ(asked(), 1u);
    ARB* a = p->pcb_pcf_arb;
    memcpy(a->arb_rec_id_area, pass(p).back().data(), a->arb_rec_id_len);
    ASSERT_EQ(pi_read(p, ARB_REC_ID | ARB_HOLD), 1);
    ASSERT_EQ(pi_del(p), 1);
    region_balance(p);
    EXPECT_EQ(pass(p).size(), 16u);
    EXPECT_EQ(asked(), 1u);
  });
}

// Each start of the trace takes the file the environment names then: a later
// start with another file, or with none, ends the trace of the one before.
TEST_F(DynaKey, TraceOfEntriesInTheFileKivoDynaLogNames) {
  const std::string paths[] = {data_ + "/dyna.log", data_ + "/dyna2.log", ""};
  std::map<std::string, std::string> after;  // each file as the run that wrote it left it
  fill(2);
  for (const std::string& path : paths) {
    if (!path.empty()) setenv("KIVO_DYNA_LOG", path.c_str(), 1);
    dyna_init();
    unsetenv("KIVO_DYNA_LOG");
    run_in("PLAIN", [&](PCB* p) {
      region_balance(p);
      pass(p);
    });
    for (const std::string& f : paths) {
      if (f.empty()) continue;
      std::ifstream in(f);
      const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (f == path) {
        EXPECT_NE(text.find("Write: "), std::string::npos) << text;
        EXPECT_NE(text.find("Read (mod=0004): "), std::string::npos) << text;
        EXPECT_NE(text.find("Readnext: "), std::string::npos) << text;
        EXPECT_NE(text.find("\\"), std::string::npos) << text;  // a balance's bytes as \%02x
        after[f] = text;
      } else {
        EXPECT_EQ(text, after[f]) << f << " written after a start that named " << path;
      }
    }
  }
}

TEST_F(DynaKey, OtherProcessTypesReadStraightThroughTheFile) {
  fill(20);
  run_in("PLAIN", [&](PCB* p) {
    p->pcb_em->em_proc_type = PT_OUTPUT;
    const std::vector<std::string> by_file = pass(p);
    region_balance(p);
    EXPECT_EQ(pass(p), by_file);
    EXPECT_EQ(static_cast<dyna_ctx*>(p->pcb_dyna)->key_arb, nullptr);
    p->pcb_em->em_proc_type = PT_INPUT;
    EXPECT_NE(pass(p), by_file);
  });
}

}  // namespace
}  // namespace kivo::test

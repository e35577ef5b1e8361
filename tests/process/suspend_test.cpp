// Suspend and resume in one engine: the suspend file of a background run
// against golden records, temporary files and area data that come back
// whole, files cut short or with a wrong catalogue that resume nothing, free
// names under a busy clock, and a submit that fails.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "exec_test_util.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "foundation/cmdline.h"
#include "foundation/os.h"
#include "process/pi_internal.h"
#include "process/pi_suspend.h"
#include "process/startup.h"

namespace kivo::test {
namespace {

using records = std::vector<std::vector<uint8_t>>;

class Suspend : public ExecFixture {
 protected:
  void SetUp() override {
    ExecFixture::SetUp();
    script("submit_ok", 0), script("submit_fail", 3);
    setenv("KIVO_BG_SCRIPT", "submit_ok", 1);
    hooks_.set(pi_seam_end[PT_JOB], PI_END_PROCESS);
    job("CUR1");
    // The last system error's message, posted for a job not submitted.
    FDB f;
    KDB k[kInitMaxKeys];
    SDB sd[kInitMaxSegs];
    INIT_DMSG_FDB(&f, k, sd, "00");
    ASSERT_EQ(FM_OPEN(&f, com.sys_scope, kAnyFile, 15, 15), 1);
    uint8_t rec[kMsgRecMax] = {};
    st_le32(rec, MSG_NUMBER, MSG_SYS_ERR), st_le16(rec, MSG_CLASS, 3), memcpy(rec + MSG_TEXT, "system error", 12);
    f.fdb_arb->arb_rec = rec, f.fdb_arb->arb_var_len = MSG_TEXT + 12, f.fdb_arb->arb_mod = 0;
    ASSERT_EQ(fm_write(f.fdb_arb), 1);
    FM_CLOSE(f.fdb_arb, 0);
  }
  void TearDown() override {
    unsetenv("KIVO_BG_SCRIPT");
    memset(ss_session, ' ', sizeof ss_session);
    ExecFixture::TearDown();
  }
  void script(const char* name, int code) {
    const std::string path = data_ + "/" + name;
    std::ofstream(path) << "#!/bin/sh\necho \"$@\" >" << data_ << "/submitted\nexit " << code << "\n";
    chmod(path.c_str(), 0755);
  }
  // "BG JOB": area 1 of '1's (the background asked for), kind 0 entry 3 of
  // 8 bytes and kind 12 entry 2 of 4 bytes from constants of `text` (4 bytes).
  EM* job(const std::string& text) {
    EM* em = module({{0, "TST", 3, 8, 0, 2}, {12, "TST", 2, 4, 0, 2}}, 0,
                    {{0, "TST", 1, 700, 2, 2},
                     {0, "TST", 5, 40, 2, 2},
                     {0, "TST", 7, 700, 2, 2},
                     {0, "TST", 9, 132, 2, 2},
                     {0, "TST", 11, 47, 2, 2}});
    for (uint32_t n : {5, 7, 9, 11}) blank_field(em, n);
    // The job's options: mode 1 (HOLD), background, notify, priority, queue.
    std::string a1(700, ' ');
    a1.replace(629, 3, "111"), a1.replace(640, 4, "HIGH"), a1.replace(650, 5, "NIGHT");
    const uint32_t one = em_append(em, EM_CN, reinterpret_cast<const uint8_t*>(a1.data()), 700);
    const uint32_t t = em_append(em, EM_CN, reinterpret_cast<const uint8_t*>(text.data()), 4);
    em->em_cnst_cnt = t;
    init_field(em, 1, one, 1);
    init_field(em, 3, t, 2);
    init_field(em, 12000002, t, 1);
    return mods["BG JOB"] = em;
  }
  // Runs "BG JOB" in the background from a placed invoker; the end code.
  uint32_t submit() {
    if (!parent_) place(parent_ = pcb(module({}), nullptr, 2));
    INVOC v = inv("BG JOB", PT_JOB, parent_, 2);
    v.b[INVOC_BG_RUN] = 1;
    return run(v);
  }
  // Runs the session `name` as the engine its job starts: the start
  // invocation from the SESSION record, the resume in the area set-up.
  uint32_t resume(const char* name) {
    memcpy(ss_session, name, 8);
    INVOC start = pi_invoc;
    choose_first_proc(&start, 1);
    memcpy(ss_session, name, 8);  // blanked by a read that found nothing
    return run(start);
  }
  static std::string name() { return std::string(pi_susp_name, 8); }
  static bool exists(const std::string& n) {
    FDB f;
    KDB k[kInitMaxKeys];
    INIT_SESS_FDB(&f, k, n.c_str());
    if (!FM_OPEN(&f, com.sys_scope, kAnyFile, 15, 15)) return false;
    FM_CLOSE(f.fdb_arb, 0);
    return true;
  }
  static records read_all(const std::string& n) {
    records out;
    FDB f;
    KDB k[kInitMaxKeys];
    INIT_SESS_FDB(&f, k, n.c_str());
    if (!FM_OPEN(&f, com.sys_scope, kAnyFile, 15, 15)) return out;
    ARB* a = f.fdb_arb;
    std::vector<uint8_t> buf(kSuspRecMax);
    PROTO_FULL(a, 0, buf.data());
    a->arb_mod = ARB_FIRST;
    fm_start(a);
    for (;;) {
      PROTO_FULL(a, 0, buf.data());
      a->arb_len = kSuspRecMax, a->arb_mod = 0;
      if (!fm_rdnxt(a)) break;
      out.emplace_back(buf.begin(), buf.begin() + a->arb_var_len);
    }
    a->arb_mod = 0;
    FM_CLOSE(a, 0);
    return out;
  }
  static void write_all(const std::string& n, const records& recs) {
    FDB f;
    KDB k[kInitMaxKeys];
    INIT_SESS_FDB(&f, k, n.c_str());
    ASSERT_TRUE(FM_CREATE(&f, com.sys_scope, 0, kAnyFile | LFB_OPEN_NEW, 15, 0));
    ARB* a = f.fdb_arb;
    for (auto r : recs) {
      PROTO_FULL(a, 0, r.data());
      a->arb_len = a->arb_var_len = uint16_t(r.size()), a->arb_mod = 0;
      ASSERT_EQ(fm_write(a), 1);
    }
    FM_CLOSE(a, 0);
  }
  static std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }
  static std::vector<uint8_t> u32(uint32_t v) {
    std::vector<uint8_t> r(4);
    st_le32(r.data(), 0, v);
    return r;
  }
  PCB* parent_ = nullptr;
};

// A stored SAA record of `count` entries with 1-word own data in `entry`.
std::vector<uint8_t> saa(uint32_t count, uint32_t entry, uint16_t size) {
  std::vector<uint8_t> r(32 + 16 * count, 0);
  st_le32(r.data(), 4, count);
  memcpy(r.data() + 8, "TST00", 5);
  uint8_t* s = r.data() + 16 + 16 * entry;
  st_le32(s, 0, 1), st_le16(s, 12, size);
  return r;
}

TEST_F(Suspend, FileOfAProcessWithoutTemporaryFilesIsGolden) {
  EXPECT_EQ(submit(), PI_END_PROCESS);
  EXPECT_EQ(log.find("BG JOB/1"), std::string::npos) << "no statement runs in the suspending engine";
  const records got = read_all(name());
  records want = {{}, {1}, bytes("SAAS"), u32(0), saa(3, 3, 8), bytes("CUR1CUR1")};
  for (uint32_t k = 1; k <= 12; ++k) want.push_back(u32(k));
  want.push_back(saa(2, 2, 4)), want.push_back(bytes("CUR1"));
  ASSERT_EQ(got.size(), want.size());
  ASSERT_EQ(got[0].size(), kSessRecLen);
  const uint8_t* s = got[0].data();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(s), 6) + std::string(reinterpret_cast<const char*>(s) + 6, 6),
            std::string("0SU00\x08") + "BG JOB");
  EXPECT_EQ(s[INVOC_INVOC_TYPE], 2);
  EXPECT_EQ(s[INVOC_BG_RUN], 0);
  for (size_t at : {48, 52, 60, 108, 112, 120, 148}) EXPECT_EQ(ld_le32(s, at), 0u) << at;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(s) + SESS_DB, 3), "   ");
  for (size_t i = 1; i < want.size(); ++i) EXPECT_EQ(got[i], want[i]) << "record " << i;
  std::ifstream in(data_ + "/submitted");
  std::string args;
  std::getline(in, args);
  EXPECT_NE(args.find(" -session=" + name() + " -mode=HOLD -notify=Yes -date= -priority=HIGH -queue=NIGHT "),
            std::string::npos)
      << args;
}

// The constraint goes in its own record after SESSION (the values read
// through the field entries) and comes back as arrays the invocation names.
TEST_F(Suspend, ConstraintRecordFollowsSessionAndIsRebuilt) {
  static uint8_t segs[2 * kCnstrSegLen] = {0, 0, 4, 0, 4, 0, 0, 0, 10, 0, 2, 0};
  static uint8_t region[8] = {'x', 'E', 'A', 'S', 'T'}, code[2] = {'Q', '7'};
  static uint8_t* indirect = code;
  static cnstr_fld flds[2] = {};
  flds[0].addr = region, flds[0].add_off = 1, flds[0].len = 4, flds[0].given = 1;
  flds[1].addr = reinterpret_cast<uint8_t*>(&indirect), flds[1].indirect = 1, flds[1].len = 2;
  INVOC v = inv("BG JOB", PT_JOB, nullptr, 2);
  v.b[INVOC_BG_RUN] = 1;
  st_le32(v.b, INVOC_CNSTR_CNT, 2), st_le32(v.b, INVOC_CNSTR_LEN, 6);
  const uint32_t hs = ih_put(HK_CNSTR_SEGS, segs), hf = ih_put(HK_CNSTR_FLDS, flds);
  st_le32(v.b, INVOC_CNSTR_SEGS, hs), st_le32(v.b, INVOC_CNSTR_FLDS, hf);
  EXPECT_EQ(run(v), PI_END_PROCESS);
  ih_drop(hs), ih_drop(hf);
  const records got = read_all(name());
  ASSERT_GT(got.size(), 3u);
  EXPECT_EQ(ld_le32(got[0].data(), SESS_CNSTR_LEN), 6u);
  EXPECT_EQ(ld_le32(got[0].data(), INVOC_CNSTR_CNT), 2u);
  std::vector<uint8_t> want = u32(2);
  want.insert(want.end(), segs, segs + sizeof segs);
  for (uint8_t b : {4, 0, 1, 2, 0, 0}) want.push_back(b);
  for (char c : std::string("EASTQ7")) want.push_back(uint8_t(c));
  EXPECT_EQ(got[1], want);
  EXPECT_EQ(got[2], std::vector<uint8_t>{1});
  std::string seen;
  eps["BG JOB/1"] = [&](PCB* p) {
    const uint8_t* b = p->invoc.b;
    auto* f = static_cast<const cnstr_fld*>(ih_get(HK_CNSTR_FLDS, ld_le32(b, INVOC_CNSTR_FLDS)));
    auto* s = static_cast<const uint8_t*>(ih_get(HK_CNSTR_SEGS, ld_le32(b, INVOC_CNSTR_SEGS)));
    if (!f || !s) return;
    seen = std::string(reinterpret_cast<const char*>(f[0].addr), f[0].len) + "/" +
           std::string(reinterpret_cast<const char*>(f[1].addr), f[1].len) + "/" + std::to_string(f[0].given) +
           std::to_string(f[1].given) + "/" + std::to_string(memcmp(s, segs, sizeof segs));
  };
  EXPECT_EQ(resume(name().c_str()), PI_END_PROCESS);
  EXPECT_EQ(seen, "EAST/Q7/10/0");
}

// A count of 0xFFFFFFFF is its first 16 bytes and no data; resumed as such.
TEST_F(Suspend, PassedOverSaaRecordIsSixteenBytes) {
  EXPECT_EQ(submit(), PI_END_PROCESS);
  records r = read_all(name());
  std::vector<uint8_t> skipped(16, 0);
  st_le32(skipped.data(), 4, kSaaSkipped);
  memcpy(skipped.data() + 8, "XYZ00", 5);
  r.insert(r.begin() + 6, skipped);  // after kind 0's record and its data
  write_all("SKIPPED1", r);
  // Read while the process runs: its records go with its family.
  bool found = false;
  uint32_t count = 0;
  eps["BG JOB/1"] = [&](PCB* p) {
    const SAA_REC* r = saa_read(0, p->pcb_handle, "XYZ", "00");
    found = r != nullptr, count = r ? r->count : 0;
  };
  EXPECT_EQ(resume("SKIPPED1"), PI_END_PROCESS);
  EXPECT_TRUE(found);
  EXPECT_EQ(count, kSaaSkipped);
  EXPECT_FALSE(exists("SKIPPED1"));
}

TEST_F(Suspend, AreaDataAndTemporaryFilesComeBackWhole) {
  struct tmp {
    const char* name;
    uint8_t fs, keys;
    std::vector<std::string> recs;
  } files[] = {{"TMEM1", FS_MEMORY, 0, {"a", "bcd", "e"}},
               {"TMEM0", FS_MEMORY, 1, {}},
               {"TMEMK", FS_MEMORY, 1, {"KEY00002xx", "KEY00001y"}},
               {"TDSK1", FS_DISK, 0, {"x", "yz", "w"}},
               {"TDSK0", FS_DISK, 0, {}},
               {"TDSKK", FS_DISK, 1, {"KEY00009", "KEY00003abc"}}};
  auto desc = [](const tmp& t, FDB* f, KDB* k, SDB* s, uint32_t level) {
    INIT_FDB(f, t.fs, 20, 1, k, t.keys);
    if (t.keys) INIT_KDB(k, 0, '+', 0, s, 1), init_sdb_func(s, 1, 0, 8, SDB_CHARS, ' ');
    INIT_DB_PATH(&f->path, "DB1", "TST", "00", t.name, PATH_DATA);
    f->path.fdb_tmp_id = level;
  };
  std::vector<ARB*> open;
  for (const tmp& t : files) {
    FDB f;
    KDB k[1];
    SDB s[1];
    desc(t, &f, k, s, com.sys_scope);
    ASSERT_TRUE(FM_CREATE(&f, com.sys_scope, 0, LFB_SCOPED | LFB_OPEN_NEW | kAnyFile, 15, 15)) << t.name;
    for (const std::string& r : t.recs) {
      std::vector<uint8_t> b(r.begin(), r.end());
      PROTO_FULL(f.fdb_arb, 0, b.data());
      f.fdb_arb->arb_len = f.fdb_arb->arb_var_len = uint16_t(b.size()), f.fdb_arb->arb_mod = 0;
      ASSERT_EQ(fm_write(f.fdb_arb), 1) << t.name << " " << r;
    }
    open.push_back(f.fdb_arb);
  }
  ASSERT_EQ(submit(), PI_END_PROCESS) << (captured_errors().empty() ? "" : captured_errors().back());
  for (ARB* a : open) FM_CLOSE(a, 0);
  const std::string n = name();
  job("NEW!");  // a fresh start would give these
  std::map<std::string, std::vector<std::string>> seen;
  std::string area, k12;
  eps["BG JOB/1"] = [&](PCB* p) {
    area.assign(reinterpret_cast<char*>(p->pcb_areas[kFirstArea]), 8);
    k12.assign(reinterpret_cast<char*>(p->pcb_areas[kFirstArea + 1]), 4);
    for (const tmp& t : files) {
      FDB f;
      KDB k[1];
      SDB s[1];
      desc(t, &f, k, s, p->pcb_pool->level);
      if (!FM_OPEN(&f, p->pcb_pool->level, LFB_SCOPED | kAnyFile, 15, 15)) continue;
      std::vector<uint8_t> buf(20);
      ARB* a = f.fdb_arb;
      PROTO_FULL(a, 0, buf.data());
      a->arb_mod = ARB_FIRST;
      fm_start(a);
      auto& got = seen[t.name];
      for (;;) {
        PROTO_FULL(a, 0, buf.data());
        a->arb_len = 20, a->arb_mod = 0;
        if (!fm_rdnxt(a)) break;
        got.emplace_back(reinterpret_cast<char*>(buf.data()), a->arb_var_len);
      }
      FM_CLOSE(a, 0);
    }
  };
  EXPECT_EQ(resume(n.c_str()), PI_END_PROCESS);
  EXPECT_EQ(area, "CUR1CUR1");
  EXPECT_EQ(k12, "CUR1");
  for (const tmp& t : files) {
    std::vector<std::string> want = t.recs;
    if (t.keys) std::sort(want.begin(), want.end());
    EXPECT_EQ(seen.count(t.name), 1u) << t.name;
    EXPECT_EQ(seen[t.name], want) << t.name;
  }
  EXPECT_FALSE(exists(n));
}

// Every shorter file, a wrong catalogue kind and a record of a wrong length
// fail the resume before the first statement, and keep the file.
TEST_F(Suspend, DamagedFileResumesNothingAndStays) {
  EXPECT_EQ(submit(), PI_END_PROCESS);
  const records good = read_all(name());
  ASSERT_GT(good.size(), 10u);
  std::vector<records> bad;
  // A file that ends right after the last catalogue reads as one whose last
  // kind has no records: that cut leaves no trace to find.
  for (size_t k = 1; k < good.size(); ++k)
    if (good[k - 1] != u32(kSaaKinds - 1)) bad.emplace_back(good.begin(), good.begin() + k);
  records wrong_kind = good;
  wrong_kind[8] = u32(7);  // catalogue 5 says 7
  bad.push_back(wrong_kind);
  records short_saa = good;
  short_saa[4].resize(short_saa[4].size() - 16);
  bad.push_back(short_saa);
  records short_data = good;
  short_data[5].pop_back();
  bad.push_back(short_data);
  records long_session = good;
  long_session[0].push_back(0);
  bad.push_back(long_session);
  const size_t errors = captured_errors().size();
  for (size_t i = 0; i < bad.size(); ++i) {
    char n[16];
    snprintf(n, sizeof n, "DAMAG%03u", unsigned(i % 1000));
    write_all(n, bad[i]);
    log.clear();
    EXPECT_EQ(resume(n), PI_END_CANCEL) << i;
    EXPECT_EQ(log.find("/1 "), std::string::npos) << i << ": " << log;
    EXPECT_TRUE(exists(n)) << i;
    // No system error: the start reports it in its one line.
    EXPECT_EQ(std::string(pi_resume_failure())
                  .rfind("session " + std::string(n, 8) + " not resumed: suspend file damaged", 0),
              0u)
        << i << ": " << pi_resume_failure();
  }
  EXPECT_EQ(captured_errors().size(), errors);
  captured_errors().clear();
}

// Names taken for the next hundredths, and two suspends at once: every
// file stays and each suspend makes its own.
TEST_F(Suspend, BusyNamesAreSkippedNotScratched) {
  ss_clock c;
  os_kivo_time(&c);
  std::vector<std::string> taken;
  for (int i = 0; i < 30; ++i) {
    uint8_t stamp[8];
    char n[8];
    ss_clock_store(stamp, ss_clock_add(c, i));
    pl_gen_nam(0, stamp, n);
    taken.emplace_back(n, 8);
    write_all(taken.back(), {bytes("TAKEN " + std::to_string(i))});
  }
  EXPECT_EQ(submit(), PI_END_PROCESS);
  const std::string first = name();
  EXPECT_EQ(submit(), PI_END_PROCESS);
  const std::string second = name();
  EXPECT_NE(first, second);
  for (const std::string& n : {first, second}) {
    EXPECT_EQ(std::find(taken.begin(), taken.end(), n), taken.end()) << n;
    EXPECT_EQ(read_all(n).size(), 20u) << n;
  }
  for (int i = 0; i < 30; ++i) EXPECT_EQ(read_all(taken[i]), records{bytes("TAKEN " + std::to_string(i))}) << i;
}

// The invoker's line names the failure of this run: an operating-system
// error an earlier, unrelated failure recorded is not its cause.
TEST_F(Suspend, FailingSubmitRemovesTheFileAndEndsWithFour) {
  setenv("KIVO_BG_SCRIPT", "submit_fail", 1);
  la_sys_err("Input/output error", 0);
  const size_t errors = captured_errors().size();
  EXPECT_EQ(submit(), PI_END_CANCEL);
  EXPECT_FALSE(exists(name()));
  EXPECT_GT(captured_errors().size(), errors);
  int lines = 0;
  ARB* e = parent_->pcb_err_fi;
  uint8_t key[kMsgRecMax] = {};
  PROTO_FULL(e, 0, key);
  e->arb_mod = ARB_FIRST;
  ASSERT_EQ(fm_start(e), 1);
  while (const uint8_t* r = fm_rdnxt_fast(e, 0))
    lines += std::string(reinterpret_cast<const char*>(r) + MSG_TEXT, ld_le16(r, MSG_TEXT_LEN)).find("system error") !=
             std::string::npos;
  EXPECT_EQ(lines, 1);
  captured_errors().clear();
}

}  // namespace
}  // namespace kivo::test

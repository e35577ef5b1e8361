// A background run between two engines: this test's engine (A) runs a JOB
// whose design asks for the background, with a constraint on the customer
// number of its primary file; the submit script starts the engine program (B)
// with -s= and the session, which resumes the JOB DETACHED and runs its
// detail frame over the constrained records only, writing the JOB's work
// field into each and rewriting it. The file read back afterwards shows
// which records the second engine changed, and to what.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "compiler/compiler.h"
#include "compiler/pl.h"
#include "exec_test_util.h"
#include "fm/fm_record.h"
#include "interp/ii_run.h"
#include "process/pi_internal.h"
#include "process/pi_suspend.h"
#include "process/startup.h"

namespace kivo::test {
namespace {

std::string tools() { return KIVO_TOOLS_DIR; }
using kivo_test::slurp;
// An 80-column statement line: the verb at column 7, texts at their columns.
std::string stmt(const char* verb, std::initializer_list<std::pair<size_t, std::string>> at) {
  std::string l = std::string(6, ' ') + verb;
  for (auto& [col, t] : at) {
    if (l.size() < col - 1 + t.size()) l.resize(col - 1 + t.size(), ' ');
    l.replace(col - 1, t.size(), t);
  }
  return l;
}

// BGCUST: region and customer number make the key.
enum : size_t { B_REGION = 0, B_CUSTNO = 4, B_NOTE = 8, kBgLen = 16 };

class BackgroundRun : public ExecFixture {
 protected:
  void SetUp() override {
    ExecFixture::SetUp();
    const std::string kivo = KIVO_BINARY, data = kivo.substr(0, kivo.rfind('/')) + "/shipped_data";
    std::filesystem::copy(data, data_,
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
    install();
    hooks_.set(compiler_seams.pl_get, pl_get_module);      // the loader itself
    hooks_.set(interp_seams.proc_exec, ii_proc_exec_own);  // the real event points; A runs none of the JOB's
    ii_init(), sc_init();
    rt_err_arb = nullptr, rt_init(), interp_register_hooks();
    setenv("KIVO_BG_SCRIPT", "bg_start", 1);
    const std::string script = data_ + "/bg_start";
    std::ofstream(script) << "#!/bin/sh\n"
                          << "for a; do case \"$a\" in -session=*) s=\"${a#-session=}\";; esac; done\n"
                          << "cd '" << b_.path() << "' || exit 9\n"
                          << "KIVOPATH='" << b_.path() << "' KIVO_SYS_ERR_LOG='" << data_ << "/b.syserr' '"
                          << KIVO_BINARY << "' \"-s=$s\" >'" << data_ << "/b.out' 2>&1\n";
    chmod(script.c_str(), 0755);
  }
  void TearDown() override {
    unsetenv("KIVO_BG_SCRIPT");
    pl_discard_all();
    rt_err_arb = nullptr;
    ExecFixture::TearDown();
  }
  scratch_dir b_;
  // The 0LA dictionary anew, its output defaults asking for the background,
  // with the JOB and its file, then the system-administration files.
  // A's installation, and B's: the same but for the work field's start,
  // sharing A's session directory and (once made) its BGCUST.
  void install() {
    write_dictionary("bg.dsgn", "PASSED42");
    write_dictionary("fresh.dsgn", "FRESH000");
    std::filesystem::copy(data_, b_.path(), std::filesystem::copy_options::recursive);
    ASSERT_EQ(system(("sh '" + data_ + "/install.sh' '" + data_ + "' bg.dsgn").c_str()), 0)
        << slurp(data_ + "/install.out");
    ASSERT_EQ(system(("sh '" + data_ + "/install.sh' '" + b_.path() + "' fresh.dsgn").c_str()), 0)
        << slurp(b_.path() + "/install.out");
    std::filesystem::create_directories(data_ + "/Sess");
    std::filesystem::remove_all(b_.path() + "/Sess");  // the copy's own, empty
    std::filesystem::create_directory_symlink(data_ + "/Sess", b_.path() + "/Sess");
  }
  void share_pcf() {
    const std::string dir = "/00/0LA/Data/";
    for (auto& e : std::filesystem::directory_iterator(data_ + dir))
      if (e.path().filename().string().rfind("BGCUST", 0) == 0) {
        std::filesystem::remove(b_.path() + dir + e.path().filename().string());
        std::filesystem::create_symlink(e.path(), b_.path() + dir + e.path().filename().string());
      }
  }
  // The dictionary with the JOB whose work field starts as `value`, and the
  // script that installs a dictionary source of the data directory.
  void write_dictionary(const char* name, const char* value) {
    std::string dict = slurp(std::string(KIVO_SOURCE_DIR) + "/share/design/0LA.dsgn");
    const std::string bg = "\"BACKGROUND\"           A1    @630";
    const size_t at = dict.find(bg);
    ASSERT_NE(at, std::string::npos);
    dict.insert(at + bg.size(), " init=\"1\"");
    dict += std::string("FILE BGCUST fs=1\n") +
            "  \"BG KEY\"    G8  @0 key=primary\n"
            "  \"BG REGION\" A4  @0\n"
            "  \"BG CUSTNO\" B4  @4\n"
            "  \"BG NOTE\"   A8  @8\n"
            "END\n"
            "WORK \"BG VALUE\" A8 init=\"" +
            value + "\"\n" +
            "PROCESS 8 \"BG JOB\" pcf_ap=0LA pcf_file=BGCUST pcf_update=1\n"
            "FRAME 8 \"BG JOB\" 0 1 enabled=1 kind=0\n"
            "STMTS 8 \"BG JOB\" ep=21 frame=0,1\n" +
            stmt("SET     ", {{16, "0LA"}, {20, "BG NOTE"}, {47, "="}, {50, "0LA"}, {54, "BG VALUE"}}) + "\n" +
            stmt("REWRITE ", {{16, "0LA"}, {20, "BGCUST"}, {45, "1"}}) + "\nEND\n";
    std::ofstream(data_ + "/" + name) << dict;
    const std::string src = std::string(KIVO_SOURCE_DIR) + "/share/install/";
    std::ofstream(data_ + "/install.sh")
        << "cd \"$1\" || exit 9\n"
        << "rm -f 0SA/Data/APPL.* 0SA/Data/USER.* 0SA/Data/DFLTMAP.* 00/0LA/Data/MESSAGE.*\n"
        << "'" << tools() << "/kivo_design' -r -d \"$1\" '" << data_ << "/'\"$2\" >install.out 2>&1 || exit 1\n"
        << "'" << tools() << "/kivo_install' -d \"$1\" " << src << "messages.txt " << src << "keys.txt " << src
        << "options.txt >>install.out 2>&1\n";
  }
  // The JOB's module, loaded once (for its PCF's identity and descriptor).
  EM* module_of_job() {
    PCB k{};
    k.invoc = inv("BG JOB", PT_JOB, nullptr, 2, "0LA");
    memcpy(k.pcb_lang, "ENG", 3);
    if (!pl_get(&k, 1)) return nullptr;
    pl_free(k.pcb_em);
    return k.pcb_em;
  }
  // The descriptor of the JOB's PCF as its module compiled it.
  void pcf_fdb(EM* em, FDB* fdb) {
    uint8_t* cfi = nullptr;
    uint8_t key[CFI_LEN] = {};
    PROTO_FULL(em->em_cfi_arb, 0, key);
    em->em_cfi_arb->arb_mod = ARB_FIRST;
    fm_start(em->em_cfi_arb);
    while (uint8_t* c = fm_rdnxt_fast(em->em_cfi_arb, 0))
      if (ld_le32(c, CFI_FILE_NO) == em->em_pcf_id) cfi = c;
    ASSERT_NE(cfi, nullptr);
    ASSERT_EQ(em_cfi_desc(em, cfi, fdb), 1);
  }
  // BGCUST: customer 2 in both regions, so that its records are not
  // neighbours in key order, among others; every note "UNTOUCHD".
  void make_pcf(EM* em) {
    FDB fdb;
    ASSERT_NO_FATAL_FAILURE(pcf_fdb(em, &fdb));
    ASSERT_EQ(FM_CREATE(&fdb, com.sys_scope, 10, LFB_OPEN_NEW, 15, 15), 1) << fdb.fdb_stat;
    ARB* a = fdb.fdb_arb;
    for (const auto& [region, n] : kRecords) {
      std::vector<uint8_t> r(kBgLen, ' ');
      memcpy(r.data() + B_REGION, region, 4);
      st_le32(r.data(), B_CUSTNO, n);
      memcpy(r.data() + B_NOTE, "UNTOUCHD", 8);
      PROTO_FULL(a, 0, r.data());
      a->arb_len = a->arb_var_len = kBgLen, a->arb_mod = 0;
      ASSERT_EQ(fm_write(a), 1) << a->arb_stat;
    }
    FM_CLOSE(a, 0);
  }
  // Every record of BGCUST as "REGION/number=note", in key order.
  std::string read_pcf(EM* em) {
    FDB fdb;
    pcf_fdb(em, &fdb);
    if (!FM_OPEN(&fdb, com.sys_scope, 0, 15, 15)) return "open failed " + std::to_string(fdb.fdb_stat);
    ARB* a = fdb.fdb_arb;
    std::vector<uint8_t> r(kBgLen);
    a->arb_rec = r.data(), a->arb_len = kBgLen, a->arb_mod = ARB_FIRST;
    std::string all;
    for (fm_start(a); (a->arb_mod = 0, fm_rdnxt(a));)
      all += std::string(reinterpret_cast<char*>(r.data()) + B_REGION, 4) + "/" +
             std::to_string(ld_le32(r.data(), B_CUSTNO)) + "=" +
             std::string(reinterpret_cast<char*>(r.data()) + B_NOTE, 8) + "\n";
    FM_CLOSE(a, 0);
    return all;
  }
  static constexpr std::pair<const char*, uint32_t> kRecords[] = {
      {"EAST", 1}, {"EAST", 2}, {"EAST", 3}, {"WEST", 2}, {"WEST", 4}};
};

TEST_F(BackgroundRun, SecondEngineRunsTheConstrainedRecordsAndTheFileGoes) {
  EM* em = module_of_job();
  ASSERT_NE(em, nullptr) << (captured_errors().empty() ? "" : captured_errors().back());
  make_pcf(em);
  share_pcf();
  // The constraint an invoker's linking field gives: CUSTNO = 2.
  static uint8_t seg[kCnstrSegLen] = {};
  st_le16(seg, 2, B_CUSTNO), st_le16(seg, 4, 4);
  static uint8_t two[4] = {2, 0, 0, 0};
  static cnstr_fld fld{};
  fld.addr = two, fld.len = 4, fld.given = 1;
  INVOC v = inv("BG JOB", PT_JOB, nullptr, 2, "0LA");
  v.b[INVOC_BG_RUN] = 1;
  st_le32(v.b, INVOC_CNSTR_CNT, 1), st_le32(v.b, INVOC_CNSTR_LEN, 4);
  const uint32_t hs = ih_put(HK_CNSTR_SEGS, seg), hf = ih_put(HK_CNSTR_FLDS, &fld);
  st_le32(v.b, INVOC_CNSTR_SEGS, hs), st_le32(v.b, INVOC_CNSTR_FLDS, hf);
  memcpy(v.b + INVOC_CNSTR_AP, "0LA", 3), st_le32(v.b, 128, em->em_pcf_id);
  EXPECT_EQ(run(v), PI_END_PROCESS) << slurp(data_ + "/b.out");
  ASSERT_TRUE(std::filesystem::exists(data_ + "/b.out")) << "the second engine did not start";
  ih_drop(hs), ih_drop(hf);
  // Customer 2's records alone, each with the value of A's run: B's own
  // start of the work field would give "FRESH000".
  EXPECT_EQ(read_pcf(em), "EAST/1=UNTOUCHD\nEAST/2=PASSED42\nEAST/3=UNTOUCHD\nWEST/2=PASSED42\nWEST/4=UNTOUCHD\n")
      << slurp(data_ + "/b.out") << slurp(data_ + "/b.syserr");
  EXPECT_EQ(slurp(data_ + "/b.syserr"), "");
  EXPECT_FALSE(std::filesystem::exists(data_ + "/Sess/" + std::string(pi_susp_name, 8) + ".dat"))
      << std::string(pi_susp_name, 8);
}

}  // namespace
}  // namespace kivo::test

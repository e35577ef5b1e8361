// The generated processes listed statement by statement against golden
// listings, and the verify run with the real engine: VERIFY alone or with
// the lookups, blank fields skipped on request, a file of 0SA checked
// against 0SA "00", and a second verify of another file in one session.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../fixtures/hook_override.h"
#include "compiler/design_records.h"
#include "compiler/stmt_layout.h"
#include "db_run_util.h"
#include "design/db_vfy.h"
#include "fm/fm_sysadm.h"

namespace kivo::test {
namespace {

const char* const kLookSource = R"(APPLICATION APP 01
FILE DATA
  ID      A8    key=primary
  LINK    A8
END
FILE LOOK
  CODE    A8    key=primary
  NAME    A10
END
)";

// One line per statement: event point, sequence, condition, verb and the
// operand area with every byte that is no printable character as \xx.
std::string listing(const std::vector<std::vector<uint8_t>>& recs) {
  std::string out;
  for (auto& r : recs) {
    char head[64];
    snprintf(head, sizeof head, "%u %3u %.5s %s|", r[STMT_EP], ld_le32(r.data(), STMT_SEQ),
             reinterpret_cast<const char*>(r.data() + STMT_PREFIX), se_get_verb_spell(ld_le16(r.data(), STMT_VERB)));
    out += head;
    for (size_t i = STMT_OPND; i < kStmtSize; ++i) {
      char b[5];
      if (r[i] >= 0x20 && r[i] < 0x7f && r[i] != '\\') snprintf(b, sizeof b, "%c", r[i]);
      else snprintf(b, sizeof b, "\\%02X", r[i]);
      out += b;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    out += "|\n";
  }
  return out;
}

class VerifyGen : public DbRunFixture {
 protected:
  void SetUp() override {
    DbRunFixture::SetUp();
    hooks_.set(interp_seams.add_msg, [](int, ARB*, const char* t, size_t n) {
      std::string s(t, n);
      self()->said.push_back(s.erase(s.find_last_not_of(' ') + 1));
      return 1;
    });
  }
  static VerifyGen* self() { return static_cast<VerifyGen*>(self_); }
  // Gives field `name` of DATA a lookup into LOOK's CODE.
  static void add_lookup(const char* name) {
    DesignBuilder b("APP", "01", com.sys_scope);
    ARB* a = b.handle(DF_ELEMENT);
    std::vector<std::vector<uint8_t>> elems;
    uint8_t from[kElementSize] = {};
    memcpy(from + ELEM_FILE, "DATA    ", 8);
    dd_scan(
        a, 2, from, kElementSize,
        [](const uint8_t* r, const uint8_t* f) { return memcmp(r + ELEM_FILE, f + ELEM_FILE, 8) == 0; }, &elems);
    for (auto& e : elems) {
      if (memcmp(e.data() + ELEM_NAME, name, strlen(name)) != 0 || e[ELEM_NAME + strlen(name)] != ' ') continue;
      ASSERT_EQ(dd_read(a, 0, e.data(), kElementSize, true), 1);
      memcpy(e.data() + ELEM_LKP_AP, "APP", 3);
      memcpy(e.data() + ELEM_LKP_FILE, "LOOK    ", 8);
      memcpy(e.data() + ELEM_LKP_FIELD, "CODE                  ", 22);
      ASSERT_EQ(dd_rewrite(a, e.data(), kElementSize), 1);
    }
    b.close_all();
  }
  // DATA: record i links to "C<i%10>", blank when i%10 is 9; LOOK holds C0..C4.
  void files(int n) {
    dictionary(kLookSource, 1);
    add_lookup("LINK");
    create("DATA"), create("LOOK");
    auto put = [&](const char* file, const std::vector<std::pair<std::string, std::string>>& recs) {
      uint16_t len = 0;
      ARB* a = open_data(&len, file);
      ASSERT_NE(a, nullptr);
      for (auto& [k, v] : recs) {
        std::vector<uint8_t> r(len, ' ');
        memcpy(r.data(), k.data(), k.size());
        memcpy(r.data() + 8, v.data(), v.size());
        a->arb_rec = r.data(), a->arb_len = len, a->arb_var_len = len, a->arb_mod = 0;
        ASSERT_EQ(fm_write(a), 1);
      }
      FM_CLOSE(a, 0);
    };
    std::vector<std::pair<std::string, std::string>> data, look;
    for (int i = 0; i < n; ++i) {
      char id[16];
      snprintf(id, sizeof id, "R%07d", i);
      data.push_back({id, i % 10 == 9 ? "" : "C" + std::to_string(i % 10)});
    }
    for (int c = 0; c < 5; ++c) look.push_back({"C" + std::to_string(c), "NAME"});
    put("DATA", data);
    put("LOOK", look);
  }
  std::string generated(const FDB_PATH& p, char lookups, char blanks) {
    DesignBuilder b("0DN", "01", com.sys_scope);
    ARB* a = b.handle(DF_STMT);
    uint8_t pr[kProcRecSize];
    vfy_process_rec(p, pr);
    EXPECT_EQ(bld_vfy_ep(p, pr, a, lookups, blanks), 1);
    std::vector<std::vector<uint8_t>> recs;
    uint8_t from[kStmtSize] = {};
    dd_scan(
        a, 0, from, kStmtSize, [](const uint8_t*, const uint8_t*) { return true; }, &recs);
    b.close_all(ARB_SCRATCH);
    return listing(recs);
  }
  std::vector<std::string> said;
};

// The generated restructure and verify processes, statement by statement.
TEST_F(VerifyGen, GeneratedProcessesEqualTheirGoldenListings) {
  old_file(0);
  dictionary(R"(APPLICATION APP 01
FILE DATA
  ID      A10   key=primary
  AMT     P9.2S
  CNT     B5S
  WHEN    D7:8-1
  LIST    A4    occurs=5
END
)",
             2);
  restruct_ctx ctx{};
  uint32_t fm = 0;
  ASSERT_EQ(db_open_files(path(), &ctx, &fm), 0u);
  ASSERT_EQ(comp_struct_fi(path(), &ctx), RS_CONVERT);
  ASSERT_EQ(bld_new_src_fi(path(), &ctx), 1);
  std::string got = "# restructure of APP DATA\n";
  {
    DesignBuilder b("0DN", "00", com.sys_scope);
    ARB* a = b.handle(DF_STMT);
    ASSERT_EQ(bld_restruct_stmts(path(), &ctx, a), 1);
    std::vector<std::vector<uint8_t>> recs;
    uint8_t from[kStmtSize] = {};
    dd_scan(
        a, 0, from, kStmtSize, [](const uint8_t*, const uint8_t*) { return true; }, &recs);
    b.close_all(ARB_SCRATCH);
    got += listing(recs);
  }
  db_close_files(&ctx);
  dictionary(kLookSource, 1);
  add_lookup("LINK");
  got += "# verify of APP DATA, lookups, blanks looked up\n" + generated(path(), '1', '1');
  got += "# verify of APP DATA, lookups, blanks skipped\n" + generated(path(), '1', '0');
  setenv("KIVO_TRAP_RESTRUCT", "1", 1);
  got += "# verify of APP DATA, no lookups, traps\n" + generated(path(), '0', '1');
  unsetenv("KIVO_TRAP_RESTRUCT");
  const std::string file = std::string(KIVO_SOURCE_DIR) + "/tests/design/generated_golden.txt";
  if (getenv("KIVO_UPDATE_GOLDEN")) std::ofstream(file) << got;
  std::ifstream in(file);
  std::stringstream want;
  want << in.rdbuf();
  EXPECT_EQ(got, want.str());
}

// With lookups off the Post PCF Read holds only VERIFY, with TRAP before
// it when traps are asked for; lookups come only with '1'.
TEST_F(VerifyGen, LookupsOnlyWhenAsked) {
  dictionary(kLookSource, 1);
  add_lookup("LINK");
  // lookups, trap, verbs of event point 3
  const std::tuple<char, bool, std::string> rows[] = {
      {'0', false, "VERIFY "},
      {'0', true, "TRAP VERIFY "},
      {'Y', false, "VERIFY "},
      {'1', false, "VERIFY IF SET READ WARNING SET "},
  };
  for (auto& [lookups, trap, verbs] : rows) {
    if (trap) setenv("KIVO_TRAP_RESTRUCT", "", 1);
    else unsetenv("KIVO_TRAP_RESTRUCT");
    std::istringstream l(generated(path(), lookups, '1'));
    std::string line, got;
    while (std::getline(l, line)) {
      if (line[0] != '3') continue;
      const std::string verb = line.substr(12, line.find('|') - 12);
      got += verb.substr(0, verb.find(' ')) + " ";
    }
    EXPECT_EQ(got, verbs) << lookups << trap;
  }
  unsetenv("KIVO_TRAP_RESTRUCT");
  // A file of 0SA is described by 0SA "00", a design file by 0AD "00".
  const std::tuple<const char*, const char*, const char*> dicts[] = {
      {"0SA", "07", "0SA00"}, {"0AD", "03", "0AD00"}, {"APP", "01", "APP01"}};
  for (auto [ap, ver, want] : dicts) {
    FDB_PATH p{};
    memcpy(p.fdb_ap, ap, 3), memcpy(p.fdb_ver, ver, 2);
    char a[3], v[2];
    db_dict_of(p, a, v);
    EXPECT_EQ(std::string(a, 3) + std::string(v, 2), want);
  }
}

// The run: a record whose lookup finds nothing warns and leaves 1220; with
// check blanks '0' a blank field is not looked up. A second verify of
// another file in the same session checks that file.
TEST_F(VerifyGen, UnmatchedLookupsWarnAndASecondFileIsItsOwn) {
  files(100);
  // check blanks, warnings
  const std::pair<char, size_t> rows[] = {{'1', 50}, {'0', 40}};
  for (auto [blanks, warnings] : rows) {
    said.clear();
    EXPECT_EQ(db_vfy(nullptr, path(), '1', blanks), 1220u);
    for (auto& e : std::exchange(captured_errors(), {})) ADD_FAILURE() << e;
    EXPECT_EQ(said.size(), warnings) << blanks;
    ASSERT_FALSE(said.empty());
    EXPECT_EQ(said[0], "LINK does not match existing CODE");
  }
  said.clear();
  EXPECT_EQ(db_vfy(nullptr, path("LOOK"), '1', '1'), 0u);
  EXPECT_TRUE(said.empty()) << said[0];
  for (auto& e : std::exchange(captured_errors(), {})) ADD_FAILURE() << e;
}

}  // namespace
}  // namespace kivo::test

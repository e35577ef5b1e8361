// The shipped "0LA" dictionary in the default installation the build makes:
// its design files verify good, the seventeen system records, the fields the
// engine addresses by name and place, the option names of TOKEN and the
// golden listing of every element, all read through the file manager.
#include <cstdlib>
#include <map>

#include "../fixtures/hook_override.h"
#include "../fixtures/kivo_fixture.h"
#include "compiler/design_records.h"
#include "design_test_util.h"
#include "fm/token_cache.h"
#include "foundation/bytes.h"
#include "foundation/opt_token.h"
#include "screen/tm_keys.h"
#include "types/element.h"

namespace kivo::test {
namespace {

// The installation the build writes, of which data/ beside the engine is a copy.
std::string installation() { return kivo_test::shipped_installation(); }

class SysDictionary : public DesignFiles {
 protected:
  void SetUp() override {
    DesignFiles::SetUp();
    data_ = installation();
    com.data_dir = cstr{static_cast<uint16_t>(data_.size()), data_.data()};  // paths are made at each open
    for (auto& f : records(DF_FILE, "00", "0LA")) files_[std::string(reinterpret_cast<char*>(f.data()), 8)] = f;
    for (auto& e : records(DF_ELEMENT, "00", "0LA")) elems_[name(e.data() + ELEM_NAME, 22)] = e;
  }
  static std::string name(const uint8_t* p, size_t n) {
    std::string s(reinterpret_cast<const char*>(p), n);
    return s.substr(0, s.find_last_not_of(' ') + 1);
  }
  std::map<std::string, std::vector<uint8_t>> files_, elems_;
};

// The analyser finds each of the design files good.
TEST_F(SysDictionary, InstallationFilesVerifyGood) {
  for (const char* f : {"ELEMENT", "FILE", "INITIAL", "BITMAP", "TOKEN"}) {
    const std::string cmd = std::string(KIVO_BINARY) + " -v=" + installation() + "/00/0LA/Data/" + f + ".dat";
    const int st = system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << cmd;
  }
}

// Each system record with its number (area kind x 1,000,000 + sequence),
// size and file-system type 0, never opened.
TEST_F(SysDictionary, SystemRecordsHaveTheirNumbersAndSizes) {
  const std::tuple<const char*, uint32_t, uint16_t> rows[] = {
      {"OUTDFLT ", 8000001, 660}, {"INDEX   ", 1, 312}, {"INTRPT  ", 1000001, 4},   {"SYS04   ", 4, 4},
      {"DBAPPL  ", 4000001, 40},  {"SYS06   ", 5, 4},   {"PROCWORK", 7000001, 700}, {"SYS08   ", 6, 4},
      {"DBAREA  ", 4000002, 132}, {"SYS10   ", 7, 4},   {"PROCID  ", 2, 48},        {"SYS12   ", 8, 4},
      {"PCFDFLT ", 5000001, 4},   {"SYS14   ", 9, 4},   {"QRYMODE ", 9000001, 4},   {"USERID  ", 12000001, 4},
      {"RANGE   ", 3, 4}};
  for (auto [file, number, size] : rows) {
    ASSERT_TRUE(files_.count(file)) << file;
    const uint8_t* f = files_[file].data();
    EXPECT_EQ(ld_le32(f, FI_NUMBER), number) << file;
    EXPECT_EQ(ld_le16(f, FI_REC_LEN), size) << file;
    EXPECT_EQ(f[FI_FS_TYPE], 0) << file;
    EXPECT_EQ(f[FI_CLASS] | f[FI_CLASS + 1] | f[FI_CLASS + 2], 0) << file;
  }
  // The work files' numbers are of kind 0, drawn after the fixed ones.
  for (const char* file : {"ENTRY   ", "ERROR   ", "XLATE   ", "QPARM   ", "QSLCT   ", "QSORT   ", "QTAG    "}) {
    ASSERT_TRUE(files_.count(file)) << file;
    EXPECT_LT(ld_le32(files_[file].data(), FI_NUMBER), kAreaSpan) << file;
    EXPECT_GT(ld_le32(files_[file].data(), FI_NUMBER), 9u) << file;
  }
}

// The fields the engine addresses lie in their files (offset, size and type
// are pinned by the listing below) and carry the file's number.
TEST_F(SysDictionary, NamedFieldsLieInTheirFiles) {
  const std::pair<const char*, const char*> rows[] = {
      {"STATUS CODE", "PROCWORK"},       {"WARNINGS", "PROCWORK"}, {"OLD FI NAM", "PROCWORK"},
      {"LANGUAGE", "PROCWORK"},          {"A", "INDEX"},           {"ZI", "INDEX"},
      {"ENTRY RESTRUCT STAT1", "ENTRY"}, {"MODE", "PROCID"},       {"QUEUE", "OUTDFLT"},
      {"XLATE RESULT", "XLATE"}};
  for (auto [field, file] : rows) {
    ASSERT_TRUE(elems_.count(field)) << field;
    const uint8_t* e = elems_[field].data();
    EXPECT_EQ(name(e + ELEM_FILE, 8), file) << field;
    EXPECT_EQ(ld_le32(e, ELEM_NUMBER),
              ld_le32(files_[(std::string(file) + "        ").substr(0, 8)].data(), FI_NUMBER));
  }
  EXPECT_EQ(elems_["STATUS CODE"][ELEM_SIGNED], '1');
  // The query files' keys are the groups over their key fields.
  const uint8_t* qslct = files_["QSLCT   "].data();
  EXPECT_EQ(qslct[FI_NKEYS], 1);
  EXPECT_EQ(qslct[FI_KEY_SEGS], 5);
  EXPECT_EQ(ld_le16(qslct, FI_KEY_LEN), 40);
}

// INITIAL: alpha fields blank, numbers zero.
TEST_F(SysDictionary, InitialRecordsHoldBlanksAndZeros) {
  std::vector<uint8_t> procwork;
  for (auto& r : records(DF_INITIAL, "00", "0LA"))
    if (memcmp(r.data(), "PROCWORK", 8) == 0 && r[INIT_KIND] == INIT_VALUES)
      procwork.assign(r.begin() + INIT_DATA, r.end());
  ASSERT_EQ(procwork.size(), 700u);
  EXPECT_EQ(ld_le32(procwork.data(), 8), 0u);
  EXPECT_EQ(std::string(procwork.begin() + 76, procwork.begin() + 84), "        ");
  EXPECT_EQ(procwork[664], ' ');
  std::vector<uint8_t> index;
  for (auto& r : records(DF_INITIAL, "00", "0LA"))
    if (memcmp(r.data(), "INDEX   ", 8) == 0 && r[INIT_KIND] == INIT_VALUES)
      index.assign(r.begin() + INIT_DATA, r.end());
  ASSERT_EQ(index.size(), 312u);
  EXPECT_EQ(index[7], 0x0C);  // packed zero
  EXPECT_EQ(ld_le32(index.data(), 308), 0u);
}

// The runtime's option names: each logical key's name gives its code, a
// code its first name.
TEST_F(SysDictionary, OptionNamesGiveTheirCodes) {
  token_fill_hooks();  // the installation's TOKEN rather than the fixture's table
  tm_for_each_key_name(
      [](void*, const char* n, uint16_t c) { EXPECT_EQ(ut_get_opt(const_cast<char*>(n), strlen(n), 0), c) << n; },
      nullptr);
  char name[kOptNameLen + 1];
  EXPECT_TRUE(ut_get_opt(name, 0, 274) == 13 && strcmp(name, "EMERGENCY END") == 0) << name;
}

// One line per element: name, number, offset, size, type, occurrences.
TEST_F(SysDictionary, ListingMatchesTheGolden) {
  const std::string got = design_element_listing("0LA", "00", kScope);
  const char* path = "tests/design/sys_dictionary_golden.txt";
  if (getenv("KIVO_UPDATE_GOLDEN")) std::ofstream(std::string(KIVO_SOURCE_DIR) + "/" + path) << got;
  EXPECT_EQ(got, read_text(path));
}

}  // namespace
}  // namespace kivo::test

// Field translation of records read from a native data file whose structure
// file was made from its design records, through the built-in
// pseudo-languages (no translation subroutine is loaded).
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <utility>

#include "../fixtures/hook_override.h"
#include "fm/dict_records.h"
#include "fm/fm_xlate.h"
#include "fm/struct_file.h"
#include "fm_native_util.h"
#include "foundation/com.h"
#include "types/cnv.h"
#include "types/element.h"
#include "types/typed_value.h"
#include "types/types.h"

namespace kivo::test {
namespace {

constexpr uint16_t kLen = 72;
// The fields of "XLT": name, kind, type, offset, size, occurs, translation
// bytes. Translated under "UPC": 8-17, 26-57 and 64-71.
struct fld {
  const char* name;
  uint8_t kind, type;
  uint16_t off, size, occurs;
  char xl;
  uint8_t next;
};
const fld kFields[] = {
    {"ID", 1, 1, 0, 8, 1, '0', 0},     {"TEXT", 1, 1, 8, 10, 1, '1', 0}, {"GROUP", 2, 1, 8, 10, 1, '1', 0},
    {"NUM", 1, 5, 18, 4, 1, '1', 0},   {"DATE", 1, 3, 22, 4, 1, '1', 0}, {"OCC", 1, 1, 26, 4, 3, '1', 0},
    {"TAIL", 1, 1, 38, 20, 1, '1', 0}, {"BLK", 1, 1, 58, 6, 1, '1', 1},  {"BIG", 1, 1, 64, 3000, 1, '1', 0},
};
const char kRec[] = "idxxxxxxhello wrldnumbdateocc1occ2occ3tail text here...zzblockedbig tail";
static_assert(sizeof kRec - 1 == kLen);

bool translated(size_t i) { return (i >= 8 && i < 18) || (i >= 26 && i < 58) || i >= 64; }

class FieldTranslation : public NativeFm {
 protected:
  void SetUp() override {
    NativeFm::SetUp();
    write_sysadm({entry("DB1", "XLT", 1)});
    uint8_t* file = blank_rec(kFileRecSize, 0, "XLT");
    st_le32(file, FI_NUMBER, 1), st_le32(file, FI_NUMBER2, 1), st_le32(file, FI_STAMP, 7);
    st_le32(file, FI_STAMP + 4, 8), st_le32(file, FI_STRUCT, 100), st_le32(file, FI_STRUCT + 4, 200);
    write_sa(INIT_DFI_FDB, {file}, kFileRecSize);
    write_sa(INIT_DINIT_FDB, {blank_rec(20, 0, "XLT")}, 20);
    auto e = [this](uint32_t i) {
      const fld& f = kFields[i];
      uint8_t* r = blank_rec(kElementSize, ELEM_FILE, "XLT");
      memcpy(r + ELEM_NAME, f.name, strlen(f.name));
      r[ELEM_KIND] = f.kind, r[ELEM_TYPE] = f.type, r[ELEM_XLATE] = f.xl, r[ELEM_XLATE_NEXT] = f.next;
      st_le16(r, ELEM_OFFSET, f.off), st_le16(r, ELEM_SIZE, f.size), st_le16(r, ELEM_OCCURS, f.occurs);
      st_le32(r, ELEM_SEQ, i), st_le32(r, ELEM_BINARIES, i), st_le32(r, ELEM_STAMP, 7), st_le32(r, ELEM_STAMP + 4, 8);
      return r;
    };
    write_sa(INIT_DELEM_FDB, {e(0), e(1), e(2), e(3), e(4), e(5), e(6), e(7), e(8)}, kElementSize);
  }
  // Opens (creating first when asked) "XLT" with its structure check.
  ARB* xlt(bool make, uint8_t fs = FS_DISK) {
    test_file t("XLT", 1, kLen);
    t.fdb.fdb_fs_type = fs;
    if (make)
      return FM_CREATE(&t.fdb, com.sys_scope, 0, LFB_ANY_DIR | LFB_OPEN_NEW, 0x0f, 0x0f) ? t.fdb.fdb_arb : nullptr;
    return FM_OPEN(&t.fdb, com.sys_scope, LFB_ANY_DIR, 0x0f, 0x0f) ? t.fdb.fdb_arb : nullptr;
  }
  int write(ARB* a, const char* rec, uint16_t len) {
    memcpy(io_, rec, len);
    a->arb_rec = io_, a->arb_var_len = len;
    return fm_write(a);
  }
  // Reads "idxxxxxx" into io_ (or, in locate mode, wherever the read says).
  std::string read(ARB* a, uint16_t mod = 0) {
    memset(io_, '#', sizeof io_);
    memcpy(io_, kRec, 8);
    a->arb_rec = io_, a->arb_len = kLen, a->arb_keyno = 0, a->arb_key = nullptr;
    a->arb_mod = ARB_EQUAL | mod, a->arb_lock_wait = 0;
    int r = fm_read(a);
    a->arb_mod = 0;
    return r ? std::string(reinterpret_cast<char*>(a->arb_rec), a->arb_var_len) : "failed";
  }
  uint8_t io_[kLen] = {};
};

std::string expect(int (*conv)(int)) {
  std::string s(kRec);
  for (size_t i = 0; i < s.size(); ++i)
    if (conv && translated(i)) s[i] = static_cast<char>(conv(s[i]));
  return s;
}
int swp(int c) { return isupper(c) ? tolower(c) : toupper(c); }

TEST_F(FieldTranslation, DerivedLanguageChoosesWhatIsRead) {
  ARB* a = xlt(true);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(write(a, kRec, kLen), 1);
  // "SWP" shows each field translated once: the group over TEXT is no field.
  const struct {
    const char *base, *derived;
    int (*conv)(int);
  } rows[] = {{"ENG", "UPC", [](int c) { return toupper(c); }},
              {"ENG", "SWP", swp},
              {"ENG", "LWC", nullptr},
              {"ENG", "ENG", nullptr},
              {"   ", "UPC", nullptr},
              {"ENG", nullptr, nullptr},
              {"ENG", "FRA", nullptr}};
  for (const auto& r : rows) {
    EXPECT_EQ(fm_set_lang(a, r.base, r.derived), 1);
    EXPECT_EQ(read(a), expect(r.conv)) << r.base << "/" << (r.derived ? r.derived : "null");
  }
  FM_CLOSE(a, 0);
}

// What a translating handle writes goes to the file in the base language;
// the caller's record stays as it gave it.
TEST_F(FieldTranslation, ARecordWrittenThroughATranslatingHandleIsStoredInItsBaseLanguage) {
  ARB* a = xlt(true);
  ARB* plain = xlt(false);
  ASSERT_TRUE(a && plain);
  fm_set_lang(a, "ENG", "SWP");
  const std::string shown = expect(swp);
  ASSERT_EQ(write(a, shown.c_str(), kLen), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(io_), kLen), shown);
  EXPECT_EQ(read(plain), kRec);
  EXPECT_EQ(read(a, ARB_HOLD), shown);
  io_[kLen - 1] = 'X';  // a change of BIG, which the rewrite stores swapped back
  ASSERT_EQ(fm_rewrite(a), 1);
  EXPECT_EQ(io_[kLen - 1], 'X');
  std::string want = kRec;
  want[kLen - 1] = 'x';
  EXPECT_EQ(read(plain), want);
  FM_CLOSE(plain, 0);
  FM_CLOSE(a, 0);
}

TEST_F(FieldTranslation, ShortRecordTailIsTranslatedAndLengthSetToItsText) {
  ARB* a = xlt(true);
  ASSERT_NE(a, nullptr);
  // TAIL (38, 20 bytes) holds "tail t" and two blanks; BLK and BIG lie past it.
  std::string rec = std::string(kRec, 38) + "tail t  ";
  ASSERT_EQ(write(a, rec.c_str(), 46), 1);
  fm_set_lang(a, "ENG", "UPC");
  std::string want = expect([](int c) { return toupper(c); }).substr(0, 38) + "TAIL T";
  EXPECT_EQ(read(a), want);
  EXPECT_EQ(a->arb_var_len, 44);
  FM_CLOSE(a, 0);
}

TEST_F(FieldTranslation, LocateReadTranslatesAPrivateCopy) {
  ARB* disk = xlt(true);  // gives the path its structure file
  ASSERT_NE(disk, nullptr);
  FM_CLOSE(disk, 0);
  ARB* a = xlt(true, FS_MEMORY);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(write(a, kRec, kLen), 1);
  ARB* b = xlt(false, FS_MEMORY);
  ASSERT_NE(b, nullptr);
  fm_set_lang(a, "ENG", "UPC");
  EXPECT_EQ(read(a, ARB_LOCATE), expect([](int c) { return toupper(c); }));
  EXPECT_EQ(read(b, ARB_LOCATE), kRec);
  EXPECT_EQ(read(b), kRec);
  FM_CLOSE(b, 0);
  FM_CLOSE(a, 0);
}

TEST_F(FieldTranslation, MapFromStructureFile) {
  ARB* a = xlt(true);
  ASSERT_NE(a, nullptr);
  FM_CLOSE(a, 0);
  FDB_PATH p;
  INIT_DB_PATH(&p, "DB1", "TST", "00", "XLT", PATH_DATA);
  xlate_map m;
  const uint32_t stamp[2] = {100, 200};
  ASSERT_EQ(fm_bld_map(&m, p, stamp, bld_lang_map_helper), 1);
  // The group is left out; OCC gives three entries.
  std::string got;
  for (const xlate_ent& e : m.ents)
    got += std::string(e.name, strcspn(e.name, " ")) + "@" + std::to_string(e.off) + "#" + std::to_string(e.occ) +
           (e.xlat ? "+ " : " ");
  EXPECT_EQ(got, "ID@0#0 TEXT@8#0+ NUM@18#0 DATE@22#0 OCC@26#0+ OCC@30#1+ OCC@34#2+ TAIL@38#0+ BLK@58#0 BIG@64#0+ ");
  EXPECT_TRUE(m.any);
  EXPECT_EQ(m.ents.back().num, 9u);
  const uint32_t other[2] = {101, 200};
  EXPECT_EQ(fm_bld_map(&m, p, other, bld_lang_map_helper), 0);  // another stamp
  INIT_DB_PATH(&p, "DB1", "TST", "00", "NONE", PATH_DATA);
  EXPECT_EQ(fm_bld_map(&m, p, nullptr, bld_lang_map_helper), 0);
}

TEST_F(FieldTranslation, SingleValuesAndTheLog) {
  std::string log = data_ + "/xlate.log";
  setenv("KIVO_XLATE_LOG", log.c_str(), 1);
  const struct {
    const char *base, *derived, *fn, *in, *out;
  } rows[] = {{"ENG", "SWP", "DTOB", "Ab c  ", "aB C  "},
              {"ENG", "ENG", "BTOD", "Ab c", "Ab c"},
              {"ENG", "UPC", "BTOD", "", ""}};
  for (const auto& r : rows) {
    std::string v = r.in;
    fm_xlate_fld(r.base, r.derived, reinterpret_cast<uint8_t*>(v.data()), v.size(), "TST", "00",
                 "FIELD                 ", r.fn, XLATE_KIND_WORK);
    EXPECT_EQ(v, r.out);
  }
  ARB* a = xlt(true);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(write(a, kRec, kLen), 1);
  fm_set_lang(a, "ENG", "UPC");
  read(a);
  FM_CLOSE(a, 0);
  unsetenv("KIVO_XLATE_LOG");
  std::ifstream in(log);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  for (const char* line : {"DTOB - work fld  - fld_len = 6, txt_len = 4\n  TST/00/        /FIELD                 \n",
                           "  Base = ENG, Derived = SWP\n  Source = Ab c\n  Result = Ab c\n  status = 0\n",
                           "BTOD - record    - fld_len = 4, txt_len = 4\n  TST/00/XLT     /OCC                   \n",
                           "BTOD - record    - fld_len = 8, txt_len = 8\n", "  Source = big tail\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n---\n" << text;
}

// A conversion block with a translation key goes through the file manager's
// translation from the key's language into the session's, as a work field.
TEST_F(FieldTranslation, ConversionBlockThroughTheHook) {
  const struct {
    const char *lang, *session, *fn, *in, *out;
  } rows[] = {{"ENG", "SWP", "BTOD", "Ab c", "aB C"},
              {"ENG", "UPC", "DTOB", "ab", "AB"},
              {"ENG", "ENG", "BTOD", "Ab", "Ab"},
              {"ENG", "   ", "BTOD", "Ab", "Ab"},
              {"   ", "UPC", "BTOD", "Ab", "Ab"}};
  char kept[3];
  memcpy(kept, com.lang_id, 3);
  kivo_test::scoped_hook xlate(types_hooks.xlate_fld, fm_xlate_cnv);
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.lang) + " to " + r.session);
    CNV c{};
    c.cnv_type = ELEM_ALP;
    ASSERT_EQ(cv_set_xlate(&c, r.lang, "TST", "00", "FIELD                 ", 1), 1);
    memcpy(com.lang_id, r.session, 3);
    std::string v = r.in;
    EXPECT_EQ(cv_xlate_fld(&c, r.fn, v.data(), static_cast<int>(v.size())), 1);
    EXPECT_EQ(v, r.out);
  }
  memcpy(com.lang_id, kept, 3);
}

}  // namespace
}  // namespace kivo::test

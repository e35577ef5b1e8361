// Opening, attaching and closing memory files through the file manager:
// shared physical files, undo of failed opens, file-process events and the
// clean-up of scopes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "../fixtures/hook_override.h"
#include "compiler/compiler.h"
#include "fm/fm.h"
#include "fm/fm_dump.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/memfile.h"
#include "fm_objects_test_util.h"
#include "fm_started.h"
#include "foundation/end_codes.h"
#include "foundation/scope.h"
#include "interp/interp.h"
#include "process/process.h"

namespace kivo::test {
namespace {

struct event {
  uint8_t ep;
  uint32_t hook, proc, mark;
  uint16_t depth;
};
std::vector<event> g_events;
PFB* g_watch;
int g_pl_result;
uint32_t g_close_code;  // end code event point 6 leaves with, 0 = none
uint32_t g_load_scope;  // the scope the last load was asked for
int g_released;
FM_PROC g_proc;

// A stand-in for the process engine: a process for every file (unless
// g_pl_result is 0) whose event points are recorded.
FM_PROC* load_double(const FDB_PATH&, uint32_t scope) {
  g_load_scope = scope;
  return g_pl_result ? &g_proc : nullptr;
}
uint32_t run_double(FM_PROC*, uint8_t ep, uint8_t*) {
  g_events.push_back(
      {ep, com.hook_scope, com.proc_scope, com.mark_scope, uint16_t(g_watch ? g_watch->pfb_event_depth : 0)});
  if (ep == EP_FILE_CLOSE && g_close_code) mark_leave(g_close_code);
  return PI_END_NORMAL;
}

// A memory file of 20-byte records, keys 0 (0:4) and 1 (4:4), application
// "APP"; the memory name ignores the version, so versions are paths to it.
struct mem_desc : owned_fdb {
  explicit mem_desc(const char* name, const char* ver = "00", uint32_t owner = 0)
      : owned_fdb(20, {{0, '+', {{0, 4}}}, {1, '+', {{4, 4}}}}) {
    fdb.fdb_fs_type = FS_MEMORY;
    INIT_TMP_PATH(&fdb.path, "APP", ver, name, owner);
  }
};

size_t length(const ut_list& l, size_t link_off) {
  size_t n = 0;
  for (void* e = l.head; e; e = ut_link_at(e, link_off)->next) ++n;
  return n;
}

class FmOpenBase : public FmStarted {
 protected:
  void SetUp() override {
    FmStarted::SetUp();
    g_events.clear();
    g_watch = nullptr;
    g_pl_result = 1;
    g_close_code = 0;
    g_released = 0;
    g_proc = {};
    hooks_.set(fm_proc_hooks.load, load_double);
    hooks_.set(fm_proc_hooks.prepare, [](FM_PROC*, const FM_PROC_EVENT&) {});
    hooks_.set(fm_proc_hooks.run, run_double);
    hooks_.set(fm_proc_hooks.release, [](FM_PROC*) { ++g_released; });
  }
  void TearDown() override {
    hooks_.restore();
    FmStarted::TearDown();
  }
  kivo_test::hook_overrides hooks_;

  static ARB* create(mem_desc& d, uint32_t scope, uint32_t opt = LFB_OPEN_NEW) {
    return FM_CREATE(&d.fdb, scope, 0, opt, 0x0f, 0x0f) ? d.fdb.fdb_arb : nullptr;
  }
  // A create that leaves the file closed.
  static bool make(mem_desc& d, uint32_t scope, uint32_t opt = 0) {
    return FM_CREATE(&d.fdb, scope, 0, opt, 0x0f, 0x0f);
  }
  static ARB* open(mem_desc& d, uint32_t scope, uint32_t opt = 0) {
    return FM_OPEN(&d.fdb, scope, opt, 0x0f, 0x0f) ? d.fdb.fdb_arb : nullptr;
  }
  static LFB* lfb_of(ARB* a) { return a->arb_sarb->sarb_cur_strm->strm_lfb; }
  static PFB* pfb_of(ARB* a) { return lfb_of(a)->lfb_pfb; }

  // Control records, pool blocks and object lists: what a failure must not change.
  struct state {
    uint32_t pfbs, lfns, blocks;
    size_t marbs, pfb_list, scopes;
    bool operator==(const state&) const = default;
  };
  static state now() {
    return {ctl_count_pfb(),
            ctl_count_lfn(),
            mm_total_blocks(),
            length(fm_marb_list, offsetof(MARB, marb_all)),
            length(fm_pfb_list, offsetof(PFB, pfb_all)),
            length(fm_scope_list, offsetof(FM_SCOPE, in_list))};
  }
  void expect_unchanged(const std::function<void()>& failing) {
    state before = now();
    failing();
    EXPECT_TRUE(now() == before);
  }
};

using FmOpen = FmOpenBase;
using FmOpenUndo = FmOpenBase;
using FmFileEvents = FmOpenBase;
using FmScopeClear = FmOpenBase;
using FmDumps = FmOpenBase;

// Two opens share one PFB, of one path or of two paths to one file (each
// path its own LFN), until the last close takes both paths with it.
TEST_F(FmOpen, OpensOfOneFileShareOnePfbFreedAtTheLastClose) {
  for (const char* name : {"SHARED", "TWOPATH"}) {
    bool two = name[0] == 'T';
    mem_desc v0(name, "00"), v1(name, two ? "01" : "00");
    state before = now();
    ARB* a = create(v0, 2);
    ARB* b = open(v1, 2);
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(pfb_of(a), pfb_of(b));
    EXPECT_EQ(pfb_of(a)->pfb_users, 2);
    EXPECT_EQ(lfb_of(a)->lfb_lfn != lfb_of(b)->lfb_lfn, two) << name;
    EXPECT_EQ(ctl_count_lfn(), before.lfns + (two ? 2 : 1)) << name;
    EXPECT_EQ(FM_CLOSE(a, 0), 1);
    EXPECT_EQ(ctl_count_pfb(), before.pfbs + 1);
    EXPECT_EQ(FM_CLOSE(b, 0), 1);
    EXPECT_EQ(ctl_count_pfb(), before.pfbs);
    EXPECT_EQ(ctl_count_lfn(), before.lfns) << name;
  }
}

// The records of a memory file outlive the PFB of its last close: opened
// again, it is read and written by the keys they were indexed by, and a
// descriptor that disagrees with them is refused.
TEST_F(FmOpen, AMemoryFileOpenedAfterItsLastCloseKeepsItsRecordsKeys) {
  mem_desc d("AGAIN");
  ARB* a = create(d, 2);
  ASSERT_TRUE(a);
  uint8_t rec[20] = "key0val0";
  for (char c : {'1', '2', '3'}) {
    rec[3] = rec[7] = static_cast<uint8_t>(c);
    a->arb_rec = rec, a->arb_var_len = 20;
    ASSERT_EQ(fm_write(a), 1);
  }
  ASSERT_EQ(FM_CLOSE(a, 0), 1);
  const std::pair<std::function<void(mem_desc&)>, uint32_t> rows[] = {
      {[](mem_desc&) {}, 0},
      {[](mem_desc& e) { e.fdb.fdb_nkeys = 1; }, FM_NKEYS_DIFF},
      {[](mem_desc& e) { e.sdb[1].sdb_len = 3; }, FM_SEG_DIFF},
      {[](mem_desc& e) { e.fdb.fdb_rec_len = 30; }, FM_REC_LEN_DIFF},
  };
  for (auto& [change, code] : rows) {
    mem_desc e("AGAIN");
    change(e);
    ARB* b = open(e, 2);
    EXPECT_EQ(e.fdb.fdb_stat, code);
    if (!b) continue;
    memcpy(rec, "key9val2", 8);
    b->arb_rec = rec, b->arb_len = 20, b->arb_keyno = 1, b->arb_mod = ARB_EQUAL;
    EXPECT_EQ(fm_read(b), 1);
    EXPECT_EQ(memcmp(rec, "key2val2", 8), 0);
    b->arb_mod = 0, b->arb_var_len = 20;
    EXPECT_EQ(fm_write(b), 0);  // key 0 "key2" is there
    EXPECT_EQ(b->arb_stat, FM_DUP_KEY);
    ASSERT_EQ(FM_CLOSE(b, 0), 1);
  }
}

TEST_F(FmOpen, StreamOnlyCloseLeavesTheLfbAndPfbAndRunsNoEndEvent) {
  mem_desc d("STRMONLY");  // at the session level: the start event's own level clears nothing of it
  ASSERT_TRUE(make(d, 1));
  ARB* a = open(d, 1, LFB_FILE_PROC);
  ASSERT_TRUE(a);
  LFB* lfb = lfb_of(a);
  PFB* pfb = lfb->lfb_pfb;
  uint32_t pfbs = ctl_count_pfb();
  EXPECT_EQ(FM_CLOSE(a, ARB_STRM_ONLY), 1);
  EXPECT_EQ(pfb->pfb_lfb.head, lfb);
  EXPECT_EQ(pfb->pfb_users, 1);
  EXPECT_EQ(ctl_count_pfb(), pfbs);
  ASSERT_EQ(g_events.size(), 1u);
  EXPECT_EQ(g_events[0].ep, EP_FILE_OPEN);
}

TEST_F(FmOpen, DetachingTheHandleAnOpenReturnedGives200420AndChangesNothing) {
  mem_desc d("DETACH");
  ARB* a = create(d, 2);
  ASSERT_TRUE(a);
  STRM* cur = a->arb_sarb->sarb_cur_strm;
  expect_unchanged([&] { EXPECT_EQ(fm_detach(a), 0); });
  EXPECT_EQ(a->arb_stat, FM_NOT_ATTACHED);
  EXPECT_EQ(a->arb_sarb->sarb_cur_strm, cur);
}

TEST_F(FmOpen, JoiningAFileOfAnotherStampGives200630AndKeepsTheHandleOnItsFile) {
  mem_desc a_desc("JOINA"), b_desc("JOINB"), c_desc("JOINC");
  b_desc.fdb.fdb_struct_date[0] = 5;
  ARB* h = create(a_desc, 2);
  ASSERT_TRUE(h && make(b_desc, 2) && make(c_desc, 2));
  b_desc.fdb.fdb_arb = h;
  expect_unchanged([&] { EXPECT_FALSE(open(b_desc, 2, LFB_JOIN)); });
  EXPECT_EQ(b_desc.fdb.fdb_stat, FM_STAMP_DIFF);
  EXPECT_EQ(memcmp(fm_path(h)->fdb_name, "JOINA", 5), 0);
  c_desc.fdb.fdb_arb = h;
  ASSERT_EQ(open(c_desc, 2, LFB_JOIN), h);  // the same stamp joins
  EXPECT_EQ(memcmp(fm_path(h)->fdb_name, "JOINC", 5), 0);
}

TEST_F(FmOpen, AttachWithAKeyRangeSetsTheKeyPathInheritsKeepPosAndCopiesTheLanguage) {
  mem_desc d("ATTACH");
  ARB* h = create(d, 2);
  ASSERT_TRUE(h);
  h->arb_mod = ARB_KEEP_POS | ARB_HOLD;
  memcpy(h->arb_lang, "ENG", 3);
  memcpy(h->arb_xlate, "XL1", 3);
  const uint8_t lo[] = "AB";
  SCAN_REQ r{};
  r.type = SCAN_KEY;
  r.keyno = 1;
  r.lo = lo;
  r.lo_len = 2;
  FAD fad{&r, nullptr};
  ARB* a = FM_ATTACH(h, &fad, 2);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->arb_keyno, 1);
  EXPECT_EQ(a->arb_mod, ARB_KEEP_POS);
  EXPECT_EQ(memcmp(a->arb_lang, "ENG", 3), 0);
  EXPECT_EQ(memcmp(a->arb_xlate, "XL1", 3), 0);
  EXPECT_EQ(a->arb_sarb->sarb_cur_strm->strm_keyno, 1);
  EXPECT_EQ(a->arb_sarb->sarb_fscb->fscb_lo_len, 2);
  EXPECT_EQ(fm_detach(a), 1);
}

TEST_F(FmOpen, ABlankNameGetsAUniqueNameWrittenIntoTheDescriptor) {
  mem_desc a("        "), b("        ");
  ASSERT_TRUE(create(a, 2) && create(b, 2));
  std::string na(a.fdb.path.fdb_name, 8), nb(b.fdb.path.fdb_name, 8);
  EXPECT_NE(na, nb);
  EXPECT_EQ(na.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_EQ(std::stoul(nb, nullptr, 16), std::stoul(na, nullptr, 16) + 1);
  EXPECT_EQ(a.fdb.fdb_opt & (LFB_ANY_DIR | LFB_NO_STRUCT_CHK), LFB_ANY_DIR | LFB_NO_STRUCT_CHK);
}

TEST_F(FmOpen, VerifyPfbReportsTheFirstDifferenceInItsOrder) {
  struct row {
    const char* what;
    std::function<void(mem_desc&)> change;
    uint32_t code;
  };
  const std::vector<row> rows = {
      {"same", [](mem_desc&) {}, 0},
      {"record length before key order", [](mem_desc& d) { d.fdb.fdb_rec_len = 30, d.kdb[0].kdb_order = '-'; },
       FM_REC_LEN_DIFF},
      {"variable length", [](mem_desc& d) { d.fdb.fdb_var = 1; }, FM_VAR_DIFF},
      {"format byte", [](mem_desc& d) { d.fdb.fdb_fmt = 1; }, FM_FMT_DIFF},
      {"organisation", [](mem_desc& d) { d.fdb.fdb_org = ORG_SEQUENTIAL; }, FM_ORG_DIFF},
      {"key count", [](mem_desc& d) { d.fdb.fdb_nkeys = 1; }, FM_NKEYS_DIFF},
      {"key number", [](mem_desc& d) { d.kdb[1].kdb_keyno = 7; }, FM_KEY_NO_DIFF},
      {"key order", [](mem_desc& d) { d.kdb[1].kdb_order = '-'; }, FM_KEY_ORDER_DIFF},
      {"segment count", [](mem_desc& d) { d.kdb[1].kdb_nsegs = 0; }, FM_NSEGS_DIFF},
      {"segment length", [](mem_desc& d) { d.sdb[1].sdb_len = 3; }, FM_SEG_DIFF},
      {"segment order", [](mem_desc& d) { d.sdb[1].sdb_order = '-'; }, FM_SEG_DIFF},
      {"blank order in a + key", [](mem_desc& d) { d.sdb[1].sdb_order = ' '; }, 0},
      {"key map", [](mem_desc& d) { std::swap(d.kdb[0], d.kdb[1]); }, FM_KEY_MAP_DIFF},
  };
  mem_desc base("VERIFY");
  PFB* pfb = create_pfb(&base.fdb);
  ASSERT_TRUE(pfb);
  for (const row& r : rows) {
    mem_desc d("VERIFY");
    r.change(d);
    d.fdb.fdb_stat = 0;
    EXPECT_EQ(verify_pfb(&d.fdb, pfb), r.code == 0) << r.what;
    EXPECT_EQ(d.fdb.fdb_stat, r.code) << r.what;
  }
  free_pfb_block(pfb);
}

int fail_slot(ARB* arb, STRM*) {
  arb->arb_stat = FM_IO_ERR;
  return 0;
}
int fail_alloc_fi(LFB* lfb, const uint8_t*, const uint8_t*) {
  lfb->lfb_stat = FM_NO_SPACE;
  return 0;
}

TEST_F(FmOpenUndo, AMismatchingPfbFoundByIdentityLeavesNothingBehind) {
  mem_desc v0("MISMATCH", "00"), v1("MISMATCH", "01");
  v1.fdb.fdb_rec_len = 30;
  ASSERT_TRUE(create(v0, 2));
  expect_unchanged([&] { EXPECT_FALSE(open(v1, 2)); });
  EXPECT_EQ(v1.fdb.fdb_stat, FM_REC_LEN_DIFF);
}

TEST_F(FmOpenUndo, AFailingAttachSlotLeavesNothingBehind) {
  mem_desc d("NOATTACH");
  mm_fms_fn.attach = fail_slot;
  expect_unchanged([&] { EXPECT_FALSE(create(d, 2)); });
  EXPECT_EQ(d.fdb.fdb_stat, FM_IO_ERR);
}

TEST_F(FmOpenUndo, AFailingAllocFiLeavesNothingBehindForANewOrASharedFile) {
  mem_desc d("NOALLOC"), again("NOALLOC");
  ASSERT_TRUE(create(d, 2));
  mm_fms_fn.alloc_fi = fail_alloc_fi;
  mem_desc fresh("NOALLOC2");
  expect_unchanged([&] { EXPECT_FALSE(create(fresh, 2)); });
  expect_unchanged([&] { EXPECT_FALSE(open(again, 2)); });
  EXPECT_EQ(again.fdb.fdb_stat, FM_NO_SPACE);
}

TEST_F(FmOpenUndo, AFailingJoinLeavesTheGroupAndTheControlFilesAsTheyWere) {
  mem_desc a("JOINFA"), b("JOINFB");
  ARB* h = create(a, 2);
  FAD fad{};
  ARB* second = FM_ATTACH(h, &fad, 2);
  ASSERT_TRUE(h && second && make(b, 2));
  STRM* cur = second->arb_sarb->sarb_cur_strm;
  b.fdb.fdb_arb = h;
  mm_fms_fn.attach = fail_slot;
  expect_unchanged([&] { EXPECT_FALSE(open(b, 2, LFB_JOIN)); });
  EXPECT_EQ(second->arb_sarb->sarb_cur_strm, cur);
  EXPECT_EQ(length(lfb_of(h)->lfb_strm, offsetof(STRM, strm_in_lfb)), 2u);
}

// Runs a test body at level 2, where its files' owner scope is.
void at_level_2(std::function<void()> body) { EXPECT_EQ(MARK(MARK_PROCESS, body), PI_END_NORMAL); }

TEST_F(FmFileEvents, StartRunsOncePerPfbAndEndOnceAtTheLastCloseUnderAFileEventLevel) {
  at_level_2([&] {
    mem_desc d("EVENTS", "00", 2);
    ASSERT_TRUE(make(d, 2, LFB_SCOPED));
    ARB* a = open(d, 2, LFB_SCOPED | LFB_FILE_PROC | LFB_DEFER);
    ASSERT_TRUE(a);
    g_watch = pfb_of(a);
    EXPECT_TRUE(g_events.empty());  // deferred: nothing activated yet
    ARB* b = open(d, 2, LFB_SCOPED | LFB_FILE_PROC);
    ASSERT_TRUE(b);
    FAD fad{};
    ARB* c = FM_ATTACH(b, &fad, 2);
    for (ARB* x : {a, b, c}) EXPECT_EQ(fm_actv(x, x->arb_sarb->sarb_cur_strm), 1);
    FM_CLOSE(a, 0);
    ASSERT_EQ(g_events.size(), 1u);
    FM_CLOSE(b, 0);
    ASSERT_EQ(g_events.size(), 2u);
    for (const event& e : g_events) {
      EXPECT_EQ(e.hook, 2u);
      EXPECT_EQ(e.proc, 2u);
      EXPECT_EQ(e.mark, 3u);
      EXPECT_EQ(e.depth, 1);
    }
    EXPECT_EQ(g_events[0].ep, EP_FILE_OPEN);
    EXPECT_EQ(g_events[1].ep, EP_FILE_CLOSE);
    EXPECT_EQ(g_watch->pfb_proc, nullptr);
  });
}

TEST_F(FmFileEvents, AFileWithoutItsProcessRunsNoEventAndLosesTheFileProcessBit) {
  g_pl_result = 0;
  mem_desc d("NOPROC");
  ASSERT_TRUE(make(d, 2));
  ARB* a = open(d, 2, LFB_FILE_PROC);
  ASSERT_TRUE(a);
  EXPECT_EQ(lfb_of(a)->lfb_opt & LFB_FILE_PROC, 0u);
  EXPECT_EQ(pfb_of(a)->pfb_proc, nullptr);
  FM_CLOSE(a, 0);
  EXPECT_TRUE(g_events.empty());
}

TEST_F(FmFileEvents, TheProcessIsLoadedForItsOwnerScopeAndReleasedOnceAtTheLastClose) {
  at_level_2([&] {
    mem_desc d("SHRDATA", "00", 2);
    ASSERT_TRUE(make(d, 2, LFB_SCOPED));
    ARB* a = open(d, 2, LFB_SCOPED | LFB_FILE_PROC);
    ARB* b = open(d, 2, LFB_SCOPED | LFB_FILE_PROC);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(pfb_of(a)->pfb_proc, &g_proc);
    EXPECT_EQ(g_load_scope, 2u);
    FM_CLOSE(a, 0);
    EXPECT_EQ(g_released, 0);
    FM_CLOSE(b, 0);
    EXPECT_EQ(g_released, 1);
  });
}

TEST_F(FmScopeClear, AJumpOutOfLevelsThreeAndFourLeavesNothingOfThem) {
  state before = now();
  uint32_t rc = MARK(MARK_PROCESS, [&] {
    uint32_t inner = MARK(MARK_PROCESS, [&] {  // level 3
      mem_desc a("CLRA");
      ARB* h = create(a, 3);
      FAD fad{};
      ASSERT_TRUE(h && FM_ATTACH(h, &fad, 3));
      MARK(MARK_PROCESS, [&] {  // level 4
        mem_desc b("CLRB"), c("CLRC");
        ARB* h4 = create(c, 4);
        FAD f4{};
        ASSERT_TRUE(h4 && FM_ATTACH(h4, &f4, 4) && FM_ATTACH(h, &f4, 4) && make(b, 4));
        b.fdb.fdb_arb = h;
        ASSERT_EQ(open(b, 4, LFB_JOIN), h);
        mark_leave(PI_END_CANCEL);
      });
      mark_leave(PI_END_CANCEL);
    });
    EXPECT_EQ(inner, PI_END_CANCEL);
  });
  EXPECT_EQ(rc, PI_END_NORMAL);
  EXPECT_TRUE(now() == before);  // no system error either (TearDown)
}

TEST_F(FmScopeClear, AScopedTemporaryFileOutlivesItsLastCloseUntilItsOwnerScopeEnds) {
  mem_desc d("TEMP", "00", 2);
  uint32_t pfbs = ctl_count_pfb();
  MARK(MARK_PROCESS, [&] {  // level 2, the owner
    ASSERT_TRUE(make(d, 2, LFB_SCOPED));
    MARK(MARK_PROCESS, [&] {
      ARB* a = open(d, 3, LFB_SCOPED);
      ASSERT_TRUE(a);
      EXPECT_EQ(FM_CLOSE(a, 0), 1);
    });
    EXPECT_EQ(ctl_count_pfb(), pfbs + 1);
    d.fdb.fdb_opt = LFB_SCOPED;
    EXPECT_EQ(fm_locate(&d.fdb), 1);
  });
  EXPECT_EQ(ctl_count_pfb(), pfbs);
  EXPECT_EQ(fm_locate(&d.fdb), 0);
  EXPECT_EQ(d.fdb.fdb_stat, FM_NO_FILE);
}

// A memory file made at level 3 and opened again from level 2 while still
// open there. A scoped temporary file goes with its owner level: the outer
// open is refused, scoped or not. Any other file stays with its outer open:
// level 3 ends and the records are still read there. Before, the plain
// open joined either file, the records went with level 3 under it, and its
// close freed them a second time. Nothing is left once level 2 ends.
TEST_F(FmScopeClear, AnOpenOfAnOuterLevelKeepsAMemoryFileOrIsRefusedAScopedOne) {
  const struct {
    uint32_t owner, file_opt, open_opt;
    bool kept;
  } rows[] = {{3, LFB_SCOPED, LFB_SCOPED, false}, {3, LFB_SCOPED, 0, false}, {0, 0, 0, true}};
  for (const auto& r : rows) {
    SCOPED_TRACE(std::to_string(r.file_opt) + " opened " + std::to_string(r.open_opt));
    state before = now();
    at_level_2([&] {
      mem_desc d("OUTLIVE", "00", r.owner);
      ARB* outer = nullptr;
      MARK(MARK_PROCESS, [&] {  // level 3, left with the file open
        ARB* a = create(d, 3, r.file_opt | LFB_OPEN_NEW);
        ASSERT_TRUE(a);
        uint8_t rec[20] = "key1val1";
        a->arb_rec = rec, a->arb_var_len = 20;
        ASSERT_EQ(fm_write(a), 1);
        outer = open(d, 2, r.open_opt);
        EXPECT_EQ(outer != nullptr, r.kept);
        EXPECT_EQ(d.fdb.fdb_stat, r.kept ? 0u : uint32_t{FM_IO_ERR});
      });
      d.fdb.fdb_opt = r.file_opt;
      EXPECT_EQ(fm_locate(&d.fdb), r.kept);
      if (!outer) return;
      uint8_t rec[20] = "key1";
      outer->arb_rec = rec, outer->arb_len = 20, outer->arb_keyno = 0, outer->arb_mod = ARB_EQUAL;
      EXPECT_EQ(fm_read(outer), 1);
      EXPECT_EQ(memcmp(rec, "key1val1", 8), 0);
      outer->arb_mod = 0;
      EXPECT_EQ(FM_CLOSE(outer, 0), 1);
    });
    EXPECT_TRUE(now() == before);
    EXPECT_EQ(captured_errors(), std::vector<std::string>(r.kept ? 0 : 1, "alloc_lfb() - bad open scope"));
    captured_errors().clear();
  }
}

TEST_F(FmScopeClear, AnEndCodeTravelsOutUnchangedThroughAClearThatRanFileEvents) {
  g_close_code = PI_END_EXIT;  // the end event itself leaves its level
  uint32_t rc = MARK(MARK_PROCESS, [&] {
    mem_desc d("ENDCODE", "00", 2);
    ASSERT_TRUE(make(d, 2, LFB_SCOPED));
    ASSERT_TRUE(open(d, 2, LFB_SCOPED | LFB_FILE_PROC));
    mark_leave(PI_END_CANCEL);
  });
  EXPECT_EQ(rc, PI_END_CANCEL);
  ASSERT_EQ(g_events.size(), 2u);
  EXPECT_EQ(g_events[1].ep, EP_FILE_CLOSE);
}

TEST_F(FmScopeClear, AnOpenWhoseStreamCannotBeDetachedStaysListedForItsScopesCleanUp) {
  state before = now();
  at_level_2([&] {
    mem_desc d("NODETACH");
    ARB* a = create(d, 2);
    ASSERT_TRUE(a);
    LFB* lfb = lfb_of(a);
    mm_fms_fn.detach = fail_slot;
    EXPECT_EQ(FM_CLOSE(a, 0), 1);
    EXPECT_EQ(get_clean(2)->lfb.head, lfb);
    EXPECT_EQ(lfb->lfb_pfb->pfb_lfb.head, lfb);
    mm_fms_install();  // detaching works again by the end of the level
  });
  EXPECT_TRUE(now() == before);
}

TEST_F(FmDumps, ListingsNameTheOpenFilesAndRecordsAndTheListsCheckSound) {
  mem_desc d("DUMPME");
  ARB* a = create(d, 2);
  ASSERT_TRUE(a);
  uint8_t rec[20] = "KEY1KEY2";
  a->arb_rec = rec;
  STRM* s = a->arb_sarb->sarb_cur_strm;
  ASSERT_EQ(s->strm_fms->write(a, s), 1);
  testing::internal::CaptureStderr();
  dump_arb(nullptr, a);
  dbg_dump_all(0);
  std::string err = testing::internal::GetCapturedStderr();
  testing::internal::CaptureStdout();
  dbg_fm();
  dbg_fm_short();
  dbg_dump_fi(a, 1);
  EXPECT_EQ(dbg_fm_lst(), 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(err.find("\t\t\tpfb_fms->pfb_fms_fn_type = 2\r\n"), std::string::npos) << err;
  EXPECT_NE(err.find("keys(2), len(020), var(F) type(2) org(3)"), std::string::npos) << err;
  EXPECT_NE(err.find("APP 00 (    00) DUMPME"), std::string::npos) << err;
  EXPECT_NE(out.find("APP 00 DUMPME"), std::string::npos) << out;
  EXPECT_NE(out.find("Record number: 0001"), std::string::npos) << out;
  EXPECT_NE(out.find("KEY1KEY2"), std::string::npos) << out;
}

}  // namespace
}  // namespace kivo::test

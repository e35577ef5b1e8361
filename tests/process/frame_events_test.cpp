// The frame processor's event points in their order, with and without a
// screen: stops that skip a frame, consume an option key or keep a frame;
// the keys that end a frame; a child's 5 that starts its invoker's frame
// again; and what a frame shows after a second PCB of its process ran.
#include "compiler/em_item.h"
#include "frame_test_util.h"
#include "process/pi_internal.h"

namespace kivo::test {
namespace {

using FrameEvents = FrameFixture;
using FrameBatch = FrameFixture;

std::string events(const std::string& log, const std::string& name) {
  std::string out;
  for (size_t at = 0; (at = log.find(name + "/", at)) != std::string::npos;) {
    const size_t end = log.find(';', at);
    out += log.substr(at + name.size() + 1, end - at - name.size() - 1) + " ";
    at = end;
  }
  return out;
}

TEST_F(FrameEvents, OrderAroundAKeyAndAChild) {
  keys({LK_ENTER, LK_END});
  EXPECT_EQ(run(menu("FE MENU")), PI_END_PROCESS);
  EXPECT_EQ(events(flog, "FE MENU"), "21 22 42 23 43 44 61 62 42 23 43 25 ") << log << "/" << flog;
  EXPECT_NE(log.find("FE SUB/1"), std::string::npos) << log;
}

// Each row: the keys, the stop asked for, the menu's events and end code.
TEST_F(FrameEvents, StopsAndEndingKeys) {
  const struct {
    std::vector<uint32_t> keys;
    const char* stop;
    const char* events;
    uint32_t end;
  } rows[] = {
      {{LK_END}, "", "21 22 42 23 43 25 ", PI_END_PROCESS},
      {{LK_CANCEL}, "", "21 22 42 23 43 25 ", PI_END_CANCEL},
      // The option key is consumed: no child runs.
      {{1, LK_END}, "24", "21 22 42 23 43 24 42 23 43 25 ", PI_END_PROCESS},
      // The frame stays, ENTER invokes nothing.
      {{LK_ENTER, LK_END}, "44", "21 22 42 23 43 44 42 23 43 25 ", PI_END_PROCESS},
      // An option without a child beeps and keeps the frame.
      {{7, LK_CANCEL}, "", "21 22 42 23 43 24 42 23 43 25 ", PI_END_CANCEL},
  };
  for (const auto& r : rows) {
    flog.clear(), fstop.clear();
    g_rec.keys.clear();
    for (uint32_t k : r.keys) keys({k});
    if (*r.stop) fstop[std::string("FE MENU/") + r.stop] = [](PCB*) { return kEpStop; };
    EXPECT_EQ(run(menu("FE MENU")), r.end) << r.events;
    EXPECT_EQ(events(flog, "FE MENU"), r.events);
  }
}

// A stop at 21 skips the frame; the menu then runs it again.
TEST_F(FrameEvents, StopAtStartSkipsTheFrame) {
  int starts = 0;
  fstop["FE MENU/21"] = [&](PCB*) { return ++starts == 1 ? kEpStop : 0u; };
  keys({LK_END});
  EXPECT_EQ(run(menu("FE MENU")), PI_END_PROCESS);
  EXPECT_EQ(events(flog, "FE MENU"), "21 21 22 42 23 43 25 ");
}

// The child menu's END ends it with 5: its invoker's frame starts again,
// or, one-shot, its frame loop ends with 5.
TEST_F(FrameEvents, ChildEndingWithFiveRestartsTheFrame) {
  for (const uint8_t one_shot : {0, 1}) {
    flog.clear();
    g_rec.keys.clear();
    keys({2, LK_END, LK_END});
    INVOC v = menu("FE MENU");
    v.b[INVOC_ONE_SHOT] = one_shot;
    EXPECT_EQ(run(v), one_shot ? PI_END_MENU : PI_END_PROCESS);
    EXPECT_EQ(events(flog, "FE MENU"),
              one_shot ? "21 22 42 23 43 24 61 62 25 " : "21 22 42 23 43 24 61 62 25 21 22 42 23 43 25 ");
    EXPECT_EQ(events(flog, "FE CHILD"), "21 22 42 23 43 25 ");
  }
}

// A second PCB of the same process fills its own area; the first one's
// frame, shown again, still shows the first one's.
TEST_F(FrameEvents, ItemShowsItsOwnPcbAfterAnotherRan) {
  PCB* first = nullptr;
  // The first PCB fills its value once; the second (DETACHED, the same
  // process) its own at every show.
  fstop["FE MENU/42"] = [&](PCB* p) {
    const auto* it = reinterpret_cast<const CITM*>(reinterpret_cast<pcb_itm_ent*>(p->pcb_items)[1].rec);
    uint8_t* v = p->pcb_areas[it->citm_area] + it->citm_off;
    if (!first) first = p, memcpy(v, "PARENT  ", 8);
    if (p != first) memcpy(v, "CHILD   ", 8);
    return 0u;
  };
  keys({3, LK_END, LK_END});
  EXPECT_EQ(run(menu("FE MENU")), PI_END_PROCESS);
  ASSERT_NE(first, nullptr);
  // The window at row 2, column 2, the item on its row 4: the last show.
  EXPECT_EQ(WmSession::shown(5, 2, 8), "PARENT  ");
}

TEST_F(FrameBatch, EventsImageChoiceAndSkip) {
  const struct {
    int16_t image_no;  // written by event 22; -1 none
    const char* stop;
    uint32_t frame;
    const char* events;
    int chosen;  // image number of pcb_cur_img at 41, 0 none
  } rows[] = {
      {-1, "", 1, "21 22 41 42 43 44 25 ", 1},
      {2, "", 1, "21 22 41 42 43 44 25 ", 2},
      {9, "", 1, "21 22 41 42 43 44 25 ", 1},
      {-1, "21", 1, "21 ", 0},
      {-1, "", 2, "", 0},
  };
  for (const auto& r : rows) {
    flog.clear(), fstop.clear();
    int chosen = 0;
    uint32_t result = 0;
    if (r.image_no >= 0)
      fstop["FB ACT/22"] = [&](PCB* p) {
        uint8_t* a7 = pi_area(p, AREA_NEXT, 14);
        if (a7) st_le16(a7, 12, uint16_t(r.image_no));
        return 0u;
      };
    fstop["FB ACT/41"] = [&](PCB* p) {
      chosen = p->pcb_cur_img ? p->pcb_cur_img[CIMG_NO] : 0;
      return 0u;
    };
    if (*r.stop) fstop[std::string("FB ACT/") + r.stop] = [](PCB*) { return kEpStop; };
    eps["FB ACT/1"] = [&](PCB* p) { result = fp_exec(p, r.frame); };
    run(menu("FB ACT", PT_ACTION));
    EXPECT_EQ(events(flog, "FB ACT"), r.events) << r.image_no;
    EXPECT_EQ(chosen, r.chosen) << r.image_no;
    EXPECT_EQ(result, PI_END_NORMAL);
  }
}

TEST_F(FrameBatch, EntryFileHasRecordOne) {
  fp_init();
  ASSERT_NE(ENTRY, nullptr);
  uint8_t rec[kEntryRecLen];
  ENTRY->arb_keyno = 0, ENTRY->arb_relno = 1, ENTRY->arb_key = nullptr;
  ENTRY->arb_mod = ARB_EQUAL, ENTRY->arb_rec = rec, ENTRY->arb_len = kEntryRecLen;
  ASSERT_EQ(fm_read(ENTRY), 1);
  EXPECT_EQ(ENTRY->arb_len, kEntryRecLen);
  EXPECT_EQ(ld_le32(rec, 884), 0u);
  EXPECT_EQ(ld_le32(rec, 888), 0u);
  EXPECT_EQ(rec[531], ' ');
}

}  // namespace
}  // namespace kivo::test

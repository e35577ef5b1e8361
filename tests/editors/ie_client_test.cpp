// The graphical client's requests on the request block: the editor found,
// items moved, cut, pasted and resized with their refusals, and the lists
// of applications, files and fields.
#include "../fixtures/hook_override.h"
#include "editors/editors.h"
#include "editors/ie_gui.h"
#include "fm/fm_open.h"
#include "ie_test_util.h"

namespace kivo::test {
namespace {

using cells = std::vector<std::pair<uint32_t, uint32_t>>;

class ImageClient : public ImageEditorFixture {
 public:
  void TearDown() override {
    se_cur_context = nullptr;
    ImageEditorFixture::TearDown();
  }
  // An image editor waiting for its application (request 8 returned).
  void waiting(uint8_t n) {
    ASSERT_EQ(open(n), 1);
    ASSERT_EQ(edit({{0, 1, 1}}), IE_REQ_OPT0);
  }
  int ask(uint32_t op, uint32_t row = 0, uint32_t col = 0, uint32_t row2 = 0, uint32_t col2 = 0) {
    req = IE_GUI_REQ{};
    req.operation = op, req.row = row, req.col = col, req.row2 = row2, req.col2 = col2;
    return op <= 5 ? ie_get_info(&req) : ie_gui_edit(&req);
  }
  // Every entry of list `op`: "name|description|code".
  std::vector<std::string> list(uint32_t op, const char* ap = "", const char* name = "") {
    IE_GUI_REQ r;
    r.operation = op;
    std::vector<std::string> out;
    for (int n = 0; n < 50; ++n) {
      snprintf(r.ap, sizeof r.ap, "%s", ap), snprintf(r.name, sizeof r.name, "%s", name);
      if (!ie_get_info(&r)) break;
      out.push_back(std::string(op == 3 ? r.ap : r.name) + "|" + r.desc +
                    (op == 3 ? "" : "|" + std::to_string(r.code)));
    }
    EXPECT_EQ(r.list, nullptr);  // closed at the end
    return out;
  }
  IE_GUI_REQ req;
};

TEST_F(ImageClient, HandleIsTheLastEditorAndNoneOnceItsLevelEnded) {
  EXPECT_EQ(ask(1), 0);
  EXPECT_EQ(req.kind, 0u);
  EXPECT_EQ(ask(8), 2);
  waiting(1);
  EXPECT_EQ(ask(1), 1);
  EXPECT_EQ(req.kind, 1u);
  EXPECT_EQ(req.editor, ctl);
  EXPECT_EQ(ask(8), 2);
  EXPECT_EQ(items(), (cells{{2, 10}, {4, 10}, {6, 10}}));
  // The level ends; its control block is the caller's, and no request reaches it.
  EXPECT_EQ(edit({{LK_CANCEL, 1, 1}}), IE_END);
  memset(itm, ' ', sizeof itm);
  EXPECT_EQ(ask(1), 0);
  EXPECT_EQ(req.kind, 0u);
  for (uint32_t op : {2u, 6u, 7u, 9u, 10u}) {
    SCOPED_TRACE(op);
    EXPECT_EQ(ask(op, 2, 10, 8, 40), 0);
    EXPECT_EQ(req.status, 0u);
  }
  EXPECT_EQ(itm[IT_AP], ' ');
}

TEST_F(ImageClient, ItemInformationCoversTheCellAfterTheItem) {
  waiting(1);
  struct {
    uint32_t row, col;
    int result;
    uint32_t out_col;
  } cases[] = {{2, 10, 1, 10}, {2, 29, 1, 10}, {2, 30, 1, 10}, {2, 31, 0, 31}, {2, 9, 0, 9}, {3, 10, 0, 10}};
  for (auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.row << "," << c.col);
    EXPECT_EQ(ask(2, c.row, c.col), c.result);
    EXPECT_EQ(req.col, c.out_col);
    if (c.result) {
      EXPECT_EQ(req.row2, 1u);
      EXPECT_EQ(req.col2, 20u);
    }
  }
}

TEST_F(ImageClient, MovesAndCutsWithTheirRefusals) {
  waiting(1);
  struct {
    const char* what;
    uint32_t op, row, col, row2, col2;
    int result;
    uint32_t status;
    cells after;
  } cases[] = {
      {"onto another item", 6, 2, 10, 4, 12, 0, 1, {{2, 10}, {4, 10}, {6, 10}}},
      {"onto text", 6, 2, 10, 1, 3, 0, 1, {{2, 10}, {4, 10}, {6, 10}}},
      {"past the last row", 6, 2, 10, 13, 1, 0, 1, {{2, 10}, {4, 10}, {6, 10}}},
      {"reaching past the last column", 6, 2, 10, 8, 70, 0, 1, {{2, 10}, {4, 10}, {6, 10}}},
      {"from a cell without an item", 6, 8, 10, 9, 10, 0, 0, {{2, 10}, {4, 10}, {6, 10}}},
      {"to a free cell", 6, 2, 12, 8, 40, 1, 0, {{4, 10}, {6, 10}, {8, 40}}},
      {"cut of nothing", 7, 0, 0, 8, 20, 0, 3, {{4, 10}, {6, 10}, {8, 40}}},
      {"cut", 7, 0, 0, 8, 45, 1, 0, {{4, 10}, {6, 10}}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ask(c.op, c.row, c.col, c.row2, c.col2), c.result);
    EXPECT_EQ(req.status, c.status);
    EXPECT_EQ(items(), c.after);
  }
  // The item moved keeps its field and shows at its new place.
  EXPECT_EQ(edit({{LK_CANCEL, 1, 1}}), IE_END);
}

TEST_F(ImageClient, ResizeWithinTheImageOnlyAndNothingOnAViewOnlyImage) {
  waiting(1);
  EXPECT_EQ(ask(10, 2, 12, 1, 72), 0);  // columns 10-81 of 80
  EXPECT_EQ(req.status, 1u);
  EXPECT_EQ(ask(10, 2, 12, 12, 5), 0);  // rows 2-13 of 12
  EXPECT_EQ(req.status, 1u);
  EXPECT_EQ(ask(10, 2, 12, 0, 5), 0);
  EXPECT_EQ(req.status, 1u);
  EXPECT_FALSE(st()->lchr.empty());  // the display kept its attributes
  EXPECT_EQ(ask(10, 2, 12, 2, 71), 1);
  EXPECT_EQ(ask(2, 2, 10), 1);
  EXPECT_EQ(req.row2, 2u);
  EXPECT_EQ(req.col2, 71u);
  EXPECT_EQ(ask(10, 8, 12, 1, 1), 0);  // no item there
  EXPECT_EQ(req.status, 0u);
  // The ITEM record's own size is saved as it was.
  EXPECT_EQ(edit({{16, 1, 1}, {LK_CANCEL, 1, 1}}), IE_END);
  for (auto& r : stored(DF_ITEM, 1)) EXPECT_EQ(ld_le32(r.data(), IT_COLS), kIeUnset);

  // A view-only editor asked while its show waits for the client.
  ASSERT_EQ(open(1, '0'), 1);
  static ImageClient* self;
  static std::vector<std::pair<int, uint32_t>> answers;  // result, status
  self = this, answers.clear();
  hooks_.set(editors_seams.ie_show, [](SHOW_BLK* b, ARB* m) {
    if (answers.empty() && (b->show_flags & SHOW_INPUT))
      for (uint32_t op : {6u, 7u, 9u, 10u}) answers.push_back({self->ask(op, 2, 10, 8, 40), self->req.status});
    return scripted_show(b, m);
  });
  EXPECT_EQ(edit({{LK_CANCEL, 1, 1}}), IE_END);
  EXPECT_EQ(answers, (std::vector<std::pair<int, uint32_t>>(4, {0, 2})));
  ASSERT_EQ(open(1), 1);
  EXPECT_EQ(items(), (cells{{2, 10}, {4, 10}, {6, 10}}));
}

TEST_F(ImageClient, PasteFillsTheItemBufferForKey101) {
  waiting(1);
  req = IE_GUI_REQ{};
  req.operation = 9;
  memcpy(req.ap, "IED", 3), memcpy(req.name, "LONGTXT", 7);
  st_le16(itm, IT_OCC, 5);
  EXPECT_EQ(ie_gui_edit(&req), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(itm + IT_AP), 25), "IEDLONGTXT               ");
  EXPECT_EQ(ld_le16(itm, IT_OCC), 0u);
  EXPECT_EQ(edit({{101, 8, 5}}), IE_REQ_NEW_ITEM);
  EXPECT_EQ(edit({{LK_CANCEL, 1, 1}}), IE_END);
}

// The APPL file of the installation, with the applications given.
void write_appl(std::initializer_list<std::array<const char*, 3>> apps) {
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  INIT_DAP_FDB(&f, k, s);
  ASSERT_EQ(FM_CREATE(&f, kScope, 10, LFB_OPEN_NEW, 0x0f, 0x0f), 1) << f.fdb_stat;
  for (auto& a : apps) {
    uint8_t r[324];
    memset(r, ' ', sizeof r);
    memcpy(r + 4, a[0], 3), memcpy(r + 7, a[1], 2), memcpy(r + 14, a[2], strlen(a[2]));
    ASSERT_EQ(ie_put(f.fdb_arb, r, sizeof r), 1);
  }
  FM_CLOSE(f.fdb_arb, 0);
}

TEST_F(ImageClient, ListsFollowTheEditorsVersion) {
  write_appl({{"IED", "01", "Image tests"},
              {"AAA", "00", "First"},
              {"BBB", "00", ""},
              {"0LA", "01", "Runtime"},
              {"CCC", "02", "Other"}});
  // No editor: no lists.
  EXPECT_EQ(list(3), std::vector<std::string>{});
  // The statement editor's context, version "00".
  uint8_t context[64];
  memset(context, ' ', sizeof context);
  memcpy(context, "XYZ00", 5);
  se_cur_context = context;
  EXPECT_EQ(ask(1), 1);
  EXPECT_EQ(req.kind, 2u);
  EXPECT_EQ(list(3), (std::vector<std::string>{"0LA|Runtime", "AAA|First", "BBB|BBB"}));
  // An image editor of IED 01 comes first.
  waiting(1);
  EXPECT_EQ(list(3), (std::vector<std::string>{"0LA|Runtime", "IED|Image tests"}));
  EXPECT_EQ(list(4, "IED"), (std::vector<std::string>{"IECUST|IECUST|1"}));
  EXPECT_EQ(list(5, "IED", "IECUST"),
            (std::vector<std::string>{"CKEY|CKEY|5", "CKEYA|CKEYA|9", "CKEYB|CKEYB|9", "CNAME|CNAME|9",
                                      "CAMOUNT|CAMOUNT|10", "CDAY|CDAY|11", "CFLAG|CFLAG|12",
                                      // a name that fills its 22 characters keeps all of them
                                      "CNAMEOFTWENTYTWOCHARSX|CNAMEOFTWENTYTWOCHARSX|9"}));
  EXPECT_EQ(list(5, "IED", "NOFILE"), std::vector<std::string>{});
  EXPECT_EQ(list(4, "ZZZ"), std::vector<std::string>{});  // an application without design files
}

}  // namespace
}  // namespace kivo::test

// The dictionary compiler over native design files: a MESSAGE file of its
// own texts and classes, the caller's MESSAGE1 and MESSAGE2 files, a run
// context over a version's design files, and the messages read back.
#pragma once

#include <string>
#include <vector>

#include "design/dd.h"
#include "design/dd_msg.h"
#include "design_test_util.h"
#include "fm/fm_open.h"
#include "fm/la.h"
#include "fm/token_cache.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"
#include "foundation/text.h"

namespace kivo::test {

struct dd_msg_row {
  uint32_t seq, number;
  uint16_t cls;
  uint8_t kind;
  std::string file, subject, text;
};

class DictFiles : public DesignFiles {
 protected:
  void SetUp() override {
    DesignFiles::SetUp();
    ASSERT_EQ(la_init(), 1);
    make_messages();
    ASSERT_EQ(la_slct("00 ", 1), 1);
    m1_ = msg_file(INIT_MSG1_FDB);
    m2_ = msg_file(INIT_MSG2_FDB);
    ASSERT_TRUE(m1_ && m2_);
  }
  void TearDown() override {
    if (la_lang* l = la_current()) FM_CLOSE(l->arb, 0);
    DesignFiles::TearDown();
  }

  // Texts and classes of the messages the tests look at; 100999 is 600
  // characters long. Others are missing (class 0).
  static void make_messages() {
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    INIT_DMSG_FDB(&f, k, s, "00");
    ASSERT_EQ(FM_CREATE(&f, com.sys_scope, 0, kAnyFile | LFB_OPEN_NEW, 15, 15), 1);
    const std::vector<std::pair<uint32_t, uint16_t>> rows = {{100380, 1}, {100490, 2}, {100540, 1}, {100190, 2},
                                                             {100730, 2}, {100740, 2}, {100820, 2}, {100999, 1}};
    for (auto [number, cls] : rows) {
      uint8_t rec[kMsgRecMax] = {};
      st_le32(rec, MSG_NUMBER, number);
      st_le16(rec, MSG_CLASS, cls);
      const std::string text = number == 100999 ? std::string(600, 'L') : "text " + std::to_string(number);
      const size_t n = std::min(text.size(), kMsgTextMax);
      memcpy(rec + MSG_TEXT, text.data(), n);
      f.fdb_arb->arb_rec = rec;
      f.fdb_arb->arb_var_len = static_cast<uint16_t>(MSG_TEXT + n);
      ASSERT_EQ(fm_write(f.fdb_arb), 1);
    }
    FM_CLOSE(f.fdb_arb, 0);
  }

  static ARB* msg_file(void (*init)(FDB*, KDB*, SDB*, const char*, const char*), const char* ap = "APP",
                       const char* ver = "01") {
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    init(&f, k, s, ap, ver);
    return FM_CREATE(&f, kScope, 0, LFB_OPEN_NEW | kAnyFile, 15, 15) ? f.fdb_arb : nullptr;
  }

  // The routine as a process calls it (count 3) on `ap` "01" for `which`
  // (blanks: the domains; "*": the work fields).
  void run(const char* which, const char* ap = "APP", int count = 3, const char* ver = "01") {
    uint8_t req[13];
    memcpy(req, ap, 3);
    memcpy(req + 3, ver, 2);
    SET_BLANK(req + 5, 8);
    memcpy(req + 5, which, strlen(which));
    ASSERT_EQ(dd_cmpl(count, req, m1_, m2_), 1);
  }

  std::vector<dd_msg_row> messages() const {
    std::vector<dd_msg_row> out;
    uint8_t r[kMsg2Size];
    PROTO_FULL(m2_, 0, r);
    m2_->arb_len = kMsg2Size;
    m2_->arb_mod = ARB_FIRST;
    if (!fm_start(m2_)) return out;
    m2_->arb_mod = 0;
    while (fm_rdnxt(m2_))
      out.push_back({ld_le32(r, M2_SEQ), ld_le32(r, M2_NUMBER), ld_le16(r, M2_CLASS), r[M2_KIND],
                     std::string(reinterpret_cast<char*>(r + M2_FILE), 8),
                     std::string(reinterpret_cast<char*>(r + M2_SUBJECT), 22),
                     std::string(reinterpret_cast<char*>(r + M2_TEXT), ld_le16(r, M2_TEXT_LEN))});
    return out;
  }
  std::vector<uint32_t> numbers() const {
    std::vector<uint32_t> n;
    for (auto& m : messages()) n.push_back(m.number);
    return n;
  }
  // MESSAGE1 of `file` (8 characters): count and class; {-1, -1} without.
  std::pair<int64_t, int64_t> summary(const char* file, const char* ap = "APP") const {
    uint8_t r[kMsg1Size] = {};
    memcpy(r, ap, 3);
    memcpy(r + 3, "01", 2);
    SET_BLANK(r + 5, 8);
    memcpy(r + 5, file, strlen(file));
    if (!dd_read(m1_, 0, r, kMsg1Size, false)) return {-1, -1};
    return {ld_le32(r, M1_COUNT), ld_le32(r, M1_CLASS)};
  }

  // A context over the version's design files, as a run has it.
  dd_ctx context(DesignBuilder& b, const char* file = "        ") {
    dd_ctx c{};
    memcpy(c.ap, "APP", 3);
    memcpy(c.ver, "01", 2);
    memcpy(c.file, file, 8);
    c.arb[DD_ELEM] = b.handle(DF_ELEMENT);
    c.arb[DD_FILE] = b.handle(DF_FILE);
    c.arb[DD_BITMAP] = b.handle(DF_BITMAP);
    c.arb[DD_TOKEN] = b.handle(DF_TOKEN);
    c.arb[DD_MSG1] = m1_;
    c.arb[DD_MSG2] = m2_;
    msg1_start(m1_, m2_, c.ap, c.ver, c.file);
    return c;
  }

  static std::string text(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }
  static std::string trimmed(const uint8_t* p, size_t n) {
    std::string s = text(p, n);
    while (!s.empty() && (s.back() == ' ' || s.back() == 0)) s.pop_back();
    return s;
  }

  ARB* m1_ = nullptr;
  ARB* m2_ = nullptr;
};

}  // namespace kivo::test

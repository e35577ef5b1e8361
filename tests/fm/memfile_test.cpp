// Memory files: index blocks, search statuses, duplicates, holds between
// streams, refused rewrites, record ids, record ownership and scratch.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/bytes.h"
#include "memfile_test_util.h"

namespace kivo {
namespace {

using test::key_def;
using test::mem_file;
using test::mem_handle;

class MemFile : public test::FmFresh {
 protected:
  // Writes a 12-byte record: key 0 chars at 0 (4), key 1 word at 4, tag at 8.
  static int put(mem_handle h, const char* k0, uint16_t k1, uint32_t tag, uint16_t mod = 0) {
    uint8_t r[12] = {};
    memcpy(r, k0, 4);
    st_le16(r, 4, k1);
    st_le32(r, 8, tag);
    at(h, r, mod);
    h.arb->arb_var_len = 0;
    return mm_write(h.arb, h.strm);
  }
  // Reads by key 0 (exact) into buf; returns the tag or 0.
  static uint32_t get(mem_handle h, const char* k0, uint16_t mod = 0, uint8_t* buf = nullptr) {
    static uint8_t own[12];
    uint8_t* r = buf ? buf : own;
    memset(r, 0, 12);
    memcpy(r, k0, 4);
    at(h, r, uint16_t(ARB_EQUAL | mod));
    h.arb->arb_keyno = 0;
    h.arb->arb_key_end = nullptr;
    return mm_read(h.arb, h.strm) ? ld_le32(r, 8) : 0;
  }
  // Tags of key `keyno` in order, read from the first record.
  static std::vector<uint32_t> scan(mem_handle h, uint8_t keyno) {
    h.arb->arb_keyno = keyno;
    h.arb->arb_mod = ARB_FIRST;
    mm_start(h.arb, h.strm);
    std::vector<uint32_t> tags;
    uint8_t r[12];
    at(h, r, 0);
    while (mm_rdnxt(h.arb, h.strm)) tags.push_back(ld_le32(r, 8));
    return tags;
  }
  // Points the handle at a record buffer with a modifier.
  static void at(mem_handle h, uint8_t* r, uint16_t mod, uint16_t len = 12) {
    h.arb->arb_rec = r;
    h.arb->arb_len = len;
    h.arb->arb_mod = mod;
  }
  static std::vector<key_def> two_keys() { return {{0, '+', {{0, 4}}}, {1, '+', {{4, 2, SDB_UBINARY}}, 0, KDB_DUP}}; }
};

TEST_F(MemFile, CreateSizeGivesEntriesPerBlockAndThe26thRecordAddsABlock) {
  const struct { uint32_t cr_size, per_mib; } rows[] = {{0, 25}, {1000, 500}, {500, 500}, {7, 7}};
  for (auto& r : rows) {
    mem_file f("SIZES", 12, two_keys(), false, r.cr_size);
    EXPECT_EQ(f.f()->per_mib, r.per_mib) << r.cr_size;
  }
  mem_file f("GROW", 12, two_keys(), false, 0);
  mem_handle h = f.handle();
  char k[5];
  for (int i = 0; i < 26; ++i) {
    snprintf(k, sizeof k, "%04d", i);
    ASSERT_EQ(put(h, k, 7, uint32_t(i + 1)), 1);
    EXPECT_EQ(f.f()->ndx[0].dir.size(), i < 25 ? 1u : 2u);
  }
  uint32_t blocks = mm_total_blocks();
  ASSERT_EQ(get(h, "0003", ARB_HOLD), 4u);
  ASSERT_EQ(mm_del(h.arb, h.strm), 1);
  EXPECT_EQ(f.f()->ndx[0].dir.size(), 1u);
  EXPECT_EQ(f.f()->ndx[1].dir.size(), 1u);
  EXPECT_EQ(mm_total_blocks(), blocks - 3) << "two MIBs and the record freed";
  EXPECT_EQ(mm_check(f.f()), "");
}

TEST_F(MemFile, SearchStatusesAndInsertionPoints) {
  mem_file f("SEARCH", 12, two_keys(), false, 0);
  mem_handle h = f.handle();
  uint8_t rec[12] = {};
  h.arb->arb_rec = rec;
  h.arb->arb_keyno = 0;
  uint32_t pos = 99;
  memcpy(rec, "bbbb", 4);
  for (uint16_t mod : {uint16_t(ARB_EQUAL), uint16_t(0)}) {  // empty index
    h.arb->arb_mod = mod;
    EXPECT_EQ(get_pos(h.arb, h.m(), &pos), 0);
    EXPECT_EQ(h.arb->arb_stat, mod ? FM_NOT_FOUND : FM_EOF);
  }
  for (const char* k : {"bbbb", "dddd", "ffff"}) put(h, k, 1, 1);
  const struct {
    const char* key;
    uint16_t mod;
    int ok;
    uint32_t stat, pos;
  } filled[] = {
      {"cccc", ARB_EQUAL, 0, FM_NOT_FOUND, 1},
      {"dddd", ARB_EQUAL, 1, 0, 1},
      {"dddd", ARB_AFTER, 1, 0, 2},
      {"zzzz", 0, 0, FM_EOF, 3},
      {"zzzz", ARB_EQUAL, 0, FM_NOT_FOUND, 3},
      {"aaaa", 0, 1, 0, 0},
      {"ffff", ARB_AFTER, 0, FM_EOF, 3},
  };
  for (auto& r : filled) {
    memcpy(rec, r.key, 4);
    h.arb->arb_rec = rec;
    h.arb->arb_mod = r.mod;
    h.arb->arb_stat = 0;
    EXPECT_EQ(get_pos(h.arb, h.m(), &pos), r.ok) << r.key << " " << r.mod;
    EXPECT_EQ(h.arb->arb_stat, r.ok ? 0u : r.stat) << r.key;
    EXPECT_EQ(pos, r.pos) << r.key << " " << r.mod;
  }
  // A prefix up to a byte of the record: the first key starting "d".
  memcpy(rec, "dzzz", 4);
  h.arb->arb_rec = rec;
  h.arb->arb_key_end = rec;
  h.arb->arb_mod = ARB_EQUAL;
  EXPECT_EQ(get_pos(h.arb, h.m(), &pos), 1);
  EXPECT_EQ(pos, 1u);
  h.arb->arb_key_end = nullptr;
  // A start above every key succeeds; a record written later is read next.
  memcpy(rec, "zzzz", 4);
  h.arb->arb_rec = rec;
  h.arb->arb_mod = 0;
  EXPECT_EQ(mm_start(h.arb, h.strm), 1);
  mem_handle w = f.handle();
  put(w, "zzzz", 1, 42);
  h.arb->arb_mod = 0;
  ASSERT_EQ(mm_rdnxt(h.arb, h.strm), 1);
  EXPECT_EQ(ld_le32(rec, 8), 42u);
}

TEST_F(MemFile, DuplicatesComeInWriteOrderKeptCurrentOrRebuilt) {
  for (bool deferred : {false, true}) {
    mem_file f("DUPS", 12, two_keys(), false, 3);
    mem_handle h = f.handle();
    const char* keys[] = {"k001", "k002", "k003", "k004", "k005", "k006", "k007"};
    const uint16_t k1[] = {5, 3, 5, 3, 5, 1, 5};
    for (int i = 0; i < 7; ++i) ASSERT_EQ(put(h, keys[i], k1[i], uint32_t(i + 1), deferred ? ARB_DEFER_KEYS : 0), 1);
    EXPECT_EQ((f.f()->ndx[1].flags & MNDX_DEFERRED) != 0, deferred);
    // A deleted and rewritten record gets a new place only when its key moves.
    ASSERT_EQ(get(h, "k002", ARB_HOLD), 2u);
    ASSERT_EQ(mm_del(h.arb, h.strm), 1);
    EXPECT_EQ(scan(h, 1), (std::vector<uint32_t>{6, 4, 1, 3, 5, 7})) << "deferred " << deferred;
    EXPECT_EQ(mm_check(f.f()), "");
  }
}

TEST_F(MemFile, TakeOverOfAHoldAndItsRewrite) {
  struct row {
    const char* what;
    uint16_t first_hold;
    bool second_rewrites;
    int first_rewrite_ok;
  };
  const row rows[] = {
      {"held for update, second rewrote", ARB_HOLD | ARB_RECOVER, true, 0},
      {"held for update, second only read", ARB_HOLD | ARB_RECOVER, false, 1},
      {"held plainly, taken over", ARB_HOLD, false, 0},
  };
  for (const row& r : rows) {
    mem_file f("HOLDS", 12, two_keys(), false, 0);
    mem_handle a = f.handle(), b = f.handle();
    put(a, "aaaa", 1, 1);
    uint8_t ra[12], rb[12];
    ASSERT_EQ(get(a, "aaaa", r.first_hold, ra), 1u);
    ASSERT_EQ(get(b, "aaaa", ARB_HOLD | ARB_RECOVER, rb), 1u) << r.what;
    if (r.second_rewrites) {
      rb[11] = 9;
      ASSERT_EQ(mm_rewrite(b.arb, b.strm), 1);
    }
    ra[10] = 7;
    a.arb->arb_mod = 0;
    EXPECT_EQ(mm_rewrite(a.arb, a.strm), r.first_rewrite_ok) << r.what;
    if (!r.first_rewrite_ok) {
      EXPECT_EQ(a.arb->arb_stat, uint32_t{FM_NOT_HELD}) << r.what;
    }
  }
}

TEST_F(MemFile, NoStealFailsWith200520AndStillDeliversTheRecord) {
  mem_file f("STEAL", 12, two_keys(), false, 0);
  mem_handle a = f.handle(), b = f.handle();
  put(a, "aaaa", 1, 1);
  put(a, "bbbb", 1, 2);
  ASSERT_EQ(get(a, "aaaa", ARB_HOLD), 1u);
  uint8_t rb[12] = {'a', 'a', 'a', 'a'};
  at(b, rb, ARB_EQUAL | ARB_HOLD | ARB_NO_STEAL);
  b.arb->arb_keyno = 0;
  EXPECT_EQ(mm_read(b.arb, b.strm), 0);
  EXPECT_EQ(b.arb->arb_stat, uint32_t{FM_HELD_SELF});
  EXPECT_EQ(ld_le32(rb, 8), 1u) << "the record is delivered";
  EXPECT_EQ(b.m()->state, POS_HOLD_FAILED);
  // The first keeps its hold; the second, asking again, meets the same record.
  a.arb->arb_mod = 0;
  b.arb->arb_mod = ARB_HOLD;
  ASSERT_EQ(mm_rdnxt(b.arb, b.strm), 1);
  EXPECT_EQ(ld_le32(rb, 8), 1u);
  EXPECT_EQ(mm_rewrite(a.arb, a.strm), 0) << "the plain hold was taken over";
  b.arb->arb_mod = 0;
  ASSERT_EQ(mm_rdnxt(b.arb, b.strm), 1);
  EXPECT_EQ(ld_le32(rb, 8), 2u);
}

TEST_F(MemFile, RewriteRefusedOnItsSecondKeyLeavesRecordAndIndexes) {
  // Key position 0 allows duplicates, position 1 is unique.
  mem_file f("REFUSE", 12, {{1, '+', {{4, 2, SDB_UBINARY}}, 0, KDB_DUP}, {0, '+', {{0, 4}}}}, false, 2);
  mem_handle h = f.handle();
  put(h, "aaaa", 1, 1);
  put(h, "bbbb", 2, 2);
  put(h, "cccc", 3, 3);
  uint8_t r[12];
  ASSERT_EQ(get(h, "aaaa", ARB_HOLD, r), 1u);
  memcpy(r, "cccc", 4);
  st_le16(r, 4, 9);
  h.arb->arb_mod = 0;
  EXPECT_EQ(mm_rewrite(h.arb, h.strm), 0);
  EXPECT_EQ(h.arb->arb_stat, uint32_t{FM_DUP_KEY});
  EXPECT_EQ(h.arb->arb_keyno, 0);
  EXPECT_EQ(scan(h, 1), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(scan(h, 0), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(get(h, "aaaa", 0, r), 1u);
  EXPECT_EQ(ld_le16(r, 4), 1);
  EXPECT_EQ(mm_check(f.f()), "");
}

TEST_F(MemFile, RecordIdsOfTwoHandlesOnTwoFilesStayTheirOwn) {
  mem_file f1("ONE", 12, two_keys(), false, 0), f2("TWO", 12, two_keys(), false, 0);
  mem_handle a = f1.handle(), b = f2.handle();
  put(a, "aaaa", 1, 11);
  put(b, "aaaa", 1, 22);
  ASSERT_EQ(get(a, "aaaa"), 11u);
  ASSERT_EQ(get(b, "aaaa"), 22u);
  uint8_t r[12] = {};
  at(a, r, ARB_REC_ID);
  ASSERT_EQ(mm_read(a.arb, a.strm), 1);
  EXPECT_EQ(ld_le32(r, 8), 11u);
  // A record id whose record was deleted is not found, even after reuse.
  uint8_t id[8];
  memcpy(id, a.arb->arb_rec_id_area, 8);
  ASSERT_EQ(get(a, "aaaa", ARB_HOLD), 11u);
  ASSERT_EQ(mm_del(a.arb, a.strm), 1);
  put(a, "bbbb", 1, 33);
  a.arb->arb_rec_id_area = id;
  a.arb->arb_mod = ARB_REC_ID;
  EXPECT_EQ(mm_read(a.arb, a.strm), 0);
  EXPECT_EQ(a.arb->arb_stat, uint32_t{FM_NOT_FOUND});
}

TEST_F(MemFile, LocateAndCopiedRecordsAreFreedOnlyByTheirOwner) {
  uint32_t blocks0 = mm_total_blocks();
  {
    mem_file f("OWNERS", 12, two_keys(), false, 0, com.sys_scope);
    mem_handle h = f.handle();
    uint8_t own[2][12] = {};
    memcpy(own[0], "loc1", 4);
    memcpy(own[1], "loc2", 4);
    for (auto& r : own) {
      at(h, r, ARB_LOCATE);
      ASSERT_EQ(mm_write(h.arb, h.strm), 1);
    }
    put(h, "cop1", 1, 1);
    put(h, "cop2", 1, 2);
    uint32_t with_records = mm_total_blocks();
    const struct {
      const char* key;
      uint16_t how;
      int freed;
    } rows[] = {{"loc1", 0, 0}, {"cop1", ARB_LOCATE, 1}};
    for (auto& r : rows) {
      uint32_t before = mm_total_blocks();
      uint8_t buf[12] = {};
      memcpy(buf, r.key, 4);
      at(h, buf, uint16_t(ARB_EQUAL | ARB_HOLD | r.how));
      ASSERT_EQ(mm_read(h.arb, h.strm), 1) << r.key;
      h.arb->arb_mod = r.how;
      ASSERT_EQ(mm_del(h.arb, h.strm), 1) << r.key;
      EXPECT_EQ(mm_total_blocks(), before - uint32_t(r.freed)) << r.key;
    }
    // A copying rewrite of a locate-mode record makes it the file's own.
    uint8_t buf[12];
    get(h, "loc2", ARB_HOLD, buf);
    buf[11] = 5;
    at(h, buf, 0);
    ASSERT_EQ(mm_rewrite(h.arb, h.strm), 1);
    EXPECT_EQ(own[1][11], 0) << "the writer's block is not written";
    EXPECT_EQ(mm_total_blocks(), with_records - 1 + 1);
    EXPECT_EQ(mm_check(f.f()), "");
  }
  EXPECT_EQ(mm_total_blocks(), blocks0) << "nothing left once the file is gone";
}

TEST_F(MemFile, ScratchReusesTheFixEntriesAndEmptiesTheFile) {
  mem_file f("SCRATCH", 12, two_keys(), false, 4);
  mem_handle h = f.handle();
  char k[5];
  for (int i = 0; i < 10; ++i) snprintf(k, sizeof k, "%04d", i), put(h, k, 1, uint32_t(i));
  size_t arrays = f.f()->arrays.size();
  uint32_t blocks = mm_total_blocks();
  h.arb->arb_mod = 0;
  ASSERT_EQ(mm_scratch(h.arb, h.strm), 1);
  EXPECT_EQ(f.f()->exists, 0);
  EXPECT_EQ(mm_open(h.arb, h.strm), 0);
  EXPECT_EQ(h.arb->arb_stat, uint32_t{FM_NO_FILE});
  ASSERT_EQ(mm_create(h.arb, h.strm), 1);
  EXPECT_LT(mm_total_blocks(), blocks) << "records and MIBs went with the record pool";
  for (int i = 0; i < 10; ++i) snprintf(k, sizeof k, "%04d", i), put(h, k, 1, uint32_t(i));
  EXPECT_EQ(f.f()->arrays.size(), arrays);
  EXPECT_EQ(scan(h, 0).size(), 10u);
  EXPECT_EQ(mm_check(f.f()), "");
}

TEST_F(MemFile, VariableRecordsAreTrimmedAndNeverDeliveredPastTheBuffer) {
  // Key at 0-3, so no record is stored shorter than 4 bytes.
  mem_file f("VAR", 20, {{0, '+', {{0, 4}}}}, true, 0);
  mem_handle h = f.handle();
  uint8_t r[2][20] = {{'k', 'e', 'y', '1', 'x'}, {'k', 'e', 'y', '2'}};
  h.arb->arb_var_len = 0;
  for (auto& w : r) {
    at(h, w, 0, 20);
    ASSERT_EQ(mm_write(h.arb, h.strm), 1);
  }
  const struct {
    const char* key;
    uint16_t buf_len;
    int ok;
    uint16_t var_len;
  } rows[] = {{"key1", 20, 1, 5}, {"key2", 20, 1, 4}, {"key1", 3, 0, 3}};
  for (auto& row : rows) {
    uint8_t out[20];
    memset(out, 0xEE, sizeof out);
    memcpy(out, row.key, 4);
    uint8_t past = out[row.var_len];
    at(h, out, ARB_EQUAL, row.buf_len);
    EXPECT_EQ(mm_read(h.arb, h.strm), row.ok) << row.key << " " << row.buf_len;
    EXPECT_EQ(h.arb->arb_var_len, row.var_len) << row.key << " " << row.buf_len;
    if (!row.ok) {
      EXPECT_EQ(h.arb->arb_stat, uint32_t{FM_REC_TOO_LONG});
    }
    EXPECT_EQ(out[row.var_len], past) << "nothing past the delivered bytes";
  }
}

TEST_F(MemFile, FilesWithoutKeysGoByRecordNumberAndPassOverDeletedRecords) {
  mem_file f("NOKEYS", 12, {}, false, 2);
  mem_handle h = f.handle();
  for (uint32_t t = 1; t <= 5; ++t) put(h, "none", 0, t);
  uint8_t r[12];
  at(h, r, ARB_EQUAL | ARB_HOLD);
  h.arb->arb_relno = 2;
  ASSERT_EQ(mm_read(h.arb, h.strm), 1);
  EXPECT_EQ(ld_le32(r, 8), 2u);
  h.arb->arb_mod = 0;
  ASSERT_EQ(mm_del(h.arb, h.strm), 1);
  EXPECT_EQ(scan(h, 0), (std::vector<uint32_t>{1, 3, 4, 5}));
  h.arb->arb_relno = 2;
  h.arb->arb_mod = ARB_EQUAL;
  EXPECT_EQ(mm_read(h.arb, h.strm), 0);
  EXPECT_EQ(h.arb->arb_stat, uint32_t{FM_EOF});
  put(h, "none", 0, 6);  // takes the freed holder
  EXPECT_EQ(scan(h, 0), (std::vector<uint32_t>{1, 6, 3, 4, 5}));
}

TEST_F(MemFile, CloseByItsModifierBits) {
  struct row {
    uint16_t mod;
    uint16_t opens_after;
    bool streams_open, hold_kept, exists;
  };
  const row rows[] = {
      {0, 1, true, true, true},
      {ARB_STRM_ONLY, 1, false, false, true},
      {ARB_CLOSE_NOW, 0, false, false, true},
      {ARB_CLOSE_NOW | ARB_SCRATCH, 0, false, false, false},
      {ARB_SCRATCH, 1, true, true, true},
  };
  for (const row& r : rows) {
    mem_file f("CLOSE", 12, two_keys(), false, 0);
    mem_handle h = f.handle();
    ASSERT_EQ(mm_open(h.arb, h.strm), 1);  // a second opener
    EXPECT_EQ(f.f()->opens, 2);
    put(h, "aaaa", 1, 1);
    ASSERT_EQ(get(h, "aaaa", ARB_HOLD), 1u);
    h.arb->arb_mod = r.mod;
    ASSERT_EQ(mm_close(h.arb, h.strm), 1);
    EXPECT_EQ(f.f()->opens, r.opens_after) << r.mod;
    EXPECT_EQ(h.strm->strm_active != 0, r.streams_open) << r.mod;
    EXPECT_EQ(h.m()->hold != HOLD_NONE, r.hold_kept) << r.mod;
    EXPECT_EQ(f.f()->exists != 0, r.exists) << r.mod;
  }
}

}  // namespace
}  // namespace kivo

// The design-record builder on the memory design files of "0DN": every
// record read back by every key of its file, numbers from the BITMAP,
// INITIAL chunks and values, and sources refused at their line.
#include <cstring>
#include <set>

#include "compiler/design_records.h"
#include "compiler/stmt_layout.h"
#include "design_test_util.h"
#include "fm/fm_record_cache.h"
#include "foundation/bytes.h"
#include "types/element.h"

namespace kivo::test {
namespace {

// The suite takes the builder's name; the builder itself is named in full.
using DesignBuilder = DesignFiles;

const char* kSource = R"(# one of everything
APPLICATION APP 01
FILE CUSTOMER number=2000005 fs=1 org=3
  "CUSTOMER NO"   B9S   key=primary
  NAME            A30   key=1
  BALANCE         P9.2S init="12.5"
  "OPENED"        D7:7-5
  FLAGS           A1    occurs=3 init="Y" special=3
END
WORK RATE P9.4 area=1
WORK "HIGH" P9 area=1 init="7"
TOKEN REGION 10 NORTH
PROCESS 4 BENCH desc="THE BENCHMARK LOOP" pcf_ap=APP pcf_file=CUSTOMER
PROCESS 1 "MAIN MENU" save=1
FRAME 4 BENCH 0 1 enabled=1 kind=0
IMAGE 4 BENCH 0 1 1 kind=1 rows=24 cols=80
ROW 4 BENCH 0 1 1 1 "CUSTOMER:"
ITEM 4 BENCH 0 1 1 1 11 ap=APP field="NAME" occ=1 input=1
CHR 4 BENCH 0 1 1 2 1 rows=1 cols=80 bold=1 box=1
CHILD 4 BENCH 0 1 0 0 1 ap=APP proc_type=2 name=ORDERS invoc=1 links=1 link1_ap=APP link1_field="CUSTOMER NO"
SELECT 4 BENCH 0 1 1 kind=2 @52:u32=7
STMTS 4 BENCH ep=1
      SET      BEN RATE                       =      1
      BEG LOOP AI =   1 TO N     STEP  1
T     COMPUTE  BEN RATE                       +      0.0137
      END LOOP AI
END
STMTS 4 BENCH ep=21 frame=0,1
      END
END
)";

// Every written record comes back by every key of its descriptor, from the
// memory design files of "0DN" and from native design files on disk.
TEST_F(DesignBuilder, RecordsReadBackByEveryKeyOfTheirFile) {
  for (const char* ap : {"0DN", "APP"}) {
    build(kSource, ap);
    const size_t want[kDesignFiles] = {1, 7, 2, 2, 1, 2, 1, 1, 1, 1, 1, 1, 1, 5, 0};
    for (int f = 0; f < kDesignFiles; ++f) {
      const auto df = static_cast<design_file>(f);
      auto recs = records(df, "01", ap);
      EXPECT_EQ(recs.size(), want[f]) << ap << " " << design_file_name(df);
      kivo::DesignBuilder b(ap, "01", kScope);
      ARB* a = b.handle(df);
      ASSERT_NE(a, nullptr) << b.error();
      const PFB* pfb = a->arb_sarb->sarb_cur_strm->strm_lfb->lfb_pfb;
      for (auto& r : recs)
        for (int k = 0; k < pfb->pfb_nkeys; ++k) {
          const KDB& kdb = pfb->pfb_kdb[k];
          std::vector<uint8_t> got(design_rec_len(df));
          memcpy(got.data(), r.data(), r.size());
          PROTO_FULL(a, kdb.kdb_keyno, got.data());
          a->arb_len = static_cast<uint16_t>(got.size());
          a->arb_mod = ARB_EQUAL;
          ASSERT_EQ(fm_read(a), 1) << ap << " " << design_file_name(df) << " key " << k;
          for (int s = 0; s < kdb.kdb_nsegs; ++s)
            EXPECT_EQ(memcmp(got.data() + kdb.kdb_sdb[s].sdb_offset, r.data() + kdb.kdb_sdb[s].sdb_offset,
                             kdb.kdb_sdb[s].sdb_len),
                      0);
        }
    }
  }
  // Elements: the file's number and compile stamp; keys in their slots.
  auto fi = records(DF_FILE)[0];
  std::set<std::string> names;
  for (auto& e : records(DF_ELEMENT)) {
    std::string name(reinterpret_cast<char*>(e.data() + ELEM_NAME), 22);
    names.insert(name);
    if (e[ELEM_CLASS] == '1') continue;
    EXPECT_EQ(ld_le32(e.data(), ELEM_NUMBER), 2000005u) << name;
    EXPECT_EQ(memcmp(e.data() + ELEM_STAMP, fi.data() + FI_STAMP, 8), 0) << name;
  }
  EXPECT_EQ(ld_le16(fi.data(), FI_REC_LEN), 4 + 30 + 6 + 4 + 3);
  EXPECT_EQ(fi[FI_NKEYS], 2);
  EXPECT_EQ(ld_le16(fi.data(), FI_KEY_LEN), 4);
  EXPECT_EQ(ld_le32(fi.data(), FI_KEY_SEQ + 4), 2u);
  EXPECT_EQ(ld_le32(fi.data(), FI_SPECIAL + 8), 5u);
  // Each process has a stamp of its own; an input item is marked.
  auto procs = records(DF_PROCESS);
  EXPECT_NE(memcmp(procs[0].data() + PR_STAMP, procs[1].data() + PR_STAMP, 8), 0);
  EXPECT_EQ(records(DF_ITEM)[0][IT_INPUT], '1');
  // Statements: sequence 100, 200, 300 ... per event point, as the editor numbers.
  auto st = records(DF_STMT);
  const uint32_t seqs[] = {100, 200, 300, 400, 100};
  for (size_t i = 0; i < st.size(); ++i) EXPECT_EQ(ld_le32(st[i].data(), STMT_SEQ), seqs[i]);
  EXPECT_EQ(ld_le16(st[4].data(), STMT_VERB), VERB_END);
}

// Numbers are the lowest free sequence of the data area; a full page of 400
// moves on to the next; an explicit number is marked, and taken twice refused.
TEST_F(DesignBuilder, NumbersFollowTheBitmap) {
  kivo::DesignBuilder b("0DN", "01", kScope);
  dd_field f;
  f.type = 1, f.size = 4;
  ASSERT_EQ(b.bit_mark(3000002), 1);
  std::vector<uint32_t> got;
  for (int i = 0; i < 402; ++i) {
    f.name = "W" + std::to_string(i);
    got.push_back(b.work_field(f, 3));
    ASSERT_NE(got.back(), 0u) << b.error();
  }
  EXPECT_EQ(got[0], 3000001u);
  EXPECT_EQ(got[1], 3000003u);
  EXPECT_EQ(got[398], 3000400u);
  EXPECT_EQ(got[399], 3000401u);
  EXPECT_EQ(got[401], 3000403u);
  EXPECT_EQ(b.bit_search(4), 4000001u);
  EXPECT_EQ(b.bit_mark(3000401), 0);
  auto pages = records(DF_BITMAP);
  ASSERT_EQ(pages.size(), 3u);  // area 3 pages 1 and 2, area 4 page 1
  EXPECT_EQ(ld_le32(pages[0].data(), BM_HIGH), 403u);
  EXPECT_EQ(pages[1][BM_BITS], 0x07);
  EXPECT_EQ(ld_le32(pages[1].data(), BM_HIGH), 0u);  // kept in page 1 only
}

// INITIAL chunks of 1000 bytes, the initial before the null chunk of each
// number; values converted as the engine stores them, and given back by the
// record cache.
TEST_F(DesignBuilder, InitialChunksAndValues) {
  // record length, chunk lengths of each image
  const std::pair<int, std::vector<size_t>> rows[] = {
      {2500, {1013, 1013, 513}}, {2000, {1013, 1013}}, {1000, {1013}}, {4, {17}}};
  for (auto& [len, chunks] : rows) {
    const std::string n = std::to_string(len);
    build("APPLICATION APP 01\nFILE F" + n + " org=2 len=" + n + "\n  A" + n + " A2\n  N" + n + " B4S @2\nEND\n");
    std::vector<std::vector<uint8_t>> init;  // in key order: the initial chunks, then the null chunks
    for (auto& r : records(DF_INITIAL))
      if (memcmp(r.data(), ("F" + n + "       ").data(), 8) == 0) init.push_back(r);
    ASSERT_EQ(init.size(), 2 * chunks.size()) << len;
    for (size_t i = 0; i < init.size(); ++i) {
      EXPECT_EQ(init[i].size(), chunks[i % chunks.size()]) << len << " chunk " << i;
      EXPECT_EQ(ld_le32(init[i].data(), INIT_CHUNK), i % chunks.size() + 1);
      EXPECT_EQ(init[i][INIT_KIND], i < chunks.size() ? INIT_VALUES : INIT_NULLS);
    }
  }
  build(kSource, "APP");
  std::vector<std::vector<uint8_t>> init;
  for (auto& r : records(DF_INITIAL, "01", "APP"))
    if (memcmp(r.data(), "CUSTOMER", 8) == 0) init.push_back(r);
  ASSERT_EQ(init.size(), 2u);
  // The record cache gives the same two records for the data file.
  test_file data("CUSTOMER", 0, 47);
  memcpy(data.fdb.path.fdb_ap, "APP", 3);
  memcpy(data.fdb.path.fdb_ver, "01", 2);
  for (uint8_t kind : {CACHE_INITIAL, CACHE_NULL}) {
    const uint8_t* rec = fm_cache(&data.fdb, kind);
    ASSERT_NE(rec, nullptr) << data.fdb.fdb_stat;
    EXPECT_EQ(memcmp(rec, init[kind - 1].data() + INIT_DATA, 47), 0) << int(kind);
    fm_uncache(rec);
  }
  const uint8_t* iv = init[0].data() + INIT_DATA;
  const uint8_t* nv = init[1].data() + INIT_DATA;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(iv + 4), 30), std::string(30, ' '));
  const uint8_t balance[] = {0x00, 0x00, 0x00, 0x01, 0x25, 0x0C};
  EXPECT_EQ(std::vector<uint8_t>(iv + 34, iv + 40), std::vector<uint8_t>(balance, balance + 6));
  EXPECT_EQ(memcmp(iv + 44, "YYY", 3), 0);
  EXPECT_EQ(memcmp(nv + 40, "\xFF\xFF\xFF\xFF", 4), 0);
  EXPECT_EQ(ld_le32(nv, 0), 0u);
  EXPECT_EQ(nv[39], 0x0C);
}

// A source that does not read is refused at its line, with the cause.
TEST_F(DesignBuilder, BadSourcesAreRefusedAtTheirLine) {
  const std::pair<std::string, const char*> rows[] = {
      {"FILE X\nEND\n", "test:1: APPLICATION must come first"},
      {"APPLICATION APP 01\nFILE X\n  A Q4\nEND\n", "test:3: bad field type \"Q4\""},
      {"APPLICATION APP 01\nFILE X\n  A A4\n", "test:3: END missing"},
      {"APPLICATION APP 01\nFILE TOOLONGNAME\n  A A4\nEND\n", "test:4: file name"},
      {"APPLICATION APP 01\nFILE X len=2\n  A A4\nEND\n", "does not hold its fields"},
      {"APPLICATION APP 01\nFILE X\n  N P3 init=\"ABC\"\nEND\n", "does not convert"},
      {"APPLICATION APP 01\nPROCESS 4 P desc=\"" + std::string(31, 'D') + "\"\n", "longer than 30"},
      {"APPLICATION APP 01\nPROCESS 4 P colour=1\n", "no attribute \"colour\""},
      {"APPLICATION APP 01\nFRAME 4 P 0 1 @976=1\n", "outside the record"},
      {"APPLICATION APP 01\nSTMTS 4 P ep=1\n      SET      BEN\nEND\n", "test:3: column 20"},
      {"APPLICATION APP 01\nSTMTS 4 P\nEND\n", "needs ep="},
      {"APPLICATION APP 01\nWORK W A2 number=5\nWORK V A2 number=5\n", "test:3: number 5 is named twice in the source"},
  };
  for (auto& [src, want] : rows) {
    design_source_result r = design_source_build(src, "test", kScope, "0DN");
    EXPECT_FALSE(r.ok) << src;
    EXPECT_NE(r.error.find(want), std::string::npos) << r.error;
  }
}

}  // namespace
}  // namespace kivo::test

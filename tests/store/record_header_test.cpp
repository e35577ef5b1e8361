// The one check of a record header that reads, writes and the repair share:
// what it takes for a finished user record, and what it turns away.
#include <gtest/gtest.h>

#include "store/record_ops.h"

namespace kivo {
namespace {

TEST(RecordHeader, CheckTakesOnlyAFinishedUserRecordThatNamesItselfAndFits) {
  BRF_FILE var, fixed;
  brfinithdr(&var.hdr, 0);
  brfinithdr(&fixed.hdr, 40);
  fixed.has_header = true;
  constexpr uint32_t kAt = 4096, kEnd = 8192;
  struct {
    const char* name;
    const BRF_FILE* file;
    rec_hdr h;
    uint64_t end;
    int want;
  } cases[] = {
      {"live", &var, {0, 0, 100, kAt, 3}, kEnd, BRF_OK},
      {"live, end not known", &var, {0, 0, 100, kAt, 3}, kAnyEnd, BRF_OK},
      {"held by a session", &var, {0, 0, 100, owner_word(7), 3}, kEnd, BRF_OK},
      {"deleted", &var, {kRecDeleted, 0, 100, 0, 3}, kEnd, BRF_DELETED},
      {"unfinished", &var, {kRecNotUser, 0, 100, kAt, 3}, kEnd, BRF_DELETED},
      {"moving copy naming its old place", &var, {kRecNotUser, 0, 100, 512, 3}, kEnd, BRF_DELETED},
      {"another record's link", &var, {0, 0, 100, 512, 3}, kEnd, BRF_BAD_DATA},
      {"no body", &var, {0, 0, 0, kAt, 3}, kEnd, BRF_BAD_DATA},
      {"ends exactly at the end", &var, {0, 0, kEnd - kAt - kRecOverhead, kAt, 3}, kEnd, BRF_OK},
      {"runs past the end", &var, {0, 0, kEnd - kAt - kRecOverhead + 1, kAt, 3}, kEnd, BRF_BAD_DATA},
      {"fixed, the file's length", &fixed, {0, 0, 40, kAt, 3}, kEnd, BRF_OK},
      {"fixed, another length", &fixed, {0, 0, 41, kAt, 3}, kEnd, BRF_BAD_DATA},
  };
  for (const auto& c : cases) EXPECT_EQ(brf_rec_hdr_check(c.file, c.h, kAt, c.end), c.want) << c.name;
}

}  // namespace
}  // namespace kivo

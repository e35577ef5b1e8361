// Adds on a disk that fills up: a write that takes a file past its end uses
// the disk's room, and one that needs more than is left fails with ENOSPC.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>

#include "../fixtures/hook_override.h"
#include "foundation/foundation.h"
#include "foundation/os_calls.h"
#include "record_test_util.h"

namespace kivo {
namespace {

long g_room;  // bytes the disk has left

// A write of `n` bytes at `off` to `fd`, done by `real` when the disk has
// room for what it adds to the file (taking it), else ENOSPC.
template <class F>
ssize_t on_room(int fd, off_t off, size_t n, F real) {
  struct stat st;
  const long grow = ::fstat(fd, &st) == 0 ? long(off + off_t(n) - st.st_size) : 0;
  if (grow > g_room) return errno = ENOSPC, -1;
  g_room -= std::max(grow, 0L);
  return real();
}

os_call_table filling_disk() {
  os_call_table t = os_real_calls();
  t.pwrite = [](int fd, const void* b, size_t n, off_t o) {
    return on_room(fd, o, n, [&] { return ::pwrite(fd, b, n, o); });
  };
  t.pwritev = [](int fd, const iovec* v, int cnt, off_t o) {
    size_t n = 0;
    for (int i = 0; i < cnt; ++i) n += v[i].iov_len;
    return on_room(fd, o, n, [&] { return ::pwritev(fd, v, cnt, o); });
  };
  return t;
}

// Unfinished records that are no free-list block: space lost to the file.
size_t lost_slots(const std::string& dat) {
  std::vector<test::data_record> recs;
  std::set<uint32_t> blocks;
  if (!test::walk_data(test::read_file(dat), &recs, false, &blocks).empty()) return SIZE_MAX;
  return size_t(std::count_if(recs.begin(), recs.end(), [&](const test::data_record& r) {
    return (r.flags & (kRecDeleted | kRecNotUser)) == kRecNotUser && !blocks.count(r.seek);
  }));
}

// The add that meets the full disk fails with "no space" and leaves no space
// lost to the file: every record in the data file is live, deleted on a
// chain, or a free-list block. Once there is room the same add succeeds.
TEST(FailedReadsMidWork, AddOnAFullDiskLosesNoSpaceAndSucceedsOnceThereIsRoom) {
  com_fill(0, nullptr);
  kivo_test::hook_overrides hooks;
  hooks.set(foundation_seams.err_presenter, test::quiet);
  brfinit();
  test::scratch_dir dir;
  for (const size_t body : {12, 480}) {  // short records, records of a quarter page
    for (long room = 0; room <= 6144; room += 96) {
      SCOPED_TRACE("body " + std::to_string(body) + ", room " + std::to_string(room));
      const std::string base = dir.file("f" + std::to_string(room) + "_" + std::to_string(body));
      BRF_FILE* f;
      BRF_RCB* r = test::create_three_keys(base, &f);
      ASSERT_NE(r, nullptr);
      g_room = room;
      std::optional<kivo_test::scoped_hook<os_call_table>> disk(std::in_place, os_sys, filling_disk());
      uint32_t id = 0;
      std::vector<uint8_t> rec;
      int st;
      do ++id, rec = test::make_rec(id, "C" + std::to_string(id), id, body, 'x');
      while ((st = brfput(r, rec.data(), uint32_t(rec.size()))) == BRF_OK);
      EXPECT_TRUE(st == BRF_NO_SPACE || st == BRF_WRITE_ERR) << st;
      disk.reset();
      std::map<std::string, std::vector<uint8_t>> kept;
      for (const uint32_t added : {id - 1, id}) {  // the failed add not kept; then, with room, made
        EXPECT_EQ(lost_slots(base + ".dat"), 0u);
        ASSERT_EQ(test::check_pair(base, &kept), "");
        EXPECT_EQ(kept.size(), added) << "every acknowledged add is kept, the failed one is not";
        if (added == id) break;
        EXPECT_EQ(brfput(r, rec.data(), uint32_t(rec.size())), BRF_OK);
        brfdeaccess(r), brfclose(f);
      }
    }
  }
}

}  // namespace
}  // namespace kivo

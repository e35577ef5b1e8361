// Adds on a disk that fills up: a write that takes a file past its end uses
// the disk's room, and one that needs more than is left fails with ENOSPC,
// as a full disk answers. The add that meets the full disk fails with "no
// space" and leaves no space lost to the file: every record in the data
// file is live, deleted on a chain, or a free-list block. Once there is room
// the same add succeeds.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>

#include "../fixtures/hook_override.h"
#include "foundation/foundation.h"
#include "foundation/os_calls.h"
#include "record_test_util.h"
#include "store_test_util.h"

namespace kivo {
namespace {

long g_room;  // bytes the disk has left

// Whether the disk has room for `n` bytes written at `off`; takes it.
bool take_room(int fd, off_t off, size_t n) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return true;
  const long grow = static_cast<long>(off + static_cast<off_t>(n) - st.st_size);
  if (grow <= 0) return true;
  if (grow > g_room) return false;
  g_room -= grow;
  return true;
}

os_call_table filling_disk() {
  os_call_table t = os_real_calls();
  t.pwrite = [](int fd, const void* b, size_t n, off_t o) -> ssize_t {
    return take_room(fd, o, n) ? ::pwrite(fd, b, n, o) : (errno = ENOSPC, -1);
  };
  t.pwritev = [](int fd, const iovec* v, int cnt, off_t o) -> ssize_t {
    size_t n = 0;
    for (int i = 0; i < cnt; ++i) n += v[i].iov_len;
    return take_room(fd, o, n) ? ::pwritev(fd, v, cnt, o) : (errno = ENOSPC, -1);
  };
  return t;
}

// Unfinished records that are no free-list block: space lost to the file.
size_t lost_slots(const std::string& dat) {
  const std::vector<uint8_t> d = test::read_file(dat);
  std::vector<test::data_record> recs;
  if (!test::walk_data(d, &recs).empty()) return SIZE_MAX;
  std::set<uint32_t> blocks;
  for (uint32_t b = decode_brf_hdr(d.data()).freelist; b && blocks.insert(b).second;)
    b = ld_le32(d.data(), b + kRecHdrSize);
  size_t lost = 0;
  for (const test::data_record& r : recs)
    lost += (r.flags & (kRecDeleted | kRecNotUser)) == kRecNotUser && !blocks.count(r.seek);
  return lost;
}

TEST(FailedReadsMidWork, AddOnAFullDiskLosesNoSpaceAndSucceedsOnceThereIsRoom) {
  com_fill(0, nullptr);
  kivo_test::hook_overrides hooks;
  hooks.set(foundation_seams.err_presenter, test::quiet);
  brfinit();
  test::scratch_dir dir;
  const struct {
    const char* name;
    size_t body;  // body bytes of each record added
  } cases[] = {{"short records", 12}, {"records of a quarter page", 480}};
  for (const auto& c : cases) {
    for (long room = 0; room <= 6144; room += 96) {
      SCOPED_TRACE(std::string(c.name) + ", room " + std::to_string(room));
      const std::string base = dir.file(std::string("f") + std::to_string(room) + "_" + std::to_string(c.body));
      int st;
      BRF_FILE* f = brfopen(&st, base.c_str(), BRF_CREATE, 0, false);
      ASSERT_NE(f, nullptr);
      BRF_RCB* r = brfaccess(&st, f, 0, false);
      ASSERT_EQ(brf_upd_ver(f), BRF_OK);
      ASSERT_EQ(test::set_three_keys(r), BRF_OK);
      g_room = room;
      std::optional<kivo_test::scoped_hook<os_call_table>> disk;
      disk.emplace(os_sys, filling_disk());
      uint32_t id = 1;
      std::vector<uint8_t> rec;
      for (;; ++id) {
        rec = test::make_rec(id, "C" + std::to_string(id), id, c.body, 'x');
        st = brfput(r, rec.data(), static_cast<uint32_t>(rec.size()));
        if (st != BRF_OK) break;
      }
      EXPECT_TRUE(st == BRF_NO_SPACE || st == BRF_WRITE_ERR) << st;
      disk.reset();
      EXPECT_EQ(lost_slots(base + ".dat"), 0u);
      std::map<std::string, std::vector<uint8_t>> kept;
      ASSERT_EQ(test::check_pair(base, &kept), "");
      EXPECT_EQ(kept.size(), id - 1) << "every acknowledged add is kept, the failed one is not";
      EXPECT_EQ(brfput(r, rec.data(), static_cast<uint32_t>(rec.size())), BRF_OK);
      brfdeaccess(r);
      brfclose(f);
      EXPECT_EQ(lost_slots(base + ".dat"), 0u);
      EXPECT_EQ(test::check_pair(base, &kept), "");
      EXPECT_EQ(kept.size(), id);
    }
  }
}

}  // namespace
}  // namespace kivo

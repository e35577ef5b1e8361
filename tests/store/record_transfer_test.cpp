// Transfers between real processes: four processes move amounts between two
// records of one keyed file, each transfer reading both records by key with
// a record lock (a refusal lets both go and starts again) and rewriting both
// with the same length. Records whose body crosses a page of the file move
// on every rewrite, so readers meet records in motion all the time. Every
// locked keyed read must deliver the record it asked for, or the refusal;
// the money adds up and every acknowledged transfer is in the records.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <random>

#include "../fixtures/hook_override.h"
#include "crash_test_util.h"
#include "foundation/foundation.h"
#include "store/analyser.h"

namespace kivo {
namespace {

using namespace test;

constexpr uint32_t kAccounts = 1000;
constexpr int kProcs = 4;
constexpr uint32_t kBusy = 16;
constexpr int64_t kOpening = 1000000;
// Record: id (8, the key), balance (i64), transfers applied (u32), tag of the
// last transfer (u32: process << 24 | its ordinal + 1; 0 none), filler.
constexpr size_t kBalOff = 8, kVerOff = 16, kTagOff = 20, kAcctLen = 2000;

std::vector<uint8_t> account(uint32_t id, int64_t bal, uint32_t ver, uint32_t tag) {
  std::vector<uint8_t> r = make_rec(id, "", 0, kAcctLen - kFixedPart, 0x20);
  st_le32(r.data(), kBalOff, static_cast<uint32_t>(bal));
  st_le32(r.data(), kBalOff + 4, static_cast<uint32_t>(static_cast<uint64_t>(bal) >> 32));
  st_le32(r.data(), kVerOff, ver);
  st_le32(r.data(), kTagOff, tag);
  return r;
}
int64_t balance_of(const uint8_t* r) {
  return static_cast<int64_t>(uint64_t{ld_le32(r, kBalOff)} | uint64_t{ld_le32(r, kBalOff + 4)} << 32);
}

void make_accounts(const std::string& base) {
  int st;
  BRF_FILE* f = brfopen(&st, base.c_str(), BRF_CREATE, 0, false);
  ASSERT_NE(f, nullptr);
  BRF_RCB* r = brfaccess(&st, f, 0, false);
  ASSERT_EQ(brf_upd_ver(f), BRF_OK);
  KEY_DESC k = id_key();
  ASSERT_EQ(brfsetkey(r, &k, true, false, nullptr), BRF_OK);
  for (uint32_t id = 0; id < kAccounts; ++id) {
    std::vector<uint8_t> rec = account(id, kOpening, 0, 0);
    ASSERT_EQ(brfput(r, rec.data(), kAcctLen), BRF_OK);
  }
  brfdeaccess(r);
  brfclose(f);
}

// One acknowledged transfer: its tag and, per record, the count it left.
struct ack {
  uint32_t tag, a, a_ver, b, b_ver;
};
// What a process reports at its end, before its acknowledgements.
struct tally {
  uint32_t done, refusals, wrong, first_wrong;
};

struct transfer_rcb {
  BRF_RCB* r = nullptr;
  std::vector<uint8_t> buf = std::vector<uint8_t>(kAcctLen);
};

// Reads account `id` with a lock: 0 when delivered and locked, 20 refused,
// else counted as wrong (a status other than those, another record, or a
// record delivered with 0 but not locked where it lies).
int read_locked(transfer_rcb& t, uint32_t id, tally* n) {
  std::vector<uint8_t> key = account(id, 0, 0, 0);
  uint32_t len = 0;
  brf_want_lock(t.r, false);
  int st = brfseek(t.r, kSeekEqual, key.data(), kWholeRecord, t.buf.data(), t.buf.size(), &len);
  if (st == BRF_LOCK_REFUSED) return st;
  bool locked = (t.r->lock.flags & RCB_LOCK_HELD) && t.r->lock.seek == t.r->last_seek;
  if (st == BRF_OK && locked && len == kAcctLen && memcmp(t.buf.data(), key.data(), kIdLen) == 0) return st;
  if (n->wrong++ == 0) n->first_wrong = st != BRF_OK ? static_cast<uint32_t>(st) : locked ? 1000 : 1001;
  return -1;
}

// Process `p`: `count` transfers; process 0 locks in key order, the others in
// a random one. Writes its tally and acknowledgements to `out`.
[[noreturn]] void transferer(const std::string& base, int p, uint32_t count, const std::string& out) {
  fd_cache_after_fork();
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
  alarm(600);  // a hang fails the test instead of stopping it
  int st;
  BRF_FILE* f = brfopen(&st, base.c_str(), 0, 0, false);
  if (!f) _exit(5);
  transfer_rcb t[2];
  KEY_DESC k = id_key();
  for (transfer_rcb& x : t)
    if (!(x.r = brfaccess(&st, f, 0, false)) || brfsetkey(x.r, &k, false, false, nullptr) != BRF_OK) _exit(6);
  std::mt19937 rng(static_cast<uint32_t>(p * 7919 + 1));
  tally n{};
  std::vector<ack> acks;
  while (n.done < count) {
    // Every other transfer between two of a few busy accounts: refusals,
    // and reads of records another process is moving, are common.
    uint32_t range = n.done % 2 ? kBusy : kAccounts;
    uint32_t a = rng() % range, b = rng() % range;
    if (a == b) continue;
    if (p == 0 ? a > b : rng() % 2) std::swap(a, b);
    int s0 = read_locked(t[0], a, &n);
    int s1 = s0 == BRF_OK ? read_locked(t[1], b, &n) : -1;
    if (s0 != BRF_OK || s1 != BRF_OK) {
      n.refusals += s0 == BRF_LOCK_REFUSED || s1 == BRF_LOCK_REFUSED;
      brf_release(t[0].r);
      brf_release(t[1].r);
      continue;
    }
    int64_t amount = static_cast<int64_t>(rng() % 500) + 1;
    uint32_t tag = static_cast<uint32_t>(p) << 24 | (n.done + 1);
    uint32_t va = ld_le32(t[0].buf.data(), kVerOff) + 1, vb = ld_le32(t[1].buf.data(), kVerOff) + 1;
    std::vector<uint8_t> ra = account(a, balance_of(t[0].buf.data()) - amount, va, tag);
    std::vector<uint8_t> rb = account(b, balance_of(t[1].buf.data()) + amount, vb, tag);
    if (brfrewrite(t[0].r, ra.data(), kAcctLen) != BRF_OK || brfrewrite(t[1].r, rb.data(), kAcctLen) != BRF_OK)
      _exit(7);
    acks.push_back({tag, a, va, b, vb});
    ++n.done;
  }
  FILE* o = fopen(out.c_str(), "wb");
  if (!o || fwrite(&n, sizeof n, 1, o) != 1 || fwrite(acks.data(), sizeof(ack), acks.size(), o) != acks.size())
    _exit(8);
  fclose(o);
  _exit(0);
}

TEST(RecordTransfers, LockedKeyedReadsNeverReportALiveRecordDeletedAndNoTransferIsLost) {
  com_fill(0, nullptr);
  kivo_test::scoped_hook presenter(foundation_seams.err_presenter, quiet);
  brfinit();
  scratch_dir dir;
  std::string base = dir.file("bank");
  make_accounts(base);
  if (HasFatalFailure()) return;
  const uint32_t per_proc = 5000 * static_cast<uint32_t>(stress_scale());
  pid_t pids[kProcs];
  for (int p = 0; p < kProcs; ++p)
    if ((pids[p] = fork()) == 0) transferer(base, p, per_proc, dir.file("acks" + std::to_string(p)));
  for (int p = 0; p < kProcs; ++p) ASSERT_EQ(wait_exit(pids[p]), 0) << "process " << p;

  // The last transfer of each record, by the count it left there.
  std::map<std::pair<uint32_t, uint32_t>, uint32_t> last_tag;  // (id, count) -> tag
  std::map<uint32_t, uint32_t> applied;                        // id -> transfers acknowledged
  tally total{};
  for (int p = 0; p < kProcs; ++p) {
    std::vector<uint8_t> bytes = read_file(dir.file("acks" + std::to_string(p)));
    ASSERT_GE(bytes.size(), sizeof(tally));
    tally n;
    memcpy(&n, bytes.data(), sizeof n);
    EXPECT_EQ(n.wrong, 0u) << "process " << p << " first wrong status " << n.first_wrong
                           << " (1000 another record, 1001 not locked)";
    total.done += n.done;
    total.refusals += n.refusals;
    total.wrong += n.wrong;
    for (size_t at = sizeof n; at + sizeof(ack) <= bytes.size(); at += sizeof(ack)) {
      ack x;
      memcpy(&x, bytes.data() + at, sizeof x);
      EXPECT_TRUE(last_tag.insert({{x.a, x.a_ver}, x.tag}).second) << "two transfers left count " << x.a_ver;
      EXPECT_TRUE(last_tag.insert({{x.b, x.b_ver}, x.tag}).second) << "two transfers left count " << x.b_ver;
      ++applied[x.a];
      ++applied[x.b];
    }
  }
  RecordProperty("transfers", static_cast<int>(total.done));
  RecordProperty("refusals", static_cast<int>(total.refusals));
  RecordProperty("wrong_statuses", static_cast<int>(total.wrong));
  printf("%u transfers, %u refusals, %u wrong statuses\n", total.done, total.refusals, total.wrong);

  session s(base);
  int st;
  BRF_RCB* r = brfaccess(&st, s.f, 0, false);
  KEY_DESC k = id_key();
  ASSERT_EQ(brfsetkey(r, &k, false, false, nullptr), BRF_OK);
  std::vector<uint8_t> buf(kAcctLen);
  uint32_t len = 0, seen = 0;
  int64_t sum = 0;
  for (st = brffirst(r, buf.data(), buf.size(), &len); st == BRF_OK; st = brfnext(r, buf.data(), buf.size(), &len)) {
    uint32_t id = static_cast<uint32_t>(std::stoul(std::string(buf.begin(), buf.begin() + kIdLen)));
    uint32_t ver = ld_le32(buf.data(), kVerOff);
    sum += balance_of(buf.data());
    ++seen;
    EXPECT_EQ(ver, applied[id]) << "account " << id;
    uint32_t want_tag = ver ? last_tag[{id, ver}] : 0;
    EXPECT_EQ(ld_le32(buf.data(), kTagOff), want_tag) << "account " << id;
  }
  EXPECT_EQ(st, BRF_EOF);
  EXPECT_EQ(seen, kAccounts);
  EXPECT_EQ(sum, kOpening * kAccounts);
  brfdeaccess(r);
  int32_t count = 0;
  EXPECT_EQ(analyze(base.c_str(), 0, &count), 1);
}

}  // namespace
}  // namespace kivo

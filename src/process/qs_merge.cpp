// The external sort of a sorted query: runs distributed over five of six
// work files toward cascade targets, merged pass by pass into the emptied
// file, and a final five-way pass into the pointer file.
//
// Invariants: a file's target counts its real runs and its dummy runs; the
// runs of all files add up to a perfect cascade total before the first pass.
// Every pass consumes every input run, so each pass starts all files that
// hold real runs at their beginning. No work file outlives the sort, whether
// it ends, fails or is interrupted.
#include <algorithm>
#include <cstring>
#include <vector>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"
#include "foundation/sys_err.h"
#include "process/qs.h"

namespace kivo {

namespace {

uint32_t fail(QRY_SORT* q, const char* text, uint32_t st = QS_FAILED) {
  sys_err("PBSORT", __LINE__, "%s", text);
  return q->status = st;
}

uint16_t wrk_len(const QRY_SORT* q) { return uint16_t(std::max<uint32_t>(q->entry_len, kRunHdrLen)); }

// Writes a record of the file's length; an entry shorter than a run header
// goes out zero-padded.
uint32_t write_rec(QRY_SORT* q, int i, uint8_t* rec, uint32_t len) {
  uint8_t pad[kRunHdrLen] = {};
  if (len < wrk_len(q)) rec = static_cast<uint8_t*>(memcpy(pad, rec, len));
  ARB* a = q->f[i].arb;
  a->arb_rec = rec;
  a->arb_len = a->arb_var_len = wrk_len(q);
  a->arb_mod = 0;
  q->wrk_io += a->arb_len;
  return fm_write(a) ? 1 : (q->status = a->arb_stat ? a->arb_stat : QS_FAILED);
}

uint32_t read_rec(QRY_SORT* q, int i, uint8_t* rec) {
  ARB* a = q->f[i].arb;
  a->arb_rec = rec;
  a->arb_len = wrk_len(q);
  a->arb_mod = 0;
  a->arb_key = nullptr;
  a->arb_key_end = nullptr;
  q->wrk_io += a->arb_len;
  return fm_rdnxt(a) ? 1 : fail(q, "work file read failed", a->arb_stat ? a->arb_stat : QS_FAILED);
}

uint32_t write_hdr(QRY_SORT* q, int i, uint32_t count, uint32_t ordinal) {
  std::vector<uint8_t> h(wrk_len(q), 0);
  st_le32(h.data(), RH_COUNT, count);
  st_le32(h.data(), RH_ORDINAL, ordinal);
  st_le32(h.data(), RH_MAGIC, kRunMagic);
  return write_rec(q, i, h.data(), wrk_len(q));
}

// The run's entry count from its header; false when the header is broken.
uint32_t read_hdr(QRY_SORT* q, int i, uint32_t* count) {
  std::vector<uint8_t> h(wrk_len(q));
  const uint32_t st = read_rec(q, i, h.data());
  if (st != 1) return st;
  if (ld_le32(h.data(), RH_MAGIC) != kRunMagic) return fail(q, "merge file not positioned at SOR");
  *count = ld_le32(h.data(), RH_COUNT);
  return 1;
}

// ---- distribution ----

int next_file(const QRY_SORT* q) {
  int best = -1;
  uint32_t deficit = 0;
  for (int i = 0; i < kMergeInputs; ++i)
    if (q->f[i].target > q->f[i].real && q->f[i].target - q->f[i].real > deficit)
      best = i, deficit = q->f[i].target - q->f[i].real;
  return best;
}

uint32_t write_run(QRY_SORT* q, int i, uint32_t count) {
  QS_FILE& f = q->f[i];
  uint32_t st = write_hdr(q, i, count, f.real + 1);
  while (st == 1)
    if (uint8_t* e = get_rec_id(q)) st = write_rec(q, i, e, q->entry_len);
    else break;
  if (st == 1) ++f.real;
  return st;
}

uint32_t total_runs(const QRY_SORT* q) {
  uint32_t n = 0;
  for (const QS_FILE& f : q->f) n += f.target;
  return n;
}

// The targets advance only before a run needs a place, so a perfect run
// count ends the distribution on its level; fewer than five runs are padded
// with dummies to the first level.
uint32_t distribute(QRY_SORT* q, int64_t count) {
  q->f[0].target = 1;
  while (count > 0) {
    int i = next_file(q);
    if (i < 0) nxt_perfect(q), i = next_file(q);
    const uint32_t st = write_run(q, i, uint32_t(count));
    if (st != 1) return st;
    if (uint64_t(count) < q->capacity) break;
    count = make_run(q);
    if (count < 0) return q->status;
  }
  while (total_runs(q) < kMergeInputs) nxt_perfect(q);
  return 1;
}

// ---- merge ----

struct src {
  int file;
  uint32_t left;
  std::vector<uint8_t> cur;
};

// Takes one run from every active file: the real runs' sources, and their
// total entry count.
uint32_t take_runs(QRY_SORT* q, std::vector<src>* in, uint32_t* total) {
  for (int i = 0; i < kWorkFiles; ++i) {
    QS_FILE& f = q->f[i];
    if (!f.active || f.target == 0) continue;
    --f.target;
    if (f.real == 0) continue;
    --f.real;
    uint32_t n = 0;
    const uint32_t st = read_hdr(q, i, &n);
    if (st != 1) return st;
    *total += n;
    if (n) in->push_back(src{i, n, std::vector<uint8_t>(wrk_len(q))});
  }
  return 1;
}

// Merges the sources into `put` (an output file or the pointer file).
template <class Put>
uint32_t merge_into(QRY_SORT* q, std::vector<src>& in, Put put) {
  for (src& s : in) {
    if (s.file == q->out) return fail(q, "aaaarrrg, reading from destination file!!");
    const uint32_t st = read_rec(q, s.file, s.cur.data());
    if (st != 1) return st;
  }
  while (!in.empty()) {
    size_t m = 0;
    for (size_t k = 1; k < in.size(); ++k)
      if (memcmp(in[k].cur.data(), in[m].cur.data(), q->key_len) < 0) m = k;
    uint32_t st = put(in[m].cur.data());
    if (st != 1) return st;
    if (--in[m].left == 0) {
      in.erase(in.begin() + long(m));
      continue;
    }
    st = read_rec(q, in[m].file, in[m].cur.data());
    if (st != 1) return st;
  }
  return 1;
}

uint32_t merge_phy(QRY_SORT* q) {
  std::vector<src> in;
  uint32_t total = 0;
  uint32_t st = take_runs(q, &in, &total);
  if (st != 1) return st;
  QS_FILE& o = q->f[q->out];
  ++o.target;
  if (in.empty()) return 1;
  st = write_hdr(q, q->out, total, o.real);
  if (st != 1) return st;
  ++o.real;
  return merge_into(q, in, [&](uint8_t* e) { return write_rec(q, q->out, e, wrk_len(q)); });
}

void close_file(QRY_SORT* q, int i, bool scratch) {
  if (q->f[i].arb) FM_CLOSE(q->f[i].arb, scratch ? ARB_SCRATCH : 0);
  q->f[i].arb = nullptr;
}

uint32_t merge_log(QRY_SORT* q) {
  for (int i = 0; i < kWorkFiles; ++i) {
    QS_FILE& f = q->f[i];
    if (!f.active || f.target != 0) continue;
    if (q->f[q->out].active) return fail(q, "dst arb should be inactive");
    f.active = false;
    close_file(q, i, true);
    f.arb = open_wrk_fi(q, i, false, FS_DISK, true);
    if (!f.arb) return q->status = QS_FAILED;
    f.real = 0;
    q->out = i;
    return 1;
  }
  return merge_phy(q);
}

bool any_active(const QRY_SORT* q) {
  for (const QS_FILE& f : q->f)
    if (f.active) return true;
  return false;
}

uint32_t merge_pass(QRY_SORT* q) {
  ++q->passes;
  while (any_active(q)) {
    const uint32_t st = merge_log(q);
    if (st != 1) return st;
  }
  return 1;
}

uint32_t final_pass(QRY_SORT* q) {
  ++q->passes;
  QS_PTR_OUT o;
  auto put = [&](uint8_t* e) { return qs_put_ptr(q, &o, e); };
  while (total_runs(q) - q->f[q->out].target > 0) {
    std::vector<src> in;
    uint32_t total = 0;
    uint32_t st = take_runs(q, &in, &total);
    if (st == 1) st = merge_into(q, in, put);
    if (st != 1) return st;
  }
  const uint32_t st = qs_end_ptr(q, &o);
  for (int i = 0; i < kWorkFiles; ++i) close_file(q, i, true);
  return st;
}

uint32_t start_files(QRY_SORT* q) {
  for (int i = 0; i < kWorkFiles; ++i) {
    QS_FILE& f = q->f[i];
    f.active = i != q->out;
    if (f.real == 0) continue;
    f.arb->arb_mod = ARB_FIRST | ARB_MUST_FIND;  // its runs are there, or the file failed
    f.arb->arb_key = nullptr;
    if (!fm_start(f.arb)) return fail(q, "bad start", f.arb->arb_stat);
  }
  return 1;
}

uint32_t do_merge(QRY_SORT* q) {
  q->out = kWorkFiles - 1;
  for (;;) {
    uint32_t st = start_files(q);
    if (st != 1) return st;
    if (total_runs(q) == kMergeInputs) return final_pass(q);
    st = merge_pass(q);
    if (st != 1) return st;
  }
}

// Work files and, after a failure, the pointer file go when the sort ends
// by any way; the pointer file of a complete sort stays with the query.
struct wrk_guard {
  QRY_SORT* q;
  bool done = false;
  ~wrk_guard() {
    free_run(q);
    for (int i = 0; i < kWorkFiles; ++i) close_file(q, i, true);
    if (!done && q->ptr_arb) FM_CLOSE(q->ptr_arb, ARB_SCRATCH), q->ptr_arb = nullptr;
  }
};

uint32_t external_sort(QRY_SORT* q, int64_t count) {
  q->ptr_arb = open_wrk_fi(q, 0, true, FS_DISK, true);
  if (!q->ptr_arb) return QS_FAILED;
  for (int i = 0; i < kWorkFiles; ++i) {
    q->f[i] = QS_FILE{open_wrk_fi(q, i, false, FS_DISK, true), 0, 0, true};
    if (!q->f[i].arb) return QS_FAILED;
  }
  const uint32_t st = distribute(q, count);
  if (st != 1) return st;
  free_run(q);
  return do_merge(q);
}

}  // namespace

void nxt_perfect(QRY_SORT* q) {
  uint32_t t[kMergeInputs];
  t[4] = q->f[0].target;
  for (int i = 3; i >= 0; --i) t[i] = t[i + 1] + q->f[4 - i].target;
  for (int i = 0; i < kMergeInputs; ++i) q->f[i].target = t[i];
}

uint32_t qs_sort(QRY_SORT* q) {
  if (q->executed) return 1;
  alloc_exec(q);
  q->status = 0;
  q->selected = q->rejected = 0;
  wrk_guard g{q};
  const int64_t count = make_run(q);
  if (count < 0) return q->status;
  const uint32_t st = uint64_t(count) < q->capacity ? single_run(q) : external_sort(q, count);
  if (st != 1) return st;
  g.done = true;
  q->executed = true;
  return 1;
}

}  // namespace kivo

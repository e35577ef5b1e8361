// Whole records that a repair takes out of a data file because no index can
// hold them as they stand: a later record that repeats the value of a key
// the file keeps unique (the first, by place in the file, stays), and a
// record the key file names whose flags say deleted. Their bytes go to a
// file beside the data file before anything in the data file changes, so
// no byte is lost; then each is marked deleted and the free list is built
// again, which takes their space back.
//
// Caller: brfrepair (record_repair.cpp), before the keys are rebuilt.
#include <algorithm>
#include <cstdio>

#include "store/record_ops.h"
#include "store/store.h"

namespace kivo {

namespace {

// The records of `recs` that lie whole in the file, as spans; a record that
// is no longer whole (another repair step moved the end) is dropped.
std::vector<brf_span> whole_spans(BRF_FILE* f, std::vector<brf_misfit>* recs) {
  std::vector<brf_span> parts;
  std::vector<brf_misfit> kept;
  for (brf_misfit& m : *recs) {
    rec_hdr h;
    if (brf_read_rec_hdr(f, m.seek, &h) != BRF_OK || h.length == 0) continue;
    const uint64_t end = uint64_t{m.seek} + h.length + kRecOverhead;
    if (m.seek < kDataHeaderSize || end > f->hdr.eofseek) continue;
    parts.push_back({m.seek, end});
    kept.push_back(std::move(m));
  }
  *recs = std::move(kept);
  return parts;
}

int mark_deleted(BRF_FILE* f, uint32_t seek) {
  rec_hdr h;
  if (int st = brf_read_rec_hdr(f, seek, &h)) return st;
  if (h.flags & kRecDeleted) return BRF_OK;
  h.flags |= kRecDeleted;
  return brf_write_rec_hdr(f, seek, h);
}

// Under the update lock: the copy, the marks, the free list and the lines.
int put_aside_locked(BRF_FILE* f, const std::string& base, std::vector<brf_misfit>& recs, FILE* out) {
  if (int st = brfgethdr(f)) return st;
  const std::vector<brf_span> parts = whole_spans(f, &recs);
  if (parts.empty()) return BRF_OK;
  const std::string path = brf_aside_name(base);
  if (int st = brf_set_aside(f, parts, path)) return st;
  uint64_t bytes = 0;
  for (size_t i = 0; i < recs.size(); ++i) {
    if (int st = mark_deleted(f, recs[i].seek)) return st;
    bytes += parts[i].to - parts[i].from;
    fprintf(out, "set aside %s: the record at %u %s\n", base.c_str(), recs[i].seek, recs[i].why.c_str());
  }
  f->count_eof = 0;
  if (int st = brf_rebuild_free_list(f)) return st;
  fprintf(out, "set aside %s: %zu record%s (%llu bytes, each header to trailer) copied to %s; their space is free\n",
          base.c_str(), recs.size(), recs.size() == 1 ? "" : "s", static_cast<unsigned long long>(bytes), path.c_str());
  return BRF_OK;
}

}  // namespace

int brf_put_aside(const std::string& base, std::vector<brf_misfit> recs, FILE* out) {
  if (recs.empty()) return BRF_OK;
  // One record named by several keys, or for several reasons, is set aside once.
  std::stable_sort(recs.begin(), recs.end(), [](const brf_misfit& a, const brf_misfit& b) { return a.seek < b.seek; });
  recs.erase(
      std::unique(recs.begin(), recs.end(), [](const brf_misfit& a, const brf_misfit& b) { return a.seek == b.seek; }),
      recs.end());
  int st = BRF_OK;
  BRF_FILE* f = brfopen(&st, base.c_str(), BRF_NO_KEYS, 0, false);
  if (!f) return st;
  if (!brf_header_from_file(f)) {
    brfclose(f);
    return BRF_BAD_DATA;
  }
  {
    // A repair's own hold, when it has one, serves.
    const update_hold hold(f->slot, true);
    st = hold.held() ? put_aside_locked(f, base, recs, out) : BRF_LOCK_REFUSED;
  }
  brfclose(f);
  return st;
}

}  // namespace kivo

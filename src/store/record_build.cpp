// Whole-file key builds: the indexes of a keyed file built from its data
// file at once, for a key just defined on a file that holds records (an
// imported file's first open), and for every key by the repair.
//
// One walk reads the data file in large blocks and takes each live record's
// value of every key wanted (a null value stays out, as the record
// operations keep it); each key's values are then sorted and its tree
// written bottom up (bt_bulk_load). A value met twice fails the build, or
// for the repair leaves the later record (in file order) out of that key.
// A build whose values would not fit kBuildMemory falls back to inserting
// record after record.
//
// The caller holds the update lock and has its change begun, so no writer
// runs meanwhile and a kill leaves the pair marked for the repair, which
// builds again from the start; the tree lock is held throughout, so no
// reader meets a tree half built.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <numeric>
#include <optional>
#include <vector>

#include "store/lock.h"
#include "store/record_ops.h"
#include "store/store.h"

namespace kivo {

namespace {

// Bytes of the data file one read brings.
constexpr size_t kScanBlock = 4 << 20;
// Bytes of key values a build holds at most before it falls back.
constexpr uint64_t kBuildMemory = uint64_t{1} << 30;

// Walks the records from the first to the header's end of file, through
// reads of kScanBlock bytes.
class record_scan {
 public:
  explicit record_scan(BRF_FILE* f) : f_(f), buf_(kScanBlock) {}

  // The next record: 1 with its seek, header and body (valid until the next
  // call), 0 past the last, or -status.
  int next(uint32_t* seek, rec_hdr* h, const uint8_t** body) {
    if (pos_ >= f_->hdr.eofseek) return 0;
    if (!have(pos_, kRecHdrSize)) return -BRF_BAD_DATA;
    *h = decode_rec_hdr(at(pos_));
    const uint64_t end = pos_ + h->length + kRecOverhead;
    if (end > f_->hdr.eofseek || !have(pos_, kRecHdrSize + h->length)) return -BRF_BAD_DATA;
    *seek = static_cast<uint32_t>(pos_);
    *body = at(pos_) + kRecHdrSize;
    pos_ = end;
    return 1;
  }
  uint64_t done() const { return pos_ - kDataHeaderSize; }
  uint64_t total() const { return f_->hdr.eofseek - kDataHeaderSize; }

 private:
  const uint8_t* at(uint64_t off) const { return buf_.data() + (off - start_); }
  // Whether [off, off + n) is in the buffer, read from `off` when it is not.
  bool have(uint64_t off, size_t n) {
    if (off >= start_ && off + n <= start_ + len_) return true;
    if (buf_.size() < n) buf_.resize(n);
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buf_.size(), f_->hdr.eofseek - off));
    const ssize_t got = want >= n ? brf_pread(f_, buf_.data(), want, off) : -1;
    start_ = off;
    len_ = got > 0 ? static_cast<size_t>(got) : 0;
    return len_ >= n;
  }
  BRF_FILE* f_;
  std::vector<uint8_t> buf_;
  uint64_t start_ = 0;
  size_t len_ = 0;
  uint64_t pos_ = kDataHeaderSize;
};

// Whether the record stays out of key k: its value is this process's null
// image, or (no image set here) empty in every segment, the form null
// images take.
bool left_out(BRF_FILE* f, int k, const uint8_t* rec) {
  if (f->has_null_key[k]) return brf_key_is_null(f, k, rec);
  uint8_t key[256] = {};
  getlkey(f->key, k, rec, kWholeRecord, key, kKeyFormRecord);
  return key_value_empty(f->key->segs[k], f->key->keys[k].nsegs, key);
}

// One key's values: DSEEK then key bytes, one after another.
struct key_values {
  int key = 0;
  size_t stride = 0;
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> order;
  size_t count() const { return stride ? bytes.size() / stride : 0; }
};

// What a build holds: the keys wanted and their values.
struct build {
  BRF_RCB* r;
  const brf_build_opts& o;
  brf_repair_counts* out;
  std::vector<key_values> keys;
  std::vector<uint8_t> padded;  // a record's body zero-padded to the key extent
  uint64_t held = 0;            // bytes of values
  bool too_big = false;

  // Takes the values of the record at `seek`.
  void take(const uint8_t* body, uint32_t len, uint32_t seek) {
    BRF_FILE* f = r->file;
    padded.assign(std::max(len, brf_key_extent(f)), 0);
    memcpy(padded.data(), body, len);
    ++out->records;
    if (too_big) return;
    for (key_values& kv : keys) {
      if (left_out(f, kv.key, padded.data())) continue;
      const size_t at = kv.bytes.size();
      kv.bytes.resize(at + kv.stride);
      memcpy(kv.bytes.data() + at, &seek, 4);
      getlkey(f->key, kv.key, padded.data(), kWholeRecord, kv.bytes.data() + at + 4, kKeyFormRecord);
      held += kv.stride;
    }
    if (held > kBuildMemory) {
      too_big = true;
      for (key_values& kv : keys) std::vector<uint8_t>().swap(kv.bytes);
    }
  }
};

bool live(const BRF_FILE* f, const rec_hdr& h, uint32_t seek) {
  return brf_rec_hdr_check(f, h, seek, f->hdr.eofseek) == BRF_OK;
}

// The walk: every live record's values; with settling, a moved record's
// copy left by a dead writer is settled first (kept copies are then taken).
int walk(build& b, bool settle, brf_progress_gate& progress) {
  BRF_FILE* f = b.r->file;
  std::vector<uint32_t> starts;
  std::vector<std::pair<uint32_t, rec_hdr>> copies;
  record_scan scan(f);
  uint32_t seek;
  rec_hdr h;
  const uint8_t* body;
  for (int got; (got = scan.next(&seek, &h, &body)) != 0;) {
    if (got < 0) return -got;
    if (settle) {
      starts.push_back(seek);
      if (brf_is_moved_copy(h, seek)) {
        copies.emplace_back(seek, h);
        continue;
      }
    }
    if (live(f, h, seek)) b.take(body, h.length, seek);
    if ((b.out->records & 0xFFF) == 0) progress.show("records read", scan.done(), scan.total());
  }
  std::vector<uint8_t> copy;
  for (auto& [at, ch] : copies) {
    if (int st = brf_settle_copy(f, at, &ch, starts, b.out)) return st;
    if (!live(f, ch, at)) continue;
    copy.resize(ch.length);
    if (brf_pread(f, copy.data(), ch.length, uint64_t{at} + kRecHdrSize) != static_cast<ssize_t>(ch.length))
      return BRF_BAD_DATA;
    b.take(copy.data(), ch.length, at);
  }
  return BRF_OK;
}

// Whether the key compares as its bytes do: characters, ascending.
bool bytewise(const key_seg* segs, int nsegs) {
  for (int i = 0; i < nsegs; ++i)
    if (segs[i].kind != seg_kind::chars || segs[i].descending) return false;
  return true;
}

// The order of a bytewise key's values, ties in file order: sorted by their
// first sixteen bytes held beside each position as two numbers, the rest
// compared only where those are equal, so that most comparisons touch no
// value.
void sort_bytewise(key_values& kv, size_t len, brf_progress_gate& progress) {
  struct item {
    uint64_t head[2];
    uint32_t at;
  };
  constexpr size_t kHead = sizeof(item::head);
  const uint8_t* base = kv.bytes.data();
  const size_t stride = kv.stride;
  std::vector<item> items(kv.count());
  for (uint32_t i = 0; i < items.size(); ++i) {
    uint8_t first[kHead] = {};
    memcpy(first, base + i * stride + 4, std::min(len, kHead));
    item& it = items[i];
    it = {{0, 0}, i};
    for (size_t b = 0; b < kHead; ++b) it.head[b / 8] = it.head[b / 8] << 8 | first[b];
  }
  sort_showing(
      items,
      [&](const item& a, const item& b) {
        if (a.head[0] != b.head[0]) return a.head[0] < b.head[0];
        if (a.head[1] != b.head[1]) return a.head[1] < b.head[1];
        const int cmp =
            len > kHead ? memcmp(base + a.at * stride + 4 + kHead, base + b.at * stride + 4 + kHead, len - kHead) : 0;
        if (cmp != 0) return cmp < 0;
        uint32_t sa, sb;
        memcpy(&sa, base + a.at * stride, 4);
        memcpy(&sb, base + b.at * stride, 4);
        return sa < sb;
      },
      progress);
  for (size_t i = 0; i < items.size(); ++i) kv.order[i] = items[i].at;
}

// Sorts a key's values, ties in file order, and keeps each value once.
int sort_values(build& b, key_values& kv, brf_progress_gate& progress) {
  const BT_FILE* k = b.r->file->key;
  const key_seg* segs = k->segs[kv.key];
  const int nsegs = k->keys[kv.key].nsegs;
  const uint8_t* base = kv.bytes.data();
  const size_t stride = kv.stride;
  auto seek_of = [&](uint32_t i) {
    uint32_t s;
    memcpy(&s, base + i * stride, 4);
    return s;
  };
  std::vector<uint32_t>& order = kv.order;
  order.resize(kv.count());
  std::iota(order.begin(), order.end(), 0u);
  if (bytewise(segs, nsegs)) {
    sort_bytewise(kv, stride - 4, progress);
  } else {
    sort_showing(
        order,
        [&](uint32_t a, uint32_t c) {
          const int cmp = key_compare(segs, nsegs, base + a * stride + 4, base + c * stride + 4);
          return cmp != 0 ? cmp < 0 : seek_of(a) < seek_of(c);
        },
        progress);
  }
  size_t kept = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    if (kept > 0 && key_compare(segs, nsegs, base + order[kept - 1] * stride + 4, base + order[i] * stride + 4) == 0) {
      if (!b.o.leave_out_repeats) return BRF_DUP_KEY;
      ++b.out->repeated;
      continue;
    }
    order[kept++] = order[i];
  }
  order.resize(kept);
  b.out->values[kv.key] = static_cast<uint32_t>(kept);
  return BRF_OK;
}

// Writes each key's tree.
int load(build& b, brf_progress_gate& progress) {
  BT_CURSOR* c = b.r->cursor;
  int st = BRF_OK;
  for (size_t i = 0; i < b.keys.size() && st == BRF_OK; ++i) {
    key_values& kv = b.keys[i];
    progress.show("sorting and writing key", i, b.keys.size());
    st = sort_values(b, kv, progress);
    if (st == BRF_OK) st = bt_bulk_load(c, kv.key, {kv.bytes.data(), kv.stride, kv.order.data(), kv.order.size()});
    std::vector<uint8_t>().swap(kv.bytes);
    std::vector<uint32_t>().swap(kv.order);
  }
  return st;
}

// The fallback: each live record inserted in turn.
int insert_each(build& b, brf_progress_gate& progress) {
  BRF_FILE* f = b.r->file;
  BT_CURSOR* c = b.r->cursor;
  record_scan scan(f);
  uint32_t seek;
  rec_hdr h;
  const uint8_t* body;
  int st = BRF_OK;
  for (int got; st == BRF_OK && (got = scan.next(&seek, &h, &body)) != 0;) {
    if (got < 0) {
      st = -got;
      break;
    }
    if (!live(f, h, seek)) continue;
    b.padded.assign(std::max<uint32_t>(h.length, brf_key_extent(f)), 0);
    memcpy(b.padded.data(), body, h.length);
    for (const key_values& kv : b.keys) {
      if (left_out(f, kv.key, b.padded.data())) continue;
      bsetkeyN(c, kv.key);
      int ins = buinsert(c, b.padded.data(), seek);
      if (ins == BRF_DUP_KEY && b.o.leave_out_repeats) ++b.out->repeated;
      else if (ins != BRF_OK && ins != BRF_KEY_CREATED) st = ins;
      else ++b.out->values[kv.key];
    }
    progress.show("records indexed", scan.done(), scan.total());
  }
  return st;
}

}  // namespace

int brf_build_keys(BRF_RCB* r, uint32_t mask, const brf_build_opts& o, brf_repair_counts* out) {
  BRF_FILE* f = r->file;
  if (!f->key || !r->cursor) return set_status(r, BRF_NO_KEY);
  if (int st = brfgethdr(f)) return set_status(r, st);
  build b{r, o, out, {}, {}, 0, false};
  const int nkeys = f->key->hdr[kHdrKeyCount];
  for (int k = 0; k < nkeys; ++k)
    if (mask & (1u << k)) b.keys.push_back({k, size_t{f->key->keys[k].keylen} + 4, {}, {}});
  brf_progress_gate progress(o.progress, std::string("Building the keys of ") + brf_handle_nam(f->slot));
  // Settling writes a record live or free: only where every index is built.
  const bool every_key = nkeys > 0 && static_cast<int>(b.keys.size()) == nkeys;
  int st = walk(b, every_key, progress);
  if (st == BRF_OK && b.too_big) {
    std::fill(std::begin(out->values), std::end(out->values), 0u);
    st = insert_each(b, progress);
  } else if (st == BRF_OK) {
    st = load(b, progress);
  }
  return set_status(r, st);
}

namespace {

void status_line(void*, const char* text) { bt_upd_stat(text); }

// Whether the pair's key file defines no key yet (missing, new or empty).
bool keys_never_built(const std::string& base) {
  struct stat st;
  if (stat((base + ".key").c_str(), &st) != 0) return errno == ENOENT;
  if (st.st_size == 0) return true;
  uint8_t count = 0;
  FILE* f = fopen((base + ".key").c_str(), "rb");
  bool none = f && fseek(f, kHdrKeyCount, SEEK_SET) == 0 && fread(&count, 1, 1, f) == 1 && count == 0;
  if (f) fclose(f);
  return none;
}

// Defines the keys on the open pair's key file, which holds none, and builds
// them (update lock held, inside a change).
int define_and_build(BRF_RCB* r, KEY_DESC* defs, int n, const brf_progress* progress, brf_repair_counts* out) {
  for (int k = 0; k < n; ++k) {
    int st = bsetkey(r->cursor, &defs[k], true);
    if (st != BRF_KEY_CREATED) return st == BRF_OK ? BRF_BAD_DATA : st;  // a key defined twice
    brfnullkey(r->file, defs[k].keyno, false, nullptr);
  }
  brf_build_opts o;
  o.leave_out_repeats = true;
  o.progress = progress;
  out->keys = n;
  return brf_build_keys(r, n >= 32 ? ~0u : (1u << n) - 1, o, out);
}

}  // namespace

const brf_progress brf_status_progress{status_line, nullptr};

int brf_build_described_keys(const std::string& base, const std::string& described_as, bool exclusive,
                             const brf_progress* progress, brf_repair_counts* out, bool* built) {
  *built = false;
  *out = brf_repair_counts{};
  KEY_DESC defs[kBtMaxKeys];
  const int n = store_hooks.described_keys ? store_hooks.described_keys(described_as.c_str(), defs) : -1;
  if (n <= 0 || !keys_never_built(base) || access((base + ".dat").c_str(), F_OK) != 0) return BRF_OK;
  int st;
  BRF_FILE* f = brfopen(&st, base.c_str(), BRF_CREATE, 0, exclusive);
  if (!f) return st;
  BRF_RCB* r = brfaccess(&st, f, 0, false);
  if (r && (!f->key || !r->cursor)) st = BRF_NO_KEY;
  // Taken here, or held already by the repair this build is a step of.
  std::optional<update_hold> hold;
  if (r && st == BRF_OK) hold.emplace(f->slot, true);
  const bool locked = hold && hold->held();
  if (r && st == BRF_OK && !locked) st = BRF_LOCK_REFUSED;
  // The lock's holder may have built the keys while this process waited.
  const bool building = locked && keys_never_built(base);
  if (building) {
    st = brf_change_begin(r);
    if (st == BRF_OK) st = define_and_build(r, defs, n, progress, out);
    st = brf_change_end(r, st);
  }
  hold.reset();
  if (r) brfdeaccess(r);
  brfclose(f);
  // A key file left half built would be taken for the pair's: the next
  // open or repair builds it again from nothing. Only this process's own:
  // a lock refused leaves the holder's key file as it is.
  if (building && st != BRF_OK) unlink((base + ".key").c_str());
  *built = building && st == BRF_OK;
  return st;
}

}  // namespace kivo

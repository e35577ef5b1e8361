// The checks a key file passes at every open of its pair, cheap enough for
// that: a few page reads a key, never a walk of a whole tree.
//
// They catch what the verifier calls bad and no later operation would say
// in words: a key file cut short (its header's end of file past its size,
// so pages of the tree are gone), and a key file that is not the data
// file's (another file's of the same key layout copied in, or one left
// beside a data file imported again): the first and the last entry of each
// key must name a live record that carries the entry's key, and an empty
// key must not stand beside records that have a value for it.
//
// Caller: the native back-end's open (fm/unix_fm_file.cpp), after the keys
// are declared and their null images set.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "store/btree_io.h"
#include "store/btree_page.h"
#include "store/record_ops.h"

namespace kivo {

using namespace bt;

namespace {

// Records looked at for a value of a key whose index is empty: a file whose
// first records are all deleted is not walked further.
constexpr int kEmptyKeyLook = 64;

// The first (or last) entry of key `k` in key order: its DSEEK and key bytes
// into *dseek and key; *empty when the key holds none. Null, or the fault.
const char* edge_entry(BT_CURSOR* c, int k, bool last, uint32_t* dseek, uint8_t* key, bool* empty, char* why,
                       size_t n) {
  *empty = false;
  uint32_t seek = c->file->keys[k].root;
  const geom g = geom_of(c);
  for (int depth = 0; depth < kMaxDepth; ++depth) {
    const uint8_t* p = page_ref(c, seek);
    if (!p) return snprintf(why, n, "key %d: its page at %u cannot be read", k, seek), why;
    const int cnt = pg_count(p);
    const uint32_t down = pg_down(p, g, last ? cnt : 0);
    if (cnt == 0 && depth > 0) return snprintf(why, n, "key %d: its page at %u holds no entry", k, seek), why;
    if (down == 0) {
      if (cnt == 0) return *empty = true, nullptr;
      const int i = last ? cnt - 1 : 0;
      *dseek = pg_dseek(p, g, i);
      memcpy(key, pg_key(p, g, i), static_cast<size_t>(g.L));
      return nullptr;
    }
    seek = down;
  }
  return snprintf(why, n, "key %d: its tree is deeper than %d pages", k, kMaxDepth), why;
}

// The body of the live record at `seek` into `body`, zero-padded to the key
// extent; false when no live record starts there.
bool live_record(BRF_FILE* f, uint32_t seek, std::vector<uint8_t>* body) {
  rec_hdr h;
  if (seek < kDataHeaderSize || seek >= f->hdr.eofseek || brf_read_rec_hdr(f, seek, &h) != BRF_OK) return false;
  if (brf_rec_hdr_check(f, h, seek, f->hdr.eofseek) != BRF_OK) return false;
  body->assign(std::max<uint32_t>(h.length, brf_key_extent(f)), 0);
  return brf_read_exact(f, body->data(), h.length, uint64_t{seek} + kRecHdrSize) == BRF_OK;
}

// The entry must name a live record that carries its key.
const char* entry_fault(BRF_RCB* r, int k, const char* which, uint32_t dseek, const uint8_t* key, char* why, size_t n) {
  BRF_FILE* f = r->file;
  std::vector<uint8_t>& body = r->scratch_a;
  if (!live_record(f, dseek, &body))
    return snprintf(why, n, "key %d: its %s entry names seek %u, where the data file holds no record", k, which, dseek),
           why;
  uint8_t built[256] = {};
  getlkey(f->key, k, body.data(), kWholeRecord, built, kKeyFormRecord);
  if (memcmp(built, key, f->key->keys[k].keylen) == 0) return nullptr;
  return snprintf(why, n, "key %d: its %s entry names the record at %u, which holds another key", k, which, dseek), why;
}

// An empty key beside records: one of the first records has a value for it.
const char* empty_key_fault(BRF_RCB* r, int k, char* why, size_t n) {
  BRF_FILE* f = r->file;
  if (!f->has_null_key[k]) return nullptr;  // no null image known here: nothing to compare
  std::vector<uint8_t>& body = r->scratch_a;
  uint64_t seek = kDataHeaderSize;
  for (int i = 0; i < kEmptyKeyLook && seek < f->hdr.eofseek; ++i) {
    rec_hdr h;
    if (brf_read_rec_hdr(f, static_cast<uint32_t>(seek), &h) != BRF_OK) return nullptr;
    if (live_record(f, static_cast<uint32_t>(seek), &body) && !brf_key_is_null(f, k, body.data()))
      return snprintf(why, n, "key %d holds no entry, but the record at %llu has a value for it", k,
                      static_cast<unsigned long long>(seek)),
             why;
    seek += h.length + kRecOverhead;
  }
  return nullptr;
}

const char* key_fault(BRF_RCB* r, int k, char* why, size_t n) {
  BT_CURSOR* c = r->cursor;
  bsetkeyN(c, k);
  uint8_t key[256];
  uint32_t dseek = 0;
  bool empty = false;
  if (const char* fault = edge_entry(c, k, false, &dseek, key, &empty, why, n)) return fault;
  if (empty) return empty_key_fault(r, k, why, n);
  if (const char* fault = entry_fault(r, k, "first", dseek, key, why, n)) return fault;
  if (const char* fault = edge_entry(c, k, true, &dseek, key, &empty, why, n)) return fault;
  return entry_fault(r, k, "last", dseek, key, why, n);
}

}  // namespace

bool brf_key_size_fault(BRF_FILE* f, char* why, size_t n) {
  BT_FILE* k = f->key;
  if (!k || ld_le16(k->hdr, kHdrVersion) != kBtVersion) return false;
  const long long size = bt_io_size(k->io);
  if (size < 0 || size >= static_cast<long long>(hdr_eof(k))) return false;
  snprintf(why, n, "end of file %u lies past the key file's end (%lld bytes)", hdr_eof(k), size);
  return true;
}

bool brf_key_content_fault(BRF_RCB* r, char* why, size_t n) {
  BRF_FILE* f = r->file;
  BT_CURSOR* c = r->cursor;
  if (!f->key || !c) return false;
  // No change of another process may run meanwhile: its entries and records
  // are in step only once it ends. The open does not wait for one: a lock
  // not had at once (another process is changing the pair, or this session
  // holds it) leaves the check to the verifier.
  if (!bt_share_at(f->slot, kUpdateLockByte, 0, 1, LOCK_UPDATE)) return false;
  const char* fault = nullptr;
  f->read_err = 0;
  if (block(c, false)) {
    // Trees a dead writer left half written are no fault of the file: the
    // first search repairs them.
    if (!f->key->count_left_odd && brfgethdr(f) == BRF_OK && hdr_read(c) == BRF_OK)
      for (int k = 0; k < hdr_key_count(f->key) && !fault; ++k) fault = key_fault(r, k, why, n);
    bunlock(c, false);
  }
  bt_share_at(f->slot, kUpdateLockByte, 0, 0, LOCK_UPDATE);
  return fault != nullptr;
}

}  // namespace kivo

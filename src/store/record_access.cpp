// Record control blocks: attaching and detaching a stream on a data file,
// record locks wanted and released, choosing a key, and building the index of
// a key defined on a file that already holds records.
#include <cstring>
#include <new>
#include <unordered_set>

#include "foundation/bytes.h"
#include "foundation/sys_err.h"
#include "store/record_ops.h"

namespace kivo {

namespace {

constexpr uint32_t kOwnerTracking = 0x1;

// The blocks brfaccess handed out and brfdeaccess has not freed: a second
// close of one is refused instead of freeing it twice.
std::unordered_set<const BRF_RCB*>& attached() {
  static auto* live = new std::unordered_set<const BRF_RCB*>;
  return *live;
}

// Builds the index of the new key `keyno` from the records of the file (the
// caller holds the update lock); a value met twice fails it.
int build_index(BRF_RCB* r, int keyno) {
  brf_build_opts o;
  o.progress = &brf_status_progress;
  brf_repair_counts counts;
  return brf_build_keys(r, 1u << keyno, o, &counts);
}

}  // namespace

BRF_RCB* brfaccess(int* status, BRF_FILE* f, uint16_t mode, bool owner_tracking) {
  BRF_RCB* r = new (std::nothrow) BRF_RCB;
  if (!r) {
    *status = BRF_NO_MEMORY;
    return nullptr;
  }
  r->file = f;
  r->mode = mode;
  r->owner_tracking = owner_tracking;
  if (f->key) {
    r->cursor = baccess(status, f->key, mode);
    if (!r->cursor) {
      delete r;
      return nullptr;
    }
    if (owner_tracking) f->key->options |= kOwnerTracking;
  }
  attached().insert(r);
  ++f->users;
  *status = BRF_OK;
  return r;
}

int brfdeaccess(BRF_RCB* r) {
  if (!r || attached().erase(r) == 0) return BRF_CLOSED;
  brf_release(r);
  if (r->cursor) bdeaccess(r->cursor);
  --r->file->users;
  delete[] r->preload;
  delete r;
  return BRF_OK;
}

void brf_want_lock(BRF_RCB* r, bool wait) {
  r->lock.flags = static_cast<uint8_t>(r->lock.flags | RCB_LOCK_WANTED | (wait ? RCB_LOCK_WAIT : 0));
}

void brf_release(BRF_RCB* r) {
  brfunlock(r->file->slot, &r->lock, brf_relative(r->file));
  r->lock.flags = static_cast<uint8_t>(r->lock.flags & ~(RCB_LOCK_WANTED | RCB_LOCK_WAIT));
}

int brfsetkeyN(BRF_RCB* r, int keyno) {
  if (r->cursor) bsetkeyN(r->cursor, keyno);
  return set_status(r, BRF_OK);
}

int brfsetkey(BRF_RCB* r, KEY_DESC* d, bool create, bool null_from_record, const uint8_t* record) {
  BT_CURSOR* c = r->cursor;
  if (!c) return set_status(r, BRF_NO_KEY);
  BRF_FILE* f = r->file;
  // A key may only be created with no writer between its definition and its
  // index: the update lock keeps every other writer out until it is built.
  bool upd = create && bt_share_at(f->slot, kUpdateLockByte, 1, 1, LOCK_UPDATE);
  if (create && !upd) return set_status(r, BRF_LOCK_REFUSED);
  int st = upd ? brf_change_begin(r) : BRF_OK;
  if (st == BRF_OK) st = bsetkey(c, d, create);
  if (upd && brf_change_repaired(r, &st)) st = bsetkey(c, d, create);
  if (st == BRF_KEY_CREATED) {
    int keyno = d->keyno;
    brfnullkey(f, keyno, null_from_record, record);
    st = build_index(r, keyno);
    if (st != BRF_OK) {
      // A partial index must never be taken for a whole one.
      if (bt_drop_key(c, keyno) != BRF_OK)
        sys_err("BRF", __LINE__, "key %d: the partial index could not be dropped (status %d)", keyno, c->status);
      f->has_null_key[keyno] = false;
      f->null_key[keyno].clear();
    } else {
      bsetkeyN(c, keyno);
    }
  } else if (st == BRF_OK) {
    brfnullkey(f, d->keyno, null_from_record, record);
  }
  if (upd) {
    st = brf_change_end(r, st);
    bt_share_at(f->slot, kUpdateLockByte, 0, 0, LOCK_UPDATE);
  }
  r->positioned_key = -1;
  return set_status(r, st);
}

int brfsetcur(BRF_RCB* r) {
  BT_CURSOR* c = r->cursor;
  if (!c || c->key < 0) return set_status(r, BRF_NO_KEY);
  if (r->positioned_key == c->key) return set_status(r, BRF_OK);
  if (r->last_seek < 0) return set_status(r, BRF_EOF);
  BRF_FILE* f = r->file;
  uint32_t seek = static_cast<uint32_t>(r->last_seek);
  rec_hdr h;
  if (int st = brf_read_rec_hdr(f, seek, &h)) return set_status(r, st);
  std::vector<uint8_t>& body = r->scratch_a;
  body.assign(std::max<uint32_t>(h.length, brf_key_extent(f)), 0);
  if (brf_pread(f, body.data(), h.length, uint64_t{seek} + kRecHdrSize) != static_cast<ssize_t>(h.length))
    return set_status(r, BRF_BAD_DATA);
  getlkey(f->key, c->key, body.data(), kWholeRecord, c->keybuf, kKeyFormRecord);
  c->has_key = true;
  c->index = -1;
  c->dseek = seek;
  int st = BRF_OK;
  if (block(c, false)) {
    st = bsync(c, kSeekEqual | kSeekAfter);
    bunlock(c, false);
  } else {
    st = c->status;
  }
  // A record whose key is null here is in no entry: the next read goes on
  // from the first key above it.
  if (st == BRF_NO_RECORD) st = BRF_OK;
  if (st == BRF_OK) r->positioned_key = c->key;
  return set_status(r, st);
}

}  // namespace kivo

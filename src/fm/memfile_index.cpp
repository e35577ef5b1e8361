// The index of a memory-file key: search, insertion, removal, moving and
// rebuild of entries, and the streams positioned on them (see memfile.h).
//
// The MIBs of a key are also listed by block number in a directory with the
// linear number of each block's first entry, so that a search halves over
// the blocks by their last entries and then inside one block. A full block
// that takes an entry splits, unless the entry goes at the end of the key
// (then a new block starts, as writes in key order fill block after block)
// or a neighbour has room for one entry; a block that loses an entry merges
// with a neighbour they both fit in.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "fm/key_xfer.h"
#include "fm/memfile.h"
#include "foundation/sys_err.h"

namespace kivo {

namespace {

int cmp_key(const MNDX& x, const FIX* e, const uint8_t* key, bool key_layout, int limit) {
  KEY_XFER k{e->rec, key, 0, uint8_t(key_layout), uint8_t(limit), x.nruns, x.runs};
  return fm_cmp(k);
}

bool same_key(const MNDX& x, const FIX* a, const FIX* b) { return cmp_key(x, a, b->rec, false, 0) == 0; }

// A new empty MIB at directory place b; the blocks behind it renumbered.
MIB* new_mib(mfb* f, MNDX& x, size_t b) {
  auto* m = static_cast<MIB*>(MM_ALLOC(f->rec_pool, sizeof(MIB) + sizeof(FIX*) * (f->per_mib - 1)));
  m->link = ut_link{};
  m->count = 0;
  if (b < x.dir.size()) m->link.next = x.dir[b];
  ut_add_to_lst(m, &m->link, b < x.dir.size() ? nullptr : &x.mibs);
  if (b < x.dir.size() && b == 0) x.mibs.head = m;
  uint32_t first = b < x.start.size() ? x.start[b] : x.count;
  x.dir.insert(x.dir.begin() + long(b), m);
  x.start.insert(x.start.begin() + long(b), first);
  for (size_t i = b; i < x.dir.size(); ++i) x.dir[i]->blkno = uint32_t(i + 1);
  return m;
}

void drop_mib(MNDX& x, size_t b) {
  MIB* m = x.dir[b];
  ut_remove_from_lst(m, &m->link, &x.mibs);
  x.dir.erase(x.dir.begin() + long(b));
  x.start.erase(x.start.begin() + long(b));
  for (size_t i = b; i < x.dir.size(); ++i) x.dir[i]->blkno = uint32_t(i + 1);
  mm_free(m);
}

void drop_last_mib(MNDX& x) { drop_mib(x, x.dir.size() - 1); }

// The block holding linear entry `pos` (pos may be the count: the last block).
size_t block_of(const MNDX& x, uint32_t pos) {
  auto it = std::upper_bound(x.start.begin(), x.start.end(), pos);
  return size_t(it - x.start.begin()) - 1;
}

void shift_starts(MNDX& x, size_t from, int by) {
  for (size_t i = from; i < x.start.size(); ++i) x.start[i] = uint32_t(int64_t(x.start[i]) + by);
}

// The removed entry's key, in key layout, kept by a stream.
void save_key(const MNDX& x, mpb* m, const FIX* e) {
  m->saved_key.assign(x.keylen, 0);
  KEY_XFER k{m->saved_key.data(), e->rec, 1, 0, 0, x.nruns, x.runs};
  fm_cpy(k);
}

}  // namespace

uint32_t NDX_NXT(uint32_t pos) { return pos + 1; }
uint32_t NDX_PREV(uint32_t pos) { return pos - 1; }

FIX*& ndx_at(mfb*, MNDX& x, uint32_t pos) {
  size_t b = block_of(x, pos);
  return x.dir[b]->e[pos - x.start[b]];
}

void mpb_link(mfb* f, mpb* m) {
  if (m->linked) return;
  MNDX& x = f->ndx[f->keymap[m->keyno]];
  ut_add_to_lst(m, &m->in_mndx, &x.mpbs);
  m->linked = 1;
}

void mpb_unlink(mfb* f, mpb* m) {
  if (!m->linked) return;
  MNDX& x = f->ndx[f->keymap[m->keyno]];
  ut_remove_from_lst(m, &m->in_mndx, &x.mpbs);
  m->linked = 0;
}

uint32_t ndx_search(mfb* f, MNDX& x, const uint8_t* key, bool key_layout, int limit, bool after, bool equal,
                    uint32_t* pos) {
  if (limit >= x.keylen) limit = 0;
  if (x.count == 0) {
    *pos = 0;
    return equal ? FM_NOT_FOUND : FM_EOF;
  }
  auto before = [&](const FIX* e) {
    int c = cmp_key(x, e, key, key_layout, limit);
    return c < 0 || (after && c == 0);
  };
  size_t blo = 0, bhi = x.dir.size();  // first block whose last entry is not before the key
  while (blo < bhi) {
    size_t mid = blo + (bhi - blo) / 2;
    const MIB* m = x.dir[mid];
    if (before(m->e[m->count - 1])) blo = mid + 1;
    else bhi = mid;
  }
  uint32_t lo = x.count;
  if (blo < x.dir.size()) {
    const MIB* m = x.dir[blo];
    uint32_t l = 0, h = m->count;
    while (l < h) {
      uint32_t mid = l + (h - l) / 2;
      if (before(m->e[mid])) l = mid + 1;
      else h = mid;
    }
    lo = x.start[blo] + l;
  }
  *pos = lo;
  if (lo == x.count) return equal && limit == 0 ? FM_NOT_FOUND : FM_EOF;
  if (equal && !after && cmp_key(x, ndx_at(f, x, lo), key, key_layout, limit) != 0) return FM_NOT_FOUND;
  return 0;
}

int get_pos(ARB* arb, mpb* m, uint32_t* pos) {
  mfb* f = m->mpb_mfb;
  if (arb->arb_mod & ARB_REC_ID) {
    sys_err("MM", __LINE__, "get_pos() - attempt to position via arb_rec_id_area");
    return 0;
  }
  if (f->nkeys == 0) {
    uint32_t n = arb->arb_relno ? arb->arb_relno - 1 : 0;
    if (n >= f->fix_used || f->arrays[n / f->per_mib][n % f->per_mib].id == 0) {
      arb->arb_stat = FM_EOF;
      return 0;
    }
    *pos = n;
    return 1;
  }
  if (arb->arb_keyno >= f->keymap.size() || f->keymap[arb->arb_keyno] == kKeyUnused) {
    arb->arb_stat = FM_KEY_NO_DIFF;
    return 0;
  }
  MNDX& x = f->ndx[f->keymap[arb->arb_keyno]];
  if (x.flags & MNDX_DEFERRED) ndx_bld(f, x);
  bool partial = arb->arb_mod & ARB_PARTIAL;
  int limit = partial ? arb->arb_key_len : 0;
  if (!partial && arb->arb_key_end) limit = fm_lsb_to_len(arb->arb_rec, arb->arb_key_end, x.nruns, x.runs);
  const uint8_t* key = partial ? arb->arb_key : arb->arb_rec;
  uint32_t st = ndx_search(f, x, key, partial, limit, arb->arb_mod & ARB_AFTER, arb->arb_mod & ARB_EQUAL, pos);
  if (st) arb->arb_stat = st;
  return st == 0;
}

namespace {

// A full block b before an insert at pos: an entry carried to the next
// block or handed to the one in front, else the block split in half.
// Returns the block that now holds pos.
size_t relieve_full_block(mfb* f, MNDX& x, size_t b, uint32_t pos) {
  const uint32_t pm = f->per_mib;
  MIB* m = x.dir[b];
  if (b + 1 < x.dir.size() && x.dir[b + 1]->count < pm) {
    // Carry the last entry to the next block.
    MIB* n = x.dir[b + 1];
    memmove(&n->e[1], &n->e[0], n->count * sizeof(FIX*));
    n->e[0] = m->e[--m->count];
    ++n->count;
    --x.start[b + 1];
    return b;
  }
  if (b > 0 && x.dir[b - 1]->count < pm) {
    // Hand the first entry to the block in front.
    MIB* p = x.dir[b - 1];
    p->e[p->count++] = m->e[0];
    memmove(&m->e[0], &m->e[1], (--m->count) * sizeof(FIX*));
    ++x.start[b];
    return b;
  }
  // Split in half; the entry goes to the half that holds its place.
  MIB* n = new_mib(f, x, b + 1);
  uint32_t keep = pm / 2;
  n->count = pm - keep;
  memcpy(&n->e[0], &m->e[keep], n->count * sizeof(FIX*));
  m->count = keep;
  x.start[b + 1] = x.start[b] + keep;
  return pos > x.start[b + 1] ? b + 1 : b;
}

// The block with room for an entry at pos.
size_t block_with_room(mfb* f, MNDX& x, uint32_t pos) {
  const uint32_t pm = f->per_mib;
  if (x.dir.empty()) {
    new_mib(f, x, 0);
    return 0;
  }
  size_t b = block_of(x, pos);
  if (pos == x.start[b] && b > 0 && x.dir[b - 1]->count < pm) --b;  // fill the block in front first
  if (x.dir[b]->count < pm) return b;
  if (b + 1 == x.dir.size() && pos == x.count) {
    new_mib(f, x, b + 1);
    return b + 1;
  }
  return relieve_full_block(f, x, b, pos);
}

}  // namespace

void ndx_insert(mfb* f, MNDX& x, uint32_t pos, FIX* fix) {
  const size_t b = block_with_room(f, x, pos);
  MIB* m = x.dir[b];
  uint32_t off = pos - x.start[b];
  memmove(&m->e[off + 1], &m->e[off], (m->count - off) * sizeof(FIX*));
  m->e[off] = fix;
  ++m->count;
  shift_starts(x, b + 1, 1);
  ++x.count;
  for (auto* s = static_cast<mpb*>(x.mpbs.head); s;) {
    auto* next = static_cast<mpb*>(s->in_mndx.next);
    if (s->pos == pos && s->state == POS_AT_REMOVED) {
      s->state = POS_AFTER_KEY;
      mpb_unlink(f, s);
    } else if (s->pos >= pos) {
      ++s->pos;
    }
    s = next;
  }
}

void ndx_add(mfb* f, MNDX& x, FIX* fix) { ndx_insert(f, x, x.count, fix); }

void ndx_mpb_adjust(mfb* f, MNDX& x, mpb* m, uint32_t pos) {
  FIX* e = ndx_at(f, x, pos);
  bool last = pos == x.count - 1;
  bool dups = x.flags & MNDX_DUP;
  auto after_key = [&] {
    save_key(x, m, e);
    m->state = POS_AFTER_KEY;
    mpb_unlink(f, m);
  };
  if (last && (x.count == 1 || m->state == POS_AT_REMOVED || !dups)) return after_key();
  if (m->state == POS_AT_REMOVED) return;
  if (dups && !last && same_key(x, ndx_at(f, x, pos + 1), e)) {
    m->state = POS_AT;
    return;
  }
  if (dups && pos > 0 && same_key(x, ndx_at(f, x, pos - 1), e)) {
    m->state = POS_ON;
    m->pos = pos - 1;
    return;
  }
  if (last) return after_key();
  save_key(x, m, e);
  m->state = POS_AT_REMOVED;
}

void ndx_del(mfb* f, MNDX& x, uint32_t pos) {
  for (auto* s = static_cast<mpb*>(x.mpbs.head); s;) {
    auto* next = static_cast<mpb*>(s->in_mndx.next);
    if (s->pos > pos) --s->pos;
    else if (s->pos == pos) ndx_mpb_adjust(f, x, s, pos);
    s = next;
  }
  size_t b = block_of(x, pos);
  MIB* m = x.dir[b];
  uint32_t off = pos - x.start[b];
  memmove(&m->e[off], &m->e[off + 1], (m->count - off - 1) * sizeof(FIX*));
  --m->count;
  shift_starts(x, b + 1, -1);
  --x.count;
  if (m->count == 0) return drop_mib(x, b);
  // Merge with a neighbour when both fit in one block.
  for (size_t into : {b > 0 ? b - 1 : b, b}) {
    if (into + 1 >= x.dir.size()) continue;
    MIB* a = x.dir[into];
    MIB* n = x.dir[into + 1];
    if (a->count + n->count > f->per_mib) continue;
    memcpy(&a->e[a->count], &n->e[0], n->count * sizeof(FIX*));
    a->count += n->count;
    return drop_mib(x, into + 1);
  }
}

void ndx_rotate(mfb* f, MNDX& x, uint32_t new_pos, uint32_t old_pos) {
  FIX* e = ndx_at(f, x, old_pos);
  ndx_del(f, x, old_pos);
  ndx_insert(f, x, new_pos > old_pos ? new_pos - 1 : new_pos, e);
}

void ndx_bld(mfb* f, MNDX& x) {
  x.flags &= uint8_t(~MNDX_DEFERRED);
  while (!x.dir.empty()) drop_last_mib(x);
  x.count = 0;
  std::vector<FIX*> all;
  all.reserve(f->nrecs);
  for (uint32_t i = 0; i < f->fix_used; ++i) {
    FIX* e = &f->arrays[i / f->per_mib][i % f->per_mib];
    if (e->id) all.push_back(e);
  }
  // Equal keys in record-id order: the order a key kept current gives them.
  std::stable_sort(all.begin(), all.end(), [&](const FIX* a, const FIX* b) {
    int c = cmp_key(x, a, b->rec, false, 0);
    return c < 0 || (c == 0 && a->id < b->id);
  });
  for (FIX* e : all) {
    if (x.count % f->per_mib == 0) new_mib(f, x, x.dir.size());
    MIB* m = x.dir.back();
    m->e[m->count++] = e;
    ++x.count;
  }
}

void dbg_mib(mfb* f) {
  printf("\nMemory File:  %.3s %.8s    Ptr's / MIB:  %d", f->name, f->name + 3, int(f->per_mib));
  printf("     No. of Keys:  %d\n", f->nkeys);
  for (MNDX& x : f->ndx) {
    printf("\n  Key No.: %d      No. of Recs: %d\n", x.keyno, int(x.count));
    for (MIB* m : x.dir) {
      printf("\n     MIB Block No.:  %d  (addr: %p)", int(m->blkno), static_cast<void*>(m));
      printf(
          "\n\n     Rec. No.   FIX Ptr            Rec. ID    Rec. Ptr\n     --------   ----------------   -------    "
          "----------------\n");
      for (uint32_t i = 0; i < m->count; ++i)
        printf("     %8d   %p   %7d    %p\n", int(x.start[m->blkno - 1] + i + 1), static_cast<void*>(m->e[i]),
               int(m->e[i]->id), static_cast<void*>(m->e[i]->rec));
    }
  }
}

std::string mm_check(mfb* f) {
  char msg[160];
  uint32_t live = 0;
  for (uint32_t i = 0; i < f->fix_used; ++i) live += f->arrays[i / f->per_mib][i % f->per_mib].id != 0;
  if (live != f->nrecs) return snprintf(msg, sizeof msg, "%u live FIX for %u records", live, f->nrecs), msg;
  uint32_t nfree = 0;
  for (FIX* e = f->free_fix; e; e = e->next_free, ++nfree)
    if (e->id) return "a FIX on the free list has an id";
  if (nfree + live != f->fix_used)
    return snprintf(msg, sizeof msg, "%u free + %u live != %u", nfree, live, f->fix_used), msg;
  for (MNDX& x : f->ndx) {
    if (x.flags & MNDX_DEFERRED) continue;
    if (x.count != f->nrecs) return snprintf(msg, sizeof msg, "key %d holds %u of %u", x.keyno, x.count, f->nrecs), msg;
    if (x.dir.size() != x.start.size()) return "MIB directory and starts disagree";
    uint32_t n = 0;
    MIB* m = static_cast<MIB*>(x.mibs.head);
    for (size_t b = 0; b < x.dir.size(); ++b, m = static_cast<MIB*>(m->link.next)) {
      if (m != x.dir[b] || m->blkno != b + 1) return "MIB chain and block numbers disagree";
      if (x.start[b] != n)
        return snprintf(msg, sizeof msg, "key %d MIB %zu starts at %u", x.keyno, b + 1, x.start[b]), msg;
      if (m->count == 0 || m->count > f->per_mib)
        return snprintf(msg, sizeof msg, "key %d MIB %zu holds %u", x.keyno, b + 1, m->count), msg;
      if (b > 0 && x.dir[b - 1]->count + m->count <= f->per_mib)
        return snprintf(msg, sizeof msg, "key %d MIBs %zu and %zu fit in one", x.keyno, b, b + 1), msg;
      n += m->count;
    }
    if (m) return "MIB chain longer than the directory";
    if (n != x.count) return snprintf(msg, sizeof msg, "key %d MIBs hold %u of %u", x.keyno, n, x.count), msg;
    for (uint32_t i = 1; i < x.count; ++i)
      if (cmp_key(x, ndx_at(f, x, i - 1), ndx_at(f, x, i)->rec, false, 0) > 0) return "index out of order";
  }
  return "";
}

}  // namespace kivo

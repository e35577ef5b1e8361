// The in-use mark around every change of a keyed file, and the repair of a
// pair that a writer left marked when it died.
//
// The data file is the truth: after a kill every record in it is wholly old
// or wholly new, and at most one copy of a moved record is live once the
// moves are settled (record_write.cpp). So the repair settles the unfinished
// moves and builds every index again from the records, keeping the key
// definitions. It runs under the update lock and the tree lock, sets nothing
// that another repair could not set again (a repair killed half way is
// repeated from the start), and is deterministic.
//
// Callers: brfput, brfrewrite, brfdelete and brfsetkey (begin/end), the keyed
// reads (brf_repair_if_abandoned), and the command line (brfrepair).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "foundation/sys_err.h"
#include "store/analyser.h"
#include "store/btree_page.h"
#include "store/fd_cache.h"
#include "store/flat_file.h"
#include "store/record_ops.h"
#include "store/store.h"

namespace kivo {

namespace {

bool live(const BRF_FILE* f, const rec_hdr& h, uint32_t seek) {
  return brf_rec_hdr_check(f, h, seek, f->hdr.eofseek) == BRF_OK;
}

// What a header with a foreign link is. A moved record's copy is written
// flagged not a user record with its link naming the old record; its
// completion sets flags and link together. A kill can cut either write at a
// page boundary, and the flags lie before the link, so:
//  - user flags with a foreign link: a completion cut after the flags (the
//    old record was freed by then): the copy is finished;
//  - not a user record, link naming a record start: the copy is settled
//    against the record it names;
//  - not a user record, link naming no record start: the copy's first write
//    was cut inside the link, before the old record was freed: the copy is
//    made inert again (link to itself), the old record stays the record.
enum class copy_kind { none, cut_completion, unsettled, cut_first_write };

copy_kind copy_kind_of(const rec_hdr& h, uint32_t seek, const std::vector<uint32_t>& starts) {
  if ((h.flags & kRecDeleted) || h.link == seek || (h.link & kOwnerBit)) return copy_kind::none;
  if (!(h.flags & kRecNotUser)) return copy_kind::cut_completion;
  bool names_start = std::binary_search(starts.begin(), starts.end(), h.link);
  return names_start ? copy_kind::unsettled : copy_kind::cut_first_write;
}

// Settles the copy at `seek`: dropped when the record it replaces is still
// live, finished otherwise. Freeing the old record is the point at which the
// rewrite happened; its space may since have been taken by a change that
// then met the mark and stopped before making anything live.
int settle_move(BRF_FILE* f, uint32_t seek, copy_kind kind, rec_hdr* h, bool* kept) {
  if (kind == copy_kind::cut_first_write) {
    *kept = false;
    h->link = seek;
    return brf_write_rec_hdr(f, seek, *h);
  }
  rec_hdr old;
  *kept = kind == copy_kind::cut_completion || !(brf_read_rec_hdr(f, h->link, &old) == BRF_OK && live(f, old, h->link));
  if (!*kept) return brf_rcd_free_any(f, seek, false);
  h->flags = 0;
  h->link = seek;
  return brf_write_rec_hdr(f, seek, *h);
}

}  // namespace

bool brf_is_moved_copy(const rec_hdr& h, uint32_t seek) {
  return !(h.flags & kRecDeleted) && h.link != seek && !(h.link & kOwnerBit);
}

int brf_settle_copy(BRF_FILE* f, uint32_t seek, rec_hdr* h, const std::vector<uint32_t>& starts,
                    brf_repair_counts* out) {
  const copy_kind kind = copy_kind_of(*h, seek, starts);
  if (kind == copy_kind::none) return BRF_OK;
  bool kept = false;
  if (int st = settle_move(f, seek, kind, h, &kept)) return st;
  ++(kept ? out->moves_kept : out->moves_undone);
  return BRF_OK;
}

namespace {

// Settles the moves and builds every index again from the records (tree
// lock held, the trees reset before).
int reindex(BRF_RCB* r, brf_repair_counts* out, const brf_progress* progress) {
  const int nkeys = r->file->key->hdr[kHdrKeyCount];
  brf_build_opts o;
  o.leave_out_repeats = true;
  o.progress = progress;
  int st = brf_build_keys(r, nkeys >= 32 ? ~0u : (1u << nkeys) - 1, o, out);
  out->keys = nkeys;
  return st;
}

// The one line of a repair: file, keys rebuilt, records indexed, what each
// key that holds fewer of them holds, and the records left out of a key for
// a repeated value, if any.
void repair_line(char* out, size_t size, const char* file, const brf_repair_counts& n, const char* done = "rebuilt") {
  size_t w = 0;
  auto add = [&](const char* fmt, auto... v) {
    const int got = w < size ? snprintf(out + w, size - w, fmt, v...) : 0;
    if (got > 0) w += static_cast<size_t>(got);
  };
  add("repaired %s: %d keys %s, %u records indexed", file, n.keys, done, n.records);
  for (int k = 0; k < n.keys && k < kMaxKeys; ++k)
    if (n.values[k] != n.records) add(", key %d holds %u", k, n.values[k]);
  if (n.repeated) add(", %u repeated key values left out", n.repeated);
}

void announce(BRF_FILE* f, const brf_repair_counts& n) {
  char line[512];
  repair_line(line, sizeof line, brf_handle_nam(f->slot), n);
  sys_notice("BRF", __LINE__, "%s", line);  // put right: nothing for the user to do
}

}  // namespace

int brf_repair_locked(BRF_RCB* r, brf_repair_counts* out, const brf_progress* progress) {
  BRF_FILE* f = r->file;
  BT_CURSOR* c = r->cursor;
  *out = brf_repair_counts{};
  if (!f->key || !c) return BRF_NO_KEY;
  if (int st = brfgethdr(f)) return st;
  if (int st = brf_free_list_settle(f)) return st;
  int cur = c->key;
  bool in_change = f->key->in_change;
  // A dead writer's mark stays as it is through the repair's writes; a pair
  // repaired without one takes it with the first, so a repair cut off is
  // run again all the same.
  f->key->in_change = bt_mark_read(f->key) == 0;
  if (!block(c, true)) return c->status;
  // A reader that searches without the tree lock trusts the trees only while
  // the change count on disk is even: it stays odd from the reset until every
  // index is built again, so no engine meets a tree empty or half built.
  f->key->hold_count = true;
  int st = bt_reset_trees(c);
  if (st == BRF_OK) st = reindex(r, out, progress);
  // Built from the records, the key file is of the data file's present state.
  if (st == BRF_OK && f->hdr.stamp) st = bt_set_stamp(f->key, f->hdr.stamp);
  f->key->hold_count = false;
  bt::op_end(c);
  bunlock(c, true);
  if (st == BRF_OK) {
    f->key->marking = true;  // the repair owns the dead writer's mark now
    st = bt_mark_clear(f->key);
  }
  f->key->in_change = in_change;
  if (cur >= 0) bsetkeyN(c, cur);
  r->positioned_key = -1;
  return st;
}

int brf_change_begin(BRF_RCB* r) {
  BT_FILE* k = r->file->key;
  if (!k || !r->cursor) return BRF_OK;
  k->in_change = true;
  // A mark met now (the update lock is held) was left by a writer that died
  // inside a change: its trees may be half changed, and a search in them
  // could fail before the change's first write would find the mark.
  return bt_mark_left(k) ? BRF_ABANDONED : BRF_OK;
}

bool brf_change_repaired(BRF_RCB* r, int* st) {
  if (*st != BRF_ABANDONED) return false;
  // We hold the update lock: whoever set the mark has died.
  brf_repair_counts n;
  *st = brf_repair_locked(r, &n);
  if (*st != BRF_OK) return false;
  announce(r->file, n);
  return true;
}

int brf_change_end(BRF_RCB* r, int st) {
  BRF_FILE* f = r->file;
  // The change is done or undone either way: a mark that cannot be cleared
  // only costs the next process a needless repair.
  if (f->key) static_cast<void>(bt_mark_clear(f->key));
  return st;
}

namespace {

// With the update lock held: a mark found set now, or a change count left
// odd, was left by a dead writer, and the pair is repaired. True when it was.
bool repair_if_marked(BRF_RCB* r) {
  BT_FILE* k = r->file->key;
  if (bt_mark_read(k) != 1 && !bt_count_left_odd(k)) {
    k->hdr[kHdrInUse] = 0;  // the writer finished after the header was read
    return false;
  }
  brf_repair_counts n;
  if (brf_repair_locked(r, &n) != BRF_OK) return false;
  announce(r->file, n);
  return true;
}

}  // namespace

bool brf_repair_if_abandoned(BRF_RCB* r) {
  BRF_FILE* f = r->file;
  BT_FILE* k = f->key;
  if (!k || !r->cursor || k->marking) return false;
  // Trees a dead writer left half written (a rebuild cut off) are never
  // read: the search waits for the update lock, behind any process that
  // repairs them now, and repairs them itself when none has.
  const bool untrusted = r->cursor->status == BRF_ABANDONED;
  if (!untrusted && !k->hdr[kHdrInUse]) return false;
  // A live writer holds the update lock for as long as its mark is set.
  if (!bt_share_at(f->slot, kUpdateLockByte, untrusted, 1, LOCK_UPDATE)) return false;
  bool repaired = repair_if_marked(r);
  bt_share_at(f->slot, kUpdateLockByte, 0, 0, LOCK_UPDATE);
  return repaired || (untrusted && !bt_count_left_odd(k));
}

void brf_wait_for_change(BRF_RCB* r) {
  BRF_FILE* f = r->file;
  if (!f->key || !r->cursor || f->key->marking) return;
  // Refused only when this session holds it (or the user broke in): no
  // change of another process is then running.
  if (!bt_share_at(f->slot, kUpdateLockByte, 1, 1, LOCK_UPDATE)) return;
  repair_if_marked(r);
  bt_share_at(f->slot, kUpdateLockByte, 0, 0, LOCK_UPDATE);
}

namespace {

// On a terminal one line written again in place and cleared at the end;
// nothing when the output is a file or a pipe, whose reader wants the
// utility's lines alone.
void terminal_line(void*, const char* text) {
  static size_t shown = 0;
  if (!isatty(STDERR_FILENO)) return;
  const size_t n = text ? strlen(text) : 0;
  fprintf(stderr, "\r%s%*s", text ? text : "", static_cast<int>(shown > n ? shown - n : 0), "");
  if (!text) fputc('\r', stderr);
  shown = n;
  fflush(stderr);
}

// Opens the pair, repairs it under the update lock and closes it: the one
// line goes to `out`. Status 0 or the failure.
int repair_pair(const std::string& base, bool marked_only, FILE* out) {
  int st;
  BRF_FILE* f = brfopen(&st, base.c_str(), BRF_KEY_MUST_EXIST, 0, false);
  if (!f) return st;
  BRF_RCB* r = brfaccess(&st, f, 0, false);
  if (!r) {
    brfclose(f);
    return st;
  }
  bool set = false;
  std::optional<update_hold> hold;
  if (f->key && r->cursor) hold.emplace(f->slot, true);
  if (!f->key || !r->cursor) st = BRF_NO_KEY;
  else if (!hold->held()) st = BRF_LOCK_REFUSED;
  else {
    int mark = bt_mark_read(f->key);
    set = mark == 1;
    st = mark < 0 ? BRF_PERM : BRF_OK;
    brf_repair_counts n;
    if (st == BRF_OK && (set || !marked_only)) {
      st = brf_repair_locked(r, &n, &brf_terminal_progress);
      char line[512];
      repair_line(line, sizeof line, base.c_str(), n);
      if (st == BRF_OK) fprintf(out, "%s\n", line);
    } else if (st == BRF_OK) {
      fprintf(out, "%s: sound, nothing repaired\n", base.c_str());
    }
  }
  hold.reset();
  brfdeaccess(r);
  brfclose(f);
  return st;
}

// A data file without keys: its free list is built again from the records
// (a sound file is left as it is). The one line goes to `out`.
int repair_data_file(const std::string& base, bool sound, FILE* out) {
  int st;
  BRF_FILE* f = brfopen(&st, base.c_str(), BRF_NO_KEYS, 0, false);
  if (!f) return st;
  if (sound) {
    fprintf(out, "%s: sound, nothing repaired\n", base.c_str());
  } else if (!brf_header_from_file(f)) {
    st = BRF_BAD_DATA;  // no header to walk the records from
  } else if (const update_hold hold(f->slot, true); !hold.held()) {
    st = BRF_LOCK_REFUSED;
  } else {
    st = brfgethdr(f);
    if (st == BRF_OK) st = brf_rebuild_free_list(f);
    if (st == BRF_OK) fprintf(out, "repaired %s: no keys, free list rebuilt\n", base.c_str());
  }
  brfclose(f);
  return st;
}

// A key-file header the open refuses, around key definitions that still
// hold, is written again: each root on a page of its own, no free pages,
// and the in-use mark set, so that the repair then builds every index from
// the records (and a repair cut off is run again). Definitions that do not
// hold cannot be guessed: the header is left as it is and BRF_BAD_DATA
// returned. A missing key file or a sound header: BRF_OK, nothing written.
int restore_key_header(const std::string& base, FILE* out) {
  const std::string path = base + ".key";
  const int slot = kivo_open(path.c_str(), O_RDWR, 0);
  if (slot < 0) return BRF_OK;
  uint8_t h[kBtHdrSize];
  int st = BRF_OK;
  char why[200];
  const char* fault = nullptr;
  const bool read = kivo_pread(slot, h, sizeof h, 0) == static_cast<ssize_t>(sizeof h);
  if (read) fault = bt::bt_hdr_fault(h, why, sizeof why);
  const int nkeys = h[kHdrKeyCount];
  if (fault && nkeys > kBtMaxKeys) st = BRF_BAD_DATA;
  for (int k = 0; fault && st == BRF_OK && k < nkeys; ++k) {
    KEY_DESC d;
    key_desc_load(h + kHdrKeys + k * kKeyDescSize, &d);
    if (bt_check_key_desc(d, k, nullptr, 0) != BRF_OK) st = BRF_BAD_DATA;
  }
  if (fault && st == BRF_OK) {
    fprintf(out, "%s: damaged header (%s) written again with its %d keys\n", path.c_str(), fault, nkeys);
    uint8_t block[kBtHdrBlock] = {};
    memcpy(block, h, kBtHdrSize);
    st_le16(block, kHdrVersion, kBtVersion);
    st_le16(block, kHdrPageSize, kPageSize);
    st_le32(block, kHdrFreePage, 0);
    st_le32(block, kHdrEofseek, static_cast<uint32_t>(kBtHdrBlock + nkeys * kPageSize));
    block[kHdrInUse] = 1;
    st_le32(block, kHdrOwner, 0);
    st_le32(block, kHdrChangeCount, (ld_le32(h, kHdrChangeCount) | 1) + 1);  // even: at rest
    for (int k = 0; k < nkeys; ++k) {
      uint8_t* d = block + kHdrKeys + k * kKeyDescSize;
      d[kKdKeyNo] = static_cast<uint8_t>(k);
      st_le32(d, kKdRoot, static_cast<uint32_t>(kBtHdrBlock + k * kPageSize));
    }
    if (kivo_pwrite(slot, block, sizeof block, 0) != static_cast<ssize_t>(sizeof block)) st = BRF_SYS_ERR;
  }
  // A header that lost its key count beside pages: the pages are given up
  // (the described keys are then built from the records), never built
  // beside, where no key would hold them.
  KEY_DESC described[kBtMaxKeys];
  if (read && !fault && st == BRF_OK && nkeys == 0 && ld_le32(h, kHdrEofseek) > kBtHdrBlock &&
      store_hooks.described_keys && store_hooks.described_keys(base.c_str(), described) > 0) {
    fprintf(out, "%s: defines no key but holds pages: they are given up and the described keys built again\n",
            path.c_str());
    st_le32(h, kHdrEofseek, kBtHdrBlock);
    st_le32(h, kHdrFreePage, 0);
    if (kivo_pwrite(slot, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) st = BRF_SYS_ERR;
  }
  kivo_close(slot);
  return st;
}

}  // namespace

const brf_progress brf_terminal_progress{terminal_line, nullptr};

int brfrepair(const char* name) {
  std::string base = brf_strip_ext(name ? name : "");
  if (base.empty()) {
    fprintf(stderr, "Error:  Missing file name\n");
    return 0;
  }
  brfinit();
  // From the first check to the closing one the repair holds the update
  // lock: no engine's writer changes the pair meanwhile (each waits, as for
  // another writer), so the checks judge a consistent file, and a second
  // repair waits for this one and then finds the pair sound.
  const pair_hold hold(base + ".dat", true);
  if (hold.opened() && !hold.held()) {
    fprintf(stderr, "%s:  Can't repair file: the update lock could not be had (%s)\n", base.c_str(), strerror(errno));
    return 0;
  }
  int32_t records = 0;
  // A sound pair is left as it is unless a writer left it marked.
  bool sound = analyze(base.c_str(), 0, &records, &brf_terminal_progress) == 1;
  // A file without a header is its records alone: nothing to rebuild, and a
  // header written over its first record would destroy it.
  anal_layout layout;
  if (!sound && store_hooks.anal_headerless && store_hooks.anal_headerless(base.c_str(), &layout)) {
    fprintf(stderr, "%s:  Can't repair a file without a header (%s); it is left as it is\n", base.c_str(), layout.what);
    return 0;
  }
  int st = sound ? BRF_OK : brf_salvage(base, stdout);
  // Indexes built from a definition that reaches no record would hold
  // nothing; the key file is no source to rebuild a definition from.
  if (const std::string fault = sound ? std::string() : anal_key_outside(base.c_str()); !fault.empty()) {
    fprintf(stderr,
            "%s:  Can't repair file: the key file's %s; no key is rebuilt from it (moved away, the key file is "
            "built again from the file's description when the engine next opens the file)\n",
            base.c_str(), fault.c_str());
    return 0;
  }
  // Indexes built from definitions that are not the file's, or that leave
  // records out for a value met before, would fail the verification again.
  // Repeats of a value the file's description keeps unique are mended below.
  if (const std::string fault = sound ? std::string() : anal_key_misfit(base.c_str(), true); !fault.empty()) {
    fprintf(stderr, "%s:  Can't repair file: %s; no key is rebuilt\n", base.c_str(), fault.c_str());
    return 0;
  }
  // Records no index may hold as they stand (a later repeat of a value the
  // file keeps unique, a record flagged deleted that a key still names) are
  // set aside, named, before the keys are built from the records.
  if (st == BRF_OK && !sound) st = brf_put_aside(base, anal_misfits(base.c_str()), stdout);
  if (st == BRF_OK && !sound) st = restore_key_header(base, stdout);
  // Keys never built (an imported file not yet opened) are built from the
  // file's description.
  bool built = false;
  if (st == BRF_OK) {
    brf_repair_counts n;
    st = brf_build_described_keys(base, base, false, &brf_terminal_progress, &n, &built);
    char line[512];
    repair_line(line, sizeof line, base.c_str(), n, "built");
    if (built) printf("%s\n", line);
  }
  if (st == BRF_OK && !built) st = repair_pair(base, sound, stdout);
  if (st == BRF_NOT_FOUND_FILE) st = repair_data_file(base, sound, stdout);
  if (st != BRF_OK) {
    fprintf(stderr, "%s:  Can't repair file (status %d: %s)\n", base.c_str(), st, brf_status_text(st));
    return 0;
  }
  fflush(stdout);
  if (analyze(base.c_str(), 0, &records, &brf_terminal_progress) == 1) return 1;
  // The line above says what was done; these say that it did not suffice.
  analyze(base.c_str(), 0, nullptr);
  fprintf(stderr, "%s:  not repaired\n", base.c_str());
  return 0;
}

}  // namespace kivo

// Whole-file copy, and the saved-file record stream written and read back.
//
// Stream of any source: each record in primary-key order with its length;
// a genuine 1-byte record goes behind an escape record holding 0; a 1-byte
// record holding 1 ends the stream. A memory file is saved as a 4-byte
// count record followed by that many records. A save reports failure and
// writes no end record when anything goes wrong, so that a load never
// takes part of a file for the whole; a load checks every length against
// the new file and scratches the file when the stream is short or bad.
//
// Callers: the process engine (suspend and resume, pending query data), the
// design build (fm_copy).
#include <vector>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/memfile.h"
#include "fm/whole_file.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/sys_err.h"

namespace kivo {

namespace {

constexpr uint8_t kEscape = 0;
constexpr uint8_t kEnd = 1;
constexpr uint16_t kCountLen = 4;

// The caller's fields a whole-file operation borrows on a handle.
struct borrowed {
  explicit borrowed(ARB* a)
      : arb(a), rec(a->arb_rec), len(a->arb_len), var_len(a->arb_var_len), mod(a->arb_mod), keyno(a->arb_keyno) {}
  ~borrowed() {
    arb->arb_rec = rec;
    arb->arb_len = len;
    arb->arb_var_len = var_len;
    arb->arb_mod = mod;
    arb->arb_keyno = keyno;
  }
  ARB* arb;
  uint8_t* rec;
  uint16_t len, var_len, mod;
  uint8_t keyno;
};

// Length of the record just read: its variable length, else the file's.
uint16_t read_len(const ARB* arb) { return arb->arb_var_len ? arb->arb_var_len : arb_pfb(arb)->pfb_rec_len; }

int put(ARB* to, const uint8_t* rec, uint16_t len) {
  to->arb_rec = const_cast<uint8_t*>(rec);
  to->arb_len = len;
  to->arb_var_len = len;
  to->arb_mod = 0;
  return fm_write(to);
}

int put_byte(ARB* to, uint8_t b) { return put(to, &b, 1); }

// Locate-mode read-next: the record, or null with arb_stat.
const uint8_t* next(ARB* from) {
  from->arb_mod = ARB_LOCATE;
  return fm_rdnxt(from) ? from->arb_rec : nullptr;
}

// One record of a stream into the new file through a buffer of its record
// length: 0 written, else the status. A record the file cannot hold as it
// is (longer, or of another length in a fixed-length file) is refused.
uint32_t load_rec(ARB* to, std::vector<uint8_t>& buf, const uint8_t* rec, uint16_t len) {
  const PFB* pfb = arb_pfb(to);
  if (len > pfb->pfb_rec_len) return FM_REC_TOO_LONG;
  if ((!pfb->pfb_var && len != pfb->pfb_rec_len) || len == 0) return FM_REC_LEN_DIFF;
  std::fill(buf.begin(), buf.end(), 0);
  memcpy(buf.data(), rec, len);
  to->arb_rec = buf.data();
  to->arb_len = pfb->pfb_rec_len;
  to->arb_var_len = len;
  to->arb_mod = 0;
  return fm_write(to) ? 0 : to->arb_stat;
}

// A load that failed: the new file goes, its status to the descriptor.
int scrap(FDB* fdb, ARB* made, uint32_t stat, uint32_t stat2 = 0) {
  FM_CLOSE(made, ARB_SCRATCH);
  fdb->fdb_arb = nullptr;
  fdb->fdb_stat = stat;
  fdb->fdb_stat2 = stat2;
  return 0;
}

// A loaded file is handed over started at its first record of key 0.
int hand_over(FDB* fdb, ARB* made) {
  made->arb_keyno = 0;
  made->arb_mod = ARB_FIRST;
  int r = fm_start(made);
  made->arb_mod = 0;
  fdb->fdb_arb = made;
  if (!r) fdb->fdb_stat = made->arb_stat;
  return r;
}

int create_for_load(FDB* fdb, uint32_t scope) {
  fdb->fdb_opt = (fdb->fdb_opt | LFB_OPEN_NEW) & ~LFB_DEFER;
  return fm__create(fdb, scope);
}

int save_records(ARB* target, ARB* source) {
  source->arb_keyno = 0;
  source->arb_mod = ARB_FIRST;
  if (!fm_start(source)) return 0;
  while (const uint8_t* rec = next(source)) {
    uint16_t len = read_len(source);
    if (len == 1 && !put_byte(target, kEscape)) return -1;
    if (!put(target, rec, len)) return -1;
  }
  return source->arb_stat == FM_EOF ? 1 : 0;
}

uint32_t load_records(ARB* source, ARB* made, bool* ended) {
  std::vector<uint8_t> buf(arb_pfb(made)->pfb_rec_len);
  while (const uint8_t* rec = next(source)) {
    uint16_t len = read_len(source);
    if (len == 1 && rec[0] != kEscape) {
      *ended = true;
      return 0;
    }
    if (len == 1 && !(rec = next(source))) break;
    if (len == 1) len = read_len(source);
    if (uint32_t st = load_rec(made, buf, rec, len)) return st;
  }
  return source->arb_stat;
}

// ---- the memory back-end's stream ----

int mm_save_records(ARB* disk, ARB* mem, STRM* s, uint32_t count) {
  mfb* f = static_cast<mfb*>(strm_pfb(s)->pfb_fms_data);
  mem->arb_keyno = 0;
  mem->arb_mod = ARB_FIRST;
  if (!mm_start(mem, s)) return 0;
  uint32_t written = 0;
  for (;;) {
    mem->arb_mod = ARB_LOCATE;
    if (!mm_rdnxt(mem, s)) break;
    if (!put(disk, mem->arb_rec, f->fixed ? f->rec_len : mem->arb_len)) return 0;
    ++written;
  }
  if (mem->arb_stat != FM_EOF) {
    disk->arb_stat = mem->arb_stat;
    return 0;
  }
  if (written == count) return 1;
  disk->arb_stat = FM_IO_ERR;  // the count record promised other records
  return 0;
}

}  // namespace

int fm_copy(FDB* target, FDB* source) {
  target->fdb_opt |= LFB_OPEN_NEW | (target->path.fdb_class == PATH_STRUCT ? LFB_NO_STRUCT_FILE : uint32_t{0});
  target->fdb_cr_size = source->fdb_cr_size;
  target->fdb_acc = target->fdb_shr = 0x0f;
  if (!fm__create(target, com.sys_scope)) {
    source->fdb_stat = target->fdb_stat;
    source->fdb_stat2 = target->fdb_stat2;
    return 0;
  }
  ARB* to = target->fdb_arb;
  if (!FM_OPEN(source, com.proc_scope, 0, 0x0f, 0x0f)) {
    FM_CLOSE(to, 0);
    return 0;
  }
  ARB* from = source->fdb_arb;
  std::vector<uint8_t> buf(source->fdb_rec_len ? source->fdb_rec_len : 1);
  from->arb_keyno = 0;
  from->arb_mod = ARB_FIRST;
  ARB* failed = fm_start(from) ? nullptr : from;
  while (!failed) {
    from->arb_rec = buf.data();
    from->arb_len = uint16_t(buf.size());
    from->arb_mod = 0;
    if (!fm_rdnxt(from)) {
      if (from->arb_stat != FM_EOF) failed = from;
      break;
    }
    if (!put(to, buf.data(), read_len(from))) failed = to;
  }
  if (failed) {
    source->fdb_stat = failed->arb_stat;
    source->fdb_stat2 = failed->arb_stat2;
  }
  FM_CLOSE(from, 0);
  FM_CLOSE(to, 0);
  return failed == nullptr;
}

int fm_save_fi(ARB* target, ARB* source) {
  STRM* s = source->arb_sarb ? arb_strm(source) : nullptr;
  if (!s) {
    source->arb_stat = FM_NOT_OPEN;
    return 0;
  }
  if (strm_pfb(s)->TYPE == FS_MEMORY) return mm_save_fi(target, source);
  borrowed keep_t(target), keep_s(source);
  int r = save_records(target, source);
  if (r == 0) {
    target->arb_stat = source->arb_stat;
    target->arb_stat2 = source->arb_stat2;
  }
  return r == 1 && put_byte(target, kEnd);
}

int fm_load_fi(FDB* fdb, ARB* source, uint32_t scope) {
  // The same test as the open's, so a file is loaded the way it was saved.
  if (fm_is_memory(fdb)) return mm_load_fi(fdb, source, scope);
  if (!create_for_load(fdb, scope)) return 0;
  ARB* made = fdb->fdb_arb;
  borrowed keep(source);
  bool ended = false;
  uint32_t st = load_records(source, made, &ended);
  if (!ended) return scrap(fdb, made, st ? st : uint32_t{FM_EOF});
  return hand_over(fdb, made);
}

int mm_save_fi(ARB* disk, ARB* mem) {
  borrowed keep_d(disk);
  uint8_t count[kCountLen] = {};
  if (!mem) return put(disk, count, kCountLen);
  STRM* s = mem->arb_sarb ? arb_strm(mem) : nullptr;
  if (!s) {
    sys_err("MM", __LINE__, "mm_save_fi() - missing strm");
    disk->arb_stat = FM_NOT_OPEN;
    return 0;
  }
  if (s->strm_active == kStrmInactive && !fm_actv(mem, s)) {
    disk->arb_stat = mem->arb_stat;
    return 0;
  }
  borrowed keep_m(mem);
  const uint32_t n = static_cast<mfb*>(strm_pfb(s)->pfb_fms_data)->nrecs;
  st_le32(count, 0, n);
  int r = put(disk, count, kCountLen) && mm_save_records(disk, mem, s, n);
  s->strm_active = kStrmNoPos;
  return r;
}

int mm_load_fi(FDB* fdb, ARB* disk, uint32_t scope) {
  borrowed keep(disk);
  const uint8_t* rec = next(disk);
  if (!rec) {
    fdb->fdb_stat = disk->arb_stat;
    fdb->fdb_stat2 = disk->arb_stat2;
    return 0;
  }
  if (read_len(disk) != kCountLen) {
    fdb->fdb_stat = FM_REC_LEN_DIFF;
    return 0;
  }
  const uint32_t count = ld_le32(rec, 0);
  fdb->fdb_arb = nullptr;
  if (count == 0) return 1;
  fdb->fdb_cr_size = count;
  if (!create_for_load(fdb, scope)) return 0;
  ARB* made = fdb->fdb_arb;
  std::vector<uint8_t> buf(arb_pfb(made)->pfb_rec_len);
  for (uint32_t i = 0; i < count; ++i) {
    if (!(rec = next(disk))) return scrap(fdb, made, disk->arb_stat == FM_EOF ? FM_EOF : disk->arb_stat);
    if (uint32_t st = load_rec(made, buf, rec, read_len(disk))) return scrap(fdb, made, st, made->arb_stat2);
  }
  return hand_over(fdb, made);
}

}  // namespace kivo

// The summary writer: one block per stored file at the end of the version's
// summary file (read back by design/bs_summary.h).
//
// The block is made whole in memory and appended in one write, so a file
// whose elements do not make a block (an internal error) leaves the
// summary as it was. Every key line announces exactly the segment lines
// that follow it.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "design/bs_summary.h"
#include "design/dd.h"
#include "fm/file_rec_view.h"
#include "fm/fm_open.h"
#include "fm/fm_record_cache.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"
#include "foundation/sys_err.h"

namespace kivo {

namespace {

constexpr const char* kModule = "DDCMPL";
constexpr size_t kHexPerLine = 40;

using elem_list = std::vector<std::vector<uint8_t>>;

// A fixed-width text slot as it stands, a NUL read as a blank so that the
// columns of the line never move.
std::string slot(const uint8_t* p, size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  for (char& c : s)
    if (c == 0) c = ' ';
  return s;
}

// A flag character written as the digit the reader's "%hd" takes.
char digit_flag(uint8_t c) { return c == '1' ? '1' : '0'; }

// An order character: "-" descends, anything else ascends.
char order_of(uint8_t c) { return c == '-' ? '-' : '+'; }

// Segment type of a data type: 1 compared as characters, 8 as a binary;
// 0 for a type no key may hold.
int seg_type(uint8_t t) {
  switch (t) {
    case 1:
    case 3:
    case 4:
    case 8:
    case 9:
    case 10:
    case 11:
    case 12:
    case 13:
    case 15: return 1;
    case 5:
    case 6:
    case 7: return 8;
    default: return 0;
  }
}

struct seg_line {
  std::string name;
  char order;
  uint32_t segno, offset, len;
  int type;
};

// The segments of one element: one per occurrence at offset + o x size,
// numbered from the element's segment number by its segments per
// occurrence; an 8-byte binary date is two 4-byte segments.
bool element_segs(const uint8_t* e, char order, std::vector<seg_line>* out) {
  const uint8_t t = e[ELEM_TYPE];
  const int type = seg_type(t);
  if (!type) {
    sys_err(kModule, __LINE__, "bld_sum_fi() inv key segment");
    return false;
  }
  const uint16_t occ = ld_le16(e, ELEM_OCCURS) ? ld_le16(e, ELEM_OCCURS) : 1;
  const uint32_t size = ld_le16(e, ELEM_SIZE), off = ld_le16(e, ELEM_OFFSET), segno = ld_le16(e, ELEM_SEGMENT);
  const bool bin_date = t == 6 || t == 7;
  const bool pair = bin_date && size == 8;
  const uint32_t per_occ = pair ? 2 : elem_align_class(t, static_cast<uint16_t>(size), e[ELEM_LO]) == 2 ? 2 : 1;
  const std::string name = slot(e + ELEM_NAME, 22);
  for (uint32_t o = 0; o < occ; ++o) {
    const uint32_t at = off + o * size;
    out->push_back({name, order, segno + per_occ * o, at, bin_date ? 4 : size, type});
    if (pair) out->push_back({name, order, segno + per_occ * o + 1, at + 4, 4, type});
  }
  return true;
}

// The segments of the key whose field or group header is elems[at].
bool key_segs(const elem_list& elems, size_t at, std::vector<seg_line>* out) {
  const uint8_t* k = elems[at].data();
  switch (k[ELEM_KIND]) {
    case 3: return true;  // no storage, no segments
    case 2: break;
    default: return element_segs(k, '+', out);
  }
  const std::string last = slot(k + ELEM_DOMAIN, 22);
  for (size_t i = at + 1; i < elems.size(); ++i) {
    const uint8_t* m = elems[i].data();
    if (m[ELEM_KIND] != 2 && m[ELEM_KIND] != 3 && !element_segs(m, order_of(m[ELEM_KEY_ORDER]), out)) return false;
    if (slot(m + ELEM_NAME, 22) == last) return true;
  }
  sys_err(kModule, __LINE__, "bld_sum_fi() group thru not found");
  return false;
}

int key_flags(const uint8_t* e) {
  int f = e[ELEM_KEY_FLAG] == '1' ? 1 : e[ELEM_KEY_FLAG] == ' ' ? 17 : 0;
  if (e[ELEM_KEY_NO] == 0) f += 4;
  if (e[ELEM_KEY_ROLE] == 2) f |= 2;
  return f;
}

bool stored_kind(const uint8_t* e) { return e[ELEM_KIND] < 2 || e[ELEM_KIND] > 5; }

void append(std::string* out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void append(std::string* out, const char* fmt, ...) {
  char line[160];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  *out += line;
}

void hex_image(std::string* out, const uint8_t* img, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    append(out, "%02X", img[i]);
    if (i % kHexPerLine == kHexPerLine - 1 || i + 1 == len) *out += '\n';
  }
}

}  // namespace

bool dd_sum_block(const uint8_t* fi, const elem_list& elems, const uint8_t* init, const uint8_t* nulls,
                  std::string* out) {
  int count = 0;
  for (auto& e : elems) count += stored_kind(e.data());
  const uint16_t rec_len = file_rec_view(fi).rec_len();
  const int nkeys = std::min<int>(file_rec_view(fi).nkeys(), kFileMaxKeys);
  append(out, "FILE:  %s %d %d %c %d %c %d %d\n", slot(fi + FI_NAME, 8).c_str(), file_rec_view(fi).fs_type(),
         fi[FI_ORG], digit_flag(fi[FI_ALLOC]), rec_len, digit_flag(fi[FI_VAR]), nkeys, count);
  for (int k = 0; k < nkeys; ++k) {
    const uint32_t seq = file_rec_view(fi).key_seq(k);
    size_t at = 0;
    while (at < elems.size() && ld_le32(elems[at].data(), ELEM_SEQ) != seq) ++at;
    if (at == elems.size()) {
      checkstat(FM_NOT_FOUND, "bad read - delem file", kModule, __LINE__);
      return false;
    }
    std::vector<seg_line> segs;
    if (!key_segs(elems, at, &segs)) return false;
    const uint8_t* e = elems[at].data();
    append(out, "KEY:  %s %c %d %d %zu\n", slot(e + ELEM_NAME, 22).c_str(), order_of(e[ELEM_KEY_ORDER]), e[ELEM_KEY_NO],
           key_flags(e), segs.size());
    for (auto& s : segs)
      append(out, "SEGMENT:  %s %c %u %u %u %d\n", s.name.c_str(), s.order, s.segno, s.offset, s.len, s.type);
  }
  for (auto& e : elems)
    if (stored_kind(e.data()))
      append(out, "%s %d %d %d %d\n", slot(e.data() + ELEM_NAME, 22).c_str(), ld_le16(e.data(), ELEM_OCCURS),
             e[ELEM_TYPE], ld_le16(e.data(), ELEM_OFFSET), ld_le16(e.data(), ELEM_SIZE));
  hex_image(out, init, rec_len);
  hex_image(out, nulls, rec_len);
  return true;
}

namespace {

// The file's record image of `kind` from the record cache, given back at
// once; false after the internal error.
bool cached_image(dd_ctx* ctx, const uint8_t* fi, uint8_t kind, std::vector<uint8_t>* out) {
  FDB f;
  const file_rec_view file(fi);
  INIT_FDB(&f, file.fs_type(), file.rec_len(), file.variable(), nullptr, file.nkeys());
  f.fdb_org = fi[FI_ORG];
  char ap[4] = {}, ver[3] = {}, name[9] = {};
  memcpy(ap, ctx->ap, 3);
  memcpy(ver, ctx->ver, 2);
  memcpy(name, fi + FI_NAME, 8);
  INIT_DB_PATH(&f.path, "   ", ap, ver, name, PATH_DATA);
  const uint8_t* img = fm_cache(&f, kind);
  if (!img) {
    sys_err(kModule, __LINE__,
            kind == CACHE_INITIAL ? "bld_sum_fi() - missing INITIAL record" : "bld_sum_fi() - missing NULL record");
    return false;
  }
  out->assign(img, img + f.fdb_rec_len);
  fm_uncache(img);
  return true;
}

bool same_file(const uint8_t* r, const uint8_t* from) { return memcmp(r + ELEM_FILE, from + ELEM_FILE, 8) == 0; }

}  // namespace

int bld_sum_fi(dd_ctx* ctx, const uint8_t* fi) {
  if (!getenv("DD_SUMMARY_FILE")) return 0;
  const std::string path = dd_summary_path(ctx->ap, ctx->ver);
  FILE* f = path.empty() ? nullptr : fopen(path.c_str(), "a+");
  if (!f) return 0;
  short first = 0;
  rewind(f);
  const bool has_header = fscanf(f, "%hd", &first) == 1;
  uint8_t from[kElementSize] = {};
  memcpy(from + ELEM_FILE, fi + FI_NAME, 8);
  elem_list elems;
  if (!dd_scan(ctx->arb[DD_ELEM], 2, from, kElementSize, same_file, &elems)) {
    checkstat(ctx->arb[DD_ELEM]->arb_stat, "bad read - delem file", kModule, __LINE__);
    fclose(f);
    return 0;
  }
  std::vector<uint8_t> init, nulls;
  std::string block = has_header ? "" : "1\n";
  const bool ok = cached_image(ctx, fi, CACHE_INITIAL, &init) && cached_image(ctx, fi, CACHE_NULL, &nulls) &&
                  dd_sum_block(fi, elems, init.data(), nulls.data(), &block);
  if (ok) fwrite(block.data(), 1, block.size(), f);
  fclose(f);
  return ok ? 1 : 0;
}

}  // namespace kivo

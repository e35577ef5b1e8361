// The values of a key that the records of a data file repeat. A key file
// holds each value once (a key with duplicates carries the primary key
// behind it), so a record whose value another holds cannot go into the
// index: the build of the key fails, and a repair leaves it out. Said in
// words by the import, the verifier, the repair and the engine's refusal.
//
// One walk of the data file and a sort of the values: for a failure being
// reported, or an import checking what it wrote, never on a common path.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "store/record_ops.h"

namespace kivo {

namespace {

struct keyed {
  std::string key;
  uint32_t seek;
};

// The key segments of a definition, for comparing.
int segs_of(const KEY_DESC& d, key_seg* out) {
  const int n = std::min<int>(d.nsegs, kBtMaxSegs);
  for (int s = 0; s < n; ++s)
    out[s] =
        key_seg{seg_kind_of_type(d.seg[s].type), (d.seg[s].type & kSegDescending) != 0, d.seg[s].len, d.seg[s].poffs};
  return n;
}

}  // namespace

void brf_build_key(const KEY_DESC& d, const uint8_t* rec, uint32_t len, uint8_t* out) {
  size_t at = 0;
  for (int s = 0; s < d.nsegs && s < kBtMaxSegs; ++s) {
    const BT_SEG& sg = d.seg[s];
    memset(out + at, 0, sg.len);
    if (sg.poffs < len) memcpy(out + at, rec + sg.poffs, std::min<uint32_t>(sg.len, len - sg.poffs));
    at += sg.len;
  }
}

std::string brf_key_text(const KEY_DESC& d, const uint8_t* key) {
  std::string out;
  size_t at = 0;
  for (int s = 0; s < d.nsegs && s < kBtMaxSegs; ++s) {
    const BT_SEG& sg = d.seg[s];
    if (s) out += '|';
    std::string part;
    for (int i = 0; i < sg.len; ++i) {
      const uint8_t b = key[at + i];
      char hex[8];
      const bool plain = (sg.type & kSegKindMask) == kSegChars && b >= 0x20 && b < 0x7F && b != '"' && b != '\\';
      if (plain) part += static_cast<char>(b);
      else snprintf(hex, sizeof hex, "\\x%02x", b), part += hex;
    }
    if ((sg.type & kSegKindMask) == kSegChars) part.erase(part.find_last_not_of(' ') + 1);
    out += part;
    at += sg.len;
  }
  return out;
}

int brf_key_repeats(BRF_FILE* f, const KEY_DESC& d, const uint8_t* null_key, size_t max, key_repeats* out,
                    brf_progress_gate* progress) {
  brf_progress_gate quiet(nullptr, "");
  brf_progress_gate& shown = progress ? *progress : quiet;
  *out = key_repeats{};
  key_seg segs[kBtMaxSegs];
  const int nsegs = segs_of(d, segs);
  size_t keylen = 0;  // a definition made by a caller has no length yet
  for (int s = 0; s < nsegs; ++s) keylen += segs[s].len;
  std::vector<keyed> all;
  std::vector<uint8_t> body;
  // A described key may be longer than an index takes: its own length.
  std::vector<uint8_t> key_buf(std::max<size_t>(keylen, 1));
  uint8_t* key = key_buf.data();
  for (uint64_t seek = kDataHeaderSize; seek < f->hdr.eofseek;) {
    rec_hdr h;
    if (int st = brf_read_rec_hdr(f, static_cast<uint32_t>(seek), &h)) return st;
    const uint64_t next = seek + h.length + kRecOverhead;
    if (next > f->hdr.eofseek) return BRF_BAD_DATA;
    if (!(h.flags & (kRecDeleted | kRecNotUser))) {
      body.resize(h.length);
      if (brf_pread(f, body.data(), h.length, seek + kRecHdrSize) != static_cast<ssize_t>(h.length))
        return BRF_BAD_DATA;
      brf_build_key(d, body.data(), h.length, key);
      const bool null = null_key ? memcmp(key, null_key, keylen) == 0 : key_value_empty(segs, nsegs, key);
      if (!null) all.push_back({std::string(reinterpret_cast<const char*>(key), keylen), static_cast<uint32_t>(seek)});
    }
    seek = next;
    if ((all.size() & 0xFFF) == 0) shown.show("records read", seek, f->hdr.eofseek);
  }
  out->values = static_cast<uint32_t>(all.size());
  auto cmp = [&](const keyed& a, const keyed& b) {
    return key_compare(segs, nsegs, reinterpret_cast<const uint8_t*>(a.key.data()),
                       reinterpret_cast<const uint8_t*>(b.key.data()));
  };
  // Ties in file order, as they were gathered.
  sort_showing(
      all,
      [&](const keyed& a, const keyed& b) {
        const int c = cmp(a, b);
        return c != 0 ? c < 0 : a.seek < b.seek;
      },
      shown);
  uint32_t kept = all.empty() ? 0 : all[0].seek;
  for (size_t i = 1; i < all.size(); ++i) {
    if (cmp(all[i - 1], all[i]) != 0) {
      kept = all[i].seek;
      continue;
    }
    ++out->left_out;
    const std::string value = brf_key_text(d, reinterpret_cast<const uint8_t*>(all[i].key.data()));
    const bool new_value = i < 2 || cmp(all[i - 2], all[i]) != 0;
    if (new_value && out->first.size() < max) out->first.push_back(value);
    out->later.push_back({all[i].seek, value, kept});
  }
  return BRF_OK;
}

std::string brf_repeats_text(const key_repeats& r) {
  std::string out;
  for (size_t i = 0; i < r.first.size(); ++i) out += (i ? ", \"" : "\"") + r.first[i] + "\"";
  return out;
}

}  // namespace kivo

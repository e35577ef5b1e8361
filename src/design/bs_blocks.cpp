// Summary blocks over the dictionary's summary reader, and the native
// descriptor of a block.
#include "design/bs_blocks.h"

#include <cstring>

#include "foundation/bytes.h"

namespace kivo {

int bs_read_summary(const FDB_PATH* summary, const std::function<int(bs_block&)>& fn) {
  return bs_read_summary_file(dd_summary_path(summary->fdb_src_ap, summary->fdb_src_ver), fn);
}

namespace {

int read_blocks(bs_summary& s, const std::string& path, const std::function<int(bs_block&)>& fn) {
  if (!s.open(path)) return 0;
  bs_block b;
  while (s.next(&b.file)) {
    b.fields.clear();
    for (size_t at = 0; at + kBsFldEntry <= b.file.fld_tab.size(); at += kBsFldEntry) {
      const uint8_t* e = b.file.fld_tab.data() + at;
      b.fields.push_back(
          {ld_le16(e, BS_FLD_TYPE), ld_le16(e, BS_FLD_POS), ld_le16(e, BS_FLD_SIZE), ld_le16(e, BS_FLD_OCCURS)});
    }
    if (!fn(b)) return 1;
  }
  return !s.failed();
}

}  // namespace

int bs_read_summary_file(const std::string& path, const std::function<int(bs_block&)>& fn) {
  bs_summary s;
  return read_blocks(s, path, fn);
}

int bs_read_summary_quietly(const std::string& path, const std::function<int(bs_block&)>& fn, const char** why) {
  bs_summary s(true);
  const int r = read_blocks(s, path, fn);
  *why = s.why();
  return r;
}

bool bs_selected(const bs_file& f, const FDB_PATH& target) {
  if (f.fs_type != 1 || f.alloc != 0) return false;
  return memcmp(target.fdb_name, "        ", 8) == 0 || memcmp(target.fdb_name, f.name, 8) == 0;
}

bool bs_imported(const bs_file& f, const FDB_PATH& target) {
  const bool design = memcmp(target.fdb_ap, "0AD", 3) == 0;
  return bs_selected(f, target) && !(design && memcmp(f.name, "INITIAL ", 8) == 0);
}

bs_block_fdb::bs_block_fdb(const bs_file& f, const FDB_PATH& target) {
  INIT_FDB(&fdb, FS_DISK, static_cast<uint16_t>(f.rec_len), f.var ? 1 : 0, kdb, static_cast<uint8_t>(f.keys.size()));
  fdb.fdb_org = static_cast<uint8_t>(f.org);
  SDB* s = sdb;
  for (size_t k = 0; k < f.keys.size(); ++k) {
    const bs_key& key = f.keys[k];
    INIT_KDB(&kdb[k], static_cast<uint8_t>(key.keyno), static_cast<uint8_t>(key.order), static_cast<uint8_t>(key.flags),
             s, static_cast<uint8_t>(key.segs.size()));
    for (const bs_seg& g : key.segs)
      init_sdb_func(s++, static_cast<uint16_t>(g.segno), static_cast<uint16_t>(g.offset), static_cast<uint16_t>(g.len),
                    static_cast<uint8_t>(g.type), static_cast<uint8_t>(g.order));
  }
  fdb.path = target;
  memcpy(fdb.path.fdb_name, f.name, 8);
}

}  // namespace kivo

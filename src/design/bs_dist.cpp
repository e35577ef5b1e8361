// The distribution writer: reads a native file through the file manager and
// writes its raw record file.
#include "design/bs_dist.h"

#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "compiler/stmt_layout.h"
#include "fm/fm_objects.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "foundation/bytes.h"
#include "foundation/descriptors.h"

namespace kivo {

namespace {

constexpr uint16_t kRawFixed = 0x0001;  // file header flag of a fixed-length file

using file_ptr = std::unique_ptr<FILE, int (*)(FILE*)>;

bool put(FILE* f, const uint8_t* p, size_t n) { return fwrite(p, 1, n, f) == n; }

bool put_header(FILE* f, bool var) {
  uint8_t h[kRawFileHdr] = {};
  st_be16(h, RAW_FLAGS, static_cast<uint16_t>(kRawShortAllowed | (var ? 0 : kRawFixed)));
  st_be16(h, RAW_SHORT, 1);
  return put(f, h, sizeof h);
}

bool put_record(FILE* f, const uint8_t* rec, uint32_t len) {
  uint8_t h[kRawRecHdr] = {};
  st_be16(h, RAW_LEN16, static_cast<uint16_t>(len));
  st_be32(h, RAW_LEN32, len);
  uint8_t t[kRawTrailer];
  st_be32(t, 0, len);
  return put(f, h, sizeof h) && put(f, rec, len) && put(f, t, sizeof t);
}

long fail(std::string* err, const std::string& what) {
  *err = what;
  return -1;
}

}  // namespace

void raw_form(uint8_t* rec, size_t len, const bs_field* flds, int nflds, bool stmt) {
  // The verb is read in native order, before the record's own binaries turn.
  if (stmt && len >= kStmtSize) convert_stmt(rec, false);
  convert_rec(rec, len, flds, nflds, false);
}

long native_to_raw(FDB* native, const std::string& raw_os_path, const bs_field* flds, int nflds, std::string* err) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(raw_os_path).parent_path(), ec);
  file_ptr out(fopen(raw_os_path.c_str(), "wb"), fclose);
  if (!out) return fail(err, "cannot write " + raw_os_path + ": " + strerror(errno));
  ARB* a = native->fdb_arb;
  const size_t rec_len = native->fdb_rec_len;
  const bool image = native->fdb_org == ORG_RELATIVE, var = native->fdb_var, stmt = bs_is_stmt_file(native->path);
  std::vector<uint8_t> buf(rec_len);
  a->arb_rec = buf.data(), a->arb_len = static_cast<uint16_t>(rec_len);
  a->arb_keyno = 0, a->arb_key = nullptr, a->arb_relno = 1;
  if (image) {
    a->arb_mod = 0;
    if (!fm_read(a)) return 0;  // no record: an empty image
    const size_t len = var ? a->arb_var_len : rec_len;
    raw_form(buf.data(), len, flds, nflds, stmt);
    return put(out.get(), buf.data(), len) ? 1 : fail(err, "short write on " + raw_os_path);
  }
  if (!put_header(out.get(), var)) return fail(err, "short write on " + raw_os_path);
  a->arb_mod = ARB_FIRST;
  if (!fm_start(a))
    return fail(err, "cannot start a read of " + raw_os_path + ": status " + std::to_string(a->arb_stat));
  a->arb_mod = 0;
  long n = 0;
  while (fm_rdnxt(a)) {
    const size_t len = var ? a->arb_var_len : rec_len;
    raw_form(buf.data(), len, flds, nflds, stmt);
    if (!put_record(out.get(), buf.data(), static_cast<uint32_t>(len)))
      return fail(err, "short write on " + raw_os_path);
    ++n;
    a->arb_len = static_cast<uint16_t>(rec_len);
  }
  if (a->arb_stat != FM_EOF && a->arb_stat != FM_NOT_FOUND)
    return fail(err, "read of the native file for " + raw_os_path + " failed: status " + std::to_string(a->arb_stat));
  if (fflush(out.get()) != 0) return fail(err, "short write on " + raw_os_path);
  return n;
}

}  // namespace kivo

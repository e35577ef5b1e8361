// The summary reader (see bs_summary.h). Each line is read with the format
// the writer's line answers to, beginning with the line break of the line
// before; a block is checked against its own record length as it is read,
// so no count or position from the file reaches an allocation or an index
// unchecked.
#include "design/bs_summary.h"

#include <cstring>

#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/paths.h"
#include "foundation/sys_err.h"

namespace kivo {

const char* const kBsNoSummary = "bs_import() - missing summary file";
const char* const kBsBadHeader = "bs_import() - bad summary header";
const char* const kBsBadFile = "bs_import() - bad file in summary";
const char* const kBsBadSeg = "bs_import() - bad seg in summary";
const char* const kBsBadFld = "bs_import() - bad fld in summary";
const char* const kBsBadProto = "bs_import() - bad proto in summary";

namespace {
constexpr const char* kModule = "bs";
}

std::string dd_summary_path(const char* ap, const char* ver) {
  char a[4] = {}, v[3] = {};
  memcpy(a, ap, 3);
  memcpy(v, ver, 2);
  FDB_PATH p{};
  INIT_SRC_PATH(&p, a, v, "SUMMARY", PATH_DATA);
  // As the file manager places a design file without an installation root.
  const cstr* root = com.path_root.ptr && com.path_root.len && com.path_root.ptr[0] ? &com.path_root : &com.data_dir;
  const cstr* path = ss_bld_path(&p, 0, root, nullptr, nullptr);
  return path ? std::string(path->ptr) : std::string();
}

bs_summary::~bs_summary() {
  if (in_) fclose(in_);
}

int bs_summary::fail(const char* text, int line) {
  if (in_) fclose(in_);
  in_ = nullptr;
  failed_ = true;
  why_ = text;
  if (!quiet_) sys_err(kModule, line, "%s", text);
  return 0;
}

bool bs_summary::open(const std::string& path) {
  if (in_) fclose(in_);
  failed_ = false;
  why_ = nullptr;
  in_ = fopen(path.c_str(), "r");
  if (!in_) return fail(kBsNoSummary, __LINE__);
  short header = 0;
  if (fscanf(in_, "%hd", &header) != 1 || header != 1) return fail(kBsBadHeader, __LINE__);
  return true;
}

int bs_summary::next(bs_file* out) {
  if (!in_) return 0;
  *out = bs_file{};
  char tag[7];
  const int n = fscanf(in_, "%*1c%7c%8c%hd%hd%hd%hd%hd%hd%hd", tag, out->name, &out->fs_type, &out->org, &out->alloc,
                       &out->rec_len, &out->var, &out->nkeys, &out->nfields);
  if (n == EOF) {  // nothing but the last line break left: the end
    fclose(in_);
    in_ = nullptr;
    return 0;
  }
  if (n != 9 || out->rec_len < 1 || out->rec_len > kSumMaxRecLen || out->nkeys < 0 || out->nkeys > kSumMaxKeys ||
      out->nfields < 0)
    return fail(kBsBadFile, __LINE__);
  if (!read_keys(out) || !read_fields(out)) return 0;
  if (!read_image(&out->init, static_cast<size_t>(out->rec_len)) ||
      !read_image(&out->nulls, static_cast<size_t>(out->rec_len)))
    return 0;
  return 1;
}

bool bs_summary::read_keys(bs_file* out) {
  out->keys.resize(static_cast<size_t>(out->nkeys));
  for (bs_key& k : out->keys) {
    char tag[6], name[23];
    if (fscanf(in_, "%*1c%6c%23c%1c%hd%hd%hd", tag, name, &k.order, &k.keyno, &k.flags, &k.nsegs) != 6 || k.nsegs < 0 ||
        k.nsegs > kSumMaxSegs)
      return fail(kBsBadFile, __LINE__);
    memcpy(k.name, name, sizeof k.name);
    k.segs.resize(static_cast<size_t>(k.nsegs));
    for (bs_seg& s : k.segs) {
      char stag[10], sname[23];
      if (fscanf(in_, "%*1c%10c%23c%1c%hd%hd%hd%hd", stag, sname, &s.order, &s.segno, &s.offset, &s.len, &s.type) !=
              7 ||
          s.offset < 0 || s.len < 1 || s.offset + s.len > out->rec_len)
        return fail(kBsBadSeg, __LINE__);
      memcpy(s.name, sname, sizeof s.name);
    }
  }
  return true;
}

bool bs_summary::read_fields(bs_file* out) {
  for (int i = 0; i < out->nfields; ++i) {
    char name[22];
    short type, pos, size, occurs;
    if (fscanf(in_, "%*1c%22c%hd%hd%hd%hd", name, &occurs, &type, &pos, &size) != 5 || pos < 0 || size < 0 ||
        occurs < 0 || int32_t{pos} + int32_t{size} * int32_t{occurs} > out->rec_len)
      return fail(kBsBadFld, __LINE__);
    out->field_names.emplace_back(name, sizeof name);
    uint8_t e[kBsFldEntry];
    st_le16(e, BS_FLD_TYPE, static_cast<uint16_t>(type));
    st_le16(e, BS_FLD_POS, static_cast<uint16_t>(pos));
    st_le16(e, BS_FLD_SIZE, static_cast<uint16_t>(size));
    st_le16(e, BS_FLD_OCCURS, static_cast<uint16_t>(occurs));
    out->fld_tab.insert(out->fld_tab.end(), e, e + kBsFldEntry);
  }
  return true;
}

bool bs_summary::read_image(std::vector<uint8_t>* img, size_t len) {
  img->resize(len);
  for (size_t i = 0; i < len; ++i) {
    unsigned byte = 0;
    if (fscanf(in_, "%2X", &byte) != 1) return fail(kBsBadProto, __LINE__);
    (*img)[i] = static_cast<uint8_t>(byte);
  }
  return true;
}

}  // namespace kivo

// The routine table and its adapters: each adapter checks that the fields
// it was given are long enough for what its routine reads and writes, then
// calls the routine with the signature it has. Numbers are copied through
// locals, since a field's address need not be aligned.
#include "interp/rt_fns.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "compiler/compiler.h"
#include "fm/fm_objects.h"
#include "fm/fm_record.h"
#include "fm/user_pwd.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/os.h"
#include "foundation/pool.h"
#include "interp/interp.h"
#include "net/tmnet_srv.h"
#include "net/tmnet_svc.h"
#include "store/analyser.h"
#include "types/date_mask.h"
#include "types/num_convert.h"

namespace kivo {

namespace {

constexpr uint16_t kUserLen = 3, kPwdLen = 30, kMaskArea = 64, kNameMax = 256;

// True when argument i holds at least `len` bytes.
bool fits(const RT_CALL& c, int i, uint16_t len) { return c.args[i].addr && c.args[i].len >= len; }

int32_t get32(const rt_arg& a) { return static_cast<int32_t>(ld_le32(a.addr, 0)); }
void put32(const rt_arg& a, int32_t v) { st_le32(a.addr, 0, static_cast<uint32_t>(v)); }

int a_set_pass(RT_CALL& c) {
  if (!fits(c, 0, kUserLen) || !fits(c, 1, kPwdLen) || !fits(c, 2, kPwdLen)) return 0;
  const char* at[3];
  for (int i = 0; i < 3; ++i) at[i] = reinterpret_cast<const char*>(c.args[i].addr);
  return ut_set_pass(at[0], at[1], at[2]);
}

int a_get_pass(RT_CALL& c) {
  if (!fits(c, 0, kUserLen) || !fits(c, 1, kPwdLen)) return 0;
  return ut_get_pass(reinterpret_cast<const char*>(c.args[0].addr), reinterpret_cast<char*>(c.args[1].addr));
}

int a_alloc_info(RT_CALL& c) {
  if (!fits(c, 0, 4) || !fits(c, 1, 4) || !fits(c, 2, 1)) return 0;
  int32_t total = 0, blocks = 0;
  const char flag[2] = {static_cast<char>(c.args[2].addr[0]), 0};
  const int ok = mm_alloc_info(c.pcb, &total, &blocks, flag);
  put32(c.args[0], total), put32(c.args[1], blocks);
  return ok;
}

int a_find_note(RT_CALL& c) {
  if (!fits(c, 0, 1) || !fits(c, 1, 1)) return 0;
  return dbg_find_note(c.pcb, c.args[0].addr, c.args[1].addr) >= 0;
}

template <int (*Fn)(void*, uint8_t*)>
int a_mask(RT_CALL& c) {
  return fits(c, 0, kMaskArea) ? Fn(c.pcb, c.args[0].addr) : 0;
}

// BRFANAL: the file's name and a binary field that receives its record count.
int a_brfanal(RT_CALL& c) {
  if (!fits(c, 0, 1) || !fits(c, 1, 4)) return 0;
  const std::string name = rt_trim_name(reinterpret_cast<const char*>(c.args[0].addr), c.args[0].len);
  int32_t records = 0;
  const int ok = brfanal(name.c_str(), 0, 0, &records);
  put32(c.args[1], records);
  return ok;
}

int a_cli_feature(RT_CALL& c) {
  return fits(c, 0, 4) && tmnet_srv_check_feature(static_cast<uint32_t>(get32(c.args[0]))) ? 1 : 0;
}

// GET_ADDR: the address of the first field into the second, which must
// hold a native address.
int a_get_addr(RT_CALL& c) {
  void* out = nullptr;
  if (!fits(c, 0, 1) || !fits(c, 1, sizeof out) || !get_addr(c.args[0].addr, &out)) return 0;
  memcpy(c.args[1].addr, &out, sizeof out);
  return 1;
}

// ---- the client routines (the remote terminal's services) ----
//
// Arguments, one field each: RT_CLI_CREATE_OBJECT (prototype, handle
// received, then the object's arguments), T when the client's result word
// is not 0; RT_CLI_INVOKE_METHOD (handle, method text, result area, then
// the method's arguments), T when the status is 0; RT_CLI_DESTROY_OBJECT
// (handle); RT_CLI_WAIT_FOR_EVENT (handle received, result received);
// RT_SEND_FILE (local path, client name: the name the client used comes
// back in it); RT_RECV_FILE (client name, local path: the same); RT_LOAD_URL
// (text). Texts go without their trailing blanks; handles and results are
// binary fields of 4 bytes; an object argument travels as its alpha bytes
// (any other type as none, as the wire carries it).

constexpr int kCliFirstArg[2] = {2, 3};  // where the object's arguments start: create, invoke

std::string text_of(const rt_arg& a) { return rt_trim_name(reinterpret_cast<const char*>(a.addr), a.len); }

std::vector<tmnet_obj_arg> obj_args(const RT_CALL& c, int from) {
  std::vector<tmnet_obj_arg> out;
  for (int i = from; i < c.argc; ++i) out.push_back({c.args[i].type, c.args[i].len, c.args[i].addr});
  return out;
}

int a_cli_create(RT_CALL& c) {
  if (c.argc < kCliFirstArg[0] || !fits(c, 0, 1) || !fits(c, 1, 4)) return 0;
  const std::string proto = text_of(c.args[0]);
  const std::vector<tmnet_obj_arg> args = obj_args(c, kCliFirstArg[0]);
  const tmnet_obj_req req{proto.data(), proto.size(), int(args.size()), args.data(), nullptr, 0, 0};
  uint32_t handle = 0;
  const uint32_t result = tmnet_srv_create_object(&req, &handle);
  put32(c.args[1], static_cast<int32_t>(handle));
  return result != 0;
}

int a_cli_invoke(RT_CALL& c) {
  if (c.argc < kCliFirstArg[1] || !fits(c, 0, 4) || !fits(c, 1, 1)) return 0;
  const int32_t handle = get32(c.args[0]);
  if (handle < 0 || handle > 255) return 0;  // the wire carries one byte
  const std::string method = text_of(c.args[1]);
  const std::vector<tmnet_obj_arg> args = obj_args(c, kCliFirstArg[1]);
  const tmnet_obj_req req{method.data(),
                          method.size(),
                          int(args.size()),
                          args.data(),
                          c.args[2].addr,
                          c.args[2].addr ? c.args[2].len : 0u,
                          static_cast<uint8_t>(handle)};
  return tmnet_srv_invoke_method(&req) == 0;
}

int a_cli_destroy(RT_CALL& c) {
  if (!fits(c, 0, 4)) return 0;
  const int32_t handle = get32(c.args[0]);
  return handle >= 0 && handle <= 255 && tmnet_srv_destroy_object(static_cast<uint8_t>(handle));
}

int a_cli_wait(RT_CALL& c) {
  if (!fits(c, 0, 4) || !fits(c, 1, 4)) return 0;
  uint32_t handle = 0;
  const uint32_t result = tmnet_srv_wait_for_event(&handle);
  put32(c.args[0], static_cast<int32_t>(handle)), put32(c.args[1], static_cast<int32_t>(result));
  return 1;
}

int a_send_file(RT_CALL& c) {
  if (!fits(c, 0, 1) || !fits(c, 1, 1)) return 0;
  const std::string path = text_of(c.args[0]);
  return tmnet_srv_send_file(path.c_str(), reinterpret_cast<char*>(c.args[1].addr), c.args[1].len);
}

int a_recv_file(RT_CALL& c) {
  if (!fits(c, 0, 1) || !fits(c, 1, 1)) return 0;
  const std::string path = text_of(c.args[1]);
  return tmnet_srv_recv_file(reinterpret_cast<char*>(c.args[0].addr), path.c_str(), c.args[0].len);
}

int a_load_url(RT_CALL& c) {
  if (!fits(c, 0, 1)) return 0;
  const std::string url = text_of(c.args[0]);
  return tmnet_srv_load_url(url.data(), url.size());
}

std::vector<rt_fn_row>& rows() {
  static std::vector<rt_fn_row> r = {
      {"UT_SET_PASS", a_set_pass, 3, 0},
      {"UT_GET_PASS", a_get_pass, 2, 0},
      {"MM_ALLOC_INFO", a_alloc_info, 3, 0},
      {"DBG_FIND_NOTE", a_find_note, 2, 0},
      {"CV_XLATE_NUM_MSK", a_mask<cv_xlate_num_msk>, 1, 0},
      {"CV_UNXLATE_NUM_MSK", a_mask<cv_unxlate_num_msk>, 1, 0},
      {"CV_XLATE_DAT_MSK", a_mask<cv_xlate_dat_msk>, 1, 0},
      {"CV_UNXLATE_DAT_MSK", a_mask<cv_unxlate_dat_msk>, 1, 0},
      {"BRFANAL", a_brfanal, 2, 0},
      {"RT_CHECK_CLI_FEATURE", a_cli_feature, 1, 0},
      {"RT_CLI_CREATE_OBJECT", a_cli_create, kRtAnyArgs, 0},
      {"RT_CLI_INVOKE_METHOD", a_cli_invoke, kRtAnyArgs, 0},
      {"RT_CLI_DESTROY_OBJECT", a_cli_destroy, 1, 0},
      {"RT_CLI_WAIT_FOR_EVENT", a_cli_wait, 2, 0},
      {"RT_SEND_FILE", a_send_file, 2, 0},
      {"RT_RECV_FILE", a_recv_file, 2, 0},
      {"RT_LOAD_URL", a_load_url, 1, 0},
      {"GET_ADDR", a_get_addr, 2, 0},
  };
  return r;
}

int write_row(ARB* a, uint32_t index, const rt_fn_row& row) {
  uint8_t rec[kIfnsRecLen] = {};
  memset(rec, ' ', kIfnsNameLen), memcpy(rec, row.name, strlen(row.name));
  st_le32(rec, IFNS_ROW, index), st_le16(rec, IFNS_ARGC, static_cast<uint16_t>(row.argc));
  st_le16(rec, IFNS_FLAGS, row.flags);
  a->arb_mod = 0, a->arb_rec = rec, a->arb_len = kIfnsRecLen, a->arb_var_len = kIfnsRecLen;
  return fm_write(a);
}

std::string lib_dir() {
  const char* d = getenv("KIVO_LIB_DIR");
  if (d && *d) return d;
  return com.data_dir.ptr ? std::string(com.data_dir.ptr, strnlen(com.data_dir.ptr, com.data_dir.len)) : ".";
}

}  // namespace

const rt_fn_row* int_fns_tbl(size_t* count) {
  *count = rows().size();
  return rows().data();
}

int rt_add_fn(const rt_fn_row& row) {
  const size_t len = row.name ? strlen(row.name) : 0;
  if (!len || len > kIfnsNameLen || !row.adapter) return 0;
  for (const rt_fn_row& r : rows())
    if (!strcmp(r.name, row.name)) return 0;
  rows().push_back(row);
  return rt_ifns_arb ? write_row(rt_ifns_arb, static_cast<uint32_t>(rows().size() - 1), row) : 1;
}

int rt_load_fns(ARB* arb) {
  for (size_t i = 0; i < rows().size(); ++i)
    if (!write_row(arb, static_cast<uint32_t>(i), rows()[i])) return 0;
  return 1;
}

int rt_call_row(uint32_t row, RT_CALL& call, std::string* err) {
  if (row >= rows().size()) return *err = "unknown routine " + std::to_string(row), -1;
  const rt_fn_row& r = rows()[row];
  if (r.argc != kRtAnyArgs && r.argc != call.argc)
    return *err = std::string(r.name) + " takes " + std::to_string(r.argc) + " arguments, " +
                  std::to_string(call.argc) + " passed",
           -1;
  return r.adapter(call) ? 1 : 0;
}

int rt_call_lib(const std::string& lib, const std::string& fn, RT_CALL& call, std::string* err) {
  using ext_fn = int (*)(void* pcb, int argc, void** argv);
  ss_lib* l = ss_load_lib(lib_dir().c_str(), lib.c_str());
  auto f = l && fn.size() < kNameMax ? reinterpret_cast<ext_fn>(ss_load_fn(l, fn.c_str())) : nullptr;
  if (!f) return *err = "routine " + fn + " of " + lib + " not loaded", -1;
  void* argv[kPassMax];
  for (int i = 0; i < call.argc; ++i) argv[i] = call.args[i].addr;
  return f(call.pcb, call.argc, argv) ? 1 : 0;
}

}  // namespace kivo

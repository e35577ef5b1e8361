// The invocation record: 144 bytes that name a process to run and receive
// its end code. Kept as bytes with named offsets because the same record is
// stored in session files and copied into the process control block and
// the compiled child records; logic reads and writes it through the named
// accessors of INVOC, the offsets stay here.
//
// Texts are blank-padded and not terminated. The four handle words
// (parent surfaces and PCB, the constraint's segment, field and value
// arrays) hold registry handles (compiler/pcb.h), never addresses.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/bytes.h"

namespace kivo {

constexpr size_t kInvocSize = 144;

// Byte offsets of INVOC fields.
enum : size_t {
  INVOC_AP_ID = 0,        // 3
  INVOC_VER = 3,          // 2
  INVOC_PROC_TYPE = 5,    // 1
  INVOC_PROC_NAM = 6,     // 30
  INVOC_INVOC_TYPE = 36,  // 0 subprocess, 1 related, 2 detached
  INVOC_AUTO_RUN = 37,
  INVOC_CHAIN_MODE = 38,  // 1 return to the invoker, 2 run in its place
  INVOC_INTERRUPT_OK = 39,
  INVOC_BG_RUN = 40,
  INVOC_ONE_SHOT = 41,
  INVOC_CALLER_CODE = 42,  // 4
  INVOC_PARENT_SRF = 48,   // 2 x u32 handle
  INVOC_PARENT_PCB = 60,   // u32 handle
  INVOC_BYTE_64 = 64,      // 255 in the template, copied and never read
  INVOC_PCF_KEY_NO = 65,
  INVOC_RNG_AP = 66,        // 3
  INVOC_RNG_NAM = 69,       // 30
  INVOC_B99 = 99,           // copied and never read
  INVOC_B100 = 100,         // the update byte a range attaches its query by (CHILD byte 117)
  INVOC_CNSTR_CNT = 104,    // u32: constraint entries
  INVOC_CNSTR_SEGS = 108,   // u32 handle: 6-byte segment entries
  INVOC_CNSTR_FLDS = 112,   // u32 handle: field entries
  INVOC_CNSTR_LEN = 116,    // u32: total length of the values
  INVOC_CNSTR_VALS = 120,   // u32 handle: the value buffer
  INVOC_CNSTR_AP = 125,     // 3
  INVOC_CNSTR_STAMP = 128,  // u32: the number of the file the constraint was built for
  INVOC_END_CODE = 132,     // u32
  INVOC_CHILD_NO = 136,     // u32: the compiled child that made the invocation
};
constexpr size_t kProcNameLen = 30;
static_assert(INVOC_CHILD_NO + 4 <= kInvocSize);

struct INVOC {
  uint8_t b[kInvocSize];

  char* ap_id() { return text(INVOC_AP_ID); }
  const char* ap_id() const { return text(INVOC_AP_ID); }
  char* ver() { return text(INVOC_VER); }
  const char* ver() const { return text(INVOC_VER); }
  uint8_t proc_type() const { return b[INVOC_PROC_TYPE]; }
  void set_proc_type(uint8_t v) { b[INVOC_PROC_TYPE] = v; }
  char* proc_nam() { return text(INVOC_PROC_NAM); }
  const char* proc_nam() const { return text(INVOC_PROC_NAM); }
  uint8_t invoc_type() const { return b[INVOC_INVOC_TYPE]; }
  void set_invoc_type(uint8_t v) { b[INVOC_INVOC_TYPE] = v; }
  uint8_t auto_run() const { return b[INVOC_AUTO_RUN]; }
  void set_auto_run(uint8_t v) { b[INVOC_AUTO_RUN] = v; }
  uint8_t chain_mode() const { return b[INVOC_CHAIN_MODE]; }
  void set_chain_mode(uint8_t v) { b[INVOC_CHAIN_MODE] = v; }
  uint8_t interrupt_ok() const { return b[INVOC_INTERRUPT_OK]; }
  void set_interrupt_ok(uint8_t v) { b[INVOC_INTERRUPT_OK] = v; }
  uint8_t bg_run() const { return b[INVOC_BG_RUN]; }
  void set_bg_run(uint8_t v) { b[INVOC_BG_RUN] = v; }
  uint8_t one_shot() const { return b[INVOC_ONE_SHOT]; }
  void set_one_shot(uint8_t v) { b[INVOC_ONE_SHOT] = v; }
  char* caller_code() { return text(INVOC_CALLER_CODE); }
  const char* caller_code() const { return text(INVOC_CALLER_CODE); }
  // Surface 0 is the invoker's main surface, 1 its pop-up surface.
  uint32_t parent_srf(int i) const { return ld_le32(b, INVOC_PARENT_SRF + 4 * size_t(i)); }
  void set_parent_srf(int i, uint32_t h) { st_le32(b, INVOC_PARENT_SRF + 4 * size_t(i), h); }
  uint32_t parent_pcb() const { return ld_le32(b, INVOC_PARENT_PCB); }
  void set_parent_pcb(uint32_t h) { st_le32(b, INVOC_PARENT_PCB, h); }
  uint8_t pcf_key_no() const { return b[INVOC_PCF_KEY_NO]; }
  void set_pcf_key_no(uint8_t v) { b[INVOC_PCF_KEY_NO] = v; }
  char* rng_ap() { return text(INVOC_RNG_AP); }
  const char* rng_ap() const { return text(INVOC_RNG_AP); }
  char* rng_nam() { return text(INVOC_RNG_NAM); }
  const char* rng_nam() const { return text(INVOC_RNG_NAM); }
  uint32_t cnstr_cnt() const { return ld_le32(b, INVOC_CNSTR_CNT); }
  void set_cnstr_cnt(uint32_t v) { st_le32(b, INVOC_CNSTR_CNT, v); }
  uint32_t cnstr_segs() const { return ld_le32(b, INVOC_CNSTR_SEGS); }
  void set_cnstr_segs(uint32_t h) { st_le32(b, INVOC_CNSTR_SEGS, h); }
  uint32_t cnstr_flds() const { return ld_le32(b, INVOC_CNSTR_FLDS); }
  void set_cnstr_flds(uint32_t h) { st_le32(b, INVOC_CNSTR_FLDS, h); }
  uint32_t cnstr_len() const { return ld_le32(b, INVOC_CNSTR_LEN); }
  void set_cnstr_len(uint32_t v) { st_le32(b, INVOC_CNSTR_LEN, v); }
  uint32_t cnstr_vals() const { return ld_le32(b, INVOC_CNSTR_VALS); }
  void set_cnstr_vals(uint32_t h) { st_le32(b, INVOC_CNSTR_VALS, h); }
  char* cnstr_ap() { return text(INVOC_CNSTR_AP); }
  const char* cnstr_ap() const { return text(INVOC_CNSTR_AP); }
  uint32_t cnstr_stamp() const { return ld_le32(b, INVOC_CNSTR_STAMP); }
  void set_cnstr_stamp(uint32_t v) { st_le32(b, INVOC_CNSTR_STAMP, v); }
  uint32_t end_code() const { return ld_le32(b, INVOC_END_CODE); }
  void set_end_code(uint32_t v) { st_le32(b, INVOC_END_CODE, v); }
  uint32_t child_no() const { return ld_le32(b, INVOC_CHILD_NO); }
  void set_child_no(uint32_t v) { st_le32(b, INVOC_CHILD_NO, v); }

 private:
  char* text(size_t off) { return reinterpret_cast<char*>(b + off); }
  const char* text(size_t off) const { return reinterpret_cast<const char*>(b + off); }
};
static_assert(sizeof(INVOC) == kInvocSize);

}  // namespace kivo

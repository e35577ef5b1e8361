// The named accessors of stored records land on the bytes the stored
// layout gives: each field written through its accessor is found, little
// endian, at its offset, and nothing else of the record changes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "foundation/invoc.h"

namespace kivo {
namespace {

struct invoc_field {
  const char* name;
  size_t off, len;
  std::function<void(INVOC&)> set;  // writes 0x11 0x22 0x33 0x44 (its first len bytes)
  std::function<uint32_t(const INVOC&)> get;
};

uint32_t text4(const char* p, size_t n) {
  uint32_t v = 0;
  memcpy(&v, p, n);
  return v;
}

TEST(RecordAccessors, InvocFieldsLieAtTheirStoredOffsets) {
  constexpr uint32_t kWord = 0x44332211;
  const invoc_field fields[] = {
      {"ap_id", 0, 3, [](INVOC& v) { memcpy(v.ap_id(), "\x11\x22\x33", 3); },
       [](const INVOC& v) { return text4(v.ap_id(), 3); }},
      {"ver", 3, 2, [](INVOC& v) { memcpy(v.ver(), "\x11\x22", 2); }, [](const INVOC& v) { return text4(v.ver(), 2); }},
      {"proc_type", 5, 1, [](INVOC& v) { v.set_proc_type(0x11); }, [](const INVOC& v) { return v.proc_type(); }},
      {"proc_nam", 6, 3, [](INVOC& v) { memcpy(v.proc_nam(), "\x11\x22\x33", 3); },
       [](const INVOC& v) { return text4(v.proc_nam(), 3); }},
      {"invoc_type", 36, 1, [](INVOC& v) { v.set_invoc_type(0x11); }, [](const INVOC& v) { return v.invoc_type(); }},
      {"auto_run", 37, 1, [](INVOC& v) { v.set_auto_run(0x11); }, [](const INVOC& v) { return v.auto_run(); }},
      {"chain_mode", 38, 1, [](INVOC& v) { v.set_chain_mode(0x11); }, [](const INVOC& v) { return v.chain_mode(); }},
      {"interrupt_ok", 39, 1, [](INVOC& v) { v.set_interrupt_ok(0x11); },
       [](const INVOC& v) { return v.interrupt_ok(); }},
      {"bg_run", 40, 1, [](INVOC& v) { v.set_bg_run(0x11); }, [](const INVOC& v) { return v.bg_run(); }},
      {"one_shot", 41, 1, [](INVOC& v) { v.set_one_shot(0x11); }, [](const INVOC& v) { return v.one_shot(); }},
      {"caller_code", 42, 4, [](INVOC& v) { memcpy(v.caller_code(), "\x11\x22\x33\x44", 4); },
       [](const INVOC& v) { return text4(v.caller_code(), 4); }},
      {"parent_srf 0", 48, 4, [](INVOC& v) { v.set_parent_srf(0, kWord); },
       [](const INVOC& v) { return v.parent_srf(0); }},
      {"parent_srf 1", 52, 4, [](INVOC& v) { v.set_parent_srf(1, kWord); },
       [](const INVOC& v) { return v.parent_srf(1); }},
      {"parent_pcb", 60, 4, [](INVOC& v) { v.set_parent_pcb(kWord); }, [](const INVOC& v) { return v.parent_pcb(); }},
      {"pcf_key_no", 65, 1, [](INVOC& v) { v.set_pcf_key_no(0x11); }, [](const INVOC& v) { return v.pcf_key_no(); }},
      {"rng_ap", 66, 3, [](INVOC& v) { memcpy(v.rng_ap(), "\x11\x22\x33", 3); },
       [](const INVOC& v) { return text4(v.rng_ap(), 3); }},
      {"rng_nam", 69, 3, [](INVOC& v) { memcpy(v.rng_nam(), "\x11\x22\x33", 3); },
       [](const INVOC& v) { return text4(v.rng_nam(), 3); }},
      {"cnstr_cnt", 104, 4, [](INVOC& v) { v.set_cnstr_cnt(kWord); }, [](const INVOC& v) { return v.cnstr_cnt(); }},
      {"cnstr_segs", 108, 4, [](INVOC& v) { v.set_cnstr_segs(kWord); }, [](const INVOC& v) { return v.cnstr_segs(); }},
      {"cnstr_flds", 112, 4, [](INVOC& v) { v.set_cnstr_flds(kWord); }, [](const INVOC& v) { return v.cnstr_flds(); }},
      {"cnstr_len", 116, 4, [](INVOC& v) { v.set_cnstr_len(kWord); }, [](const INVOC& v) { return v.cnstr_len(); }},
      {"cnstr_vals", 120, 4, [](INVOC& v) { v.set_cnstr_vals(kWord); }, [](const INVOC& v) { return v.cnstr_vals(); }},
      {"cnstr_ap", 125, 3, [](INVOC& v) { memcpy(v.cnstr_ap(), "\x11\x22\x33", 3); },
       [](const INVOC& v) { return text4(v.cnstr_ap(), 3); }},
      {"cnstr_stamp", 128, 4, [](INVOC& v) { v.set_cnstr_stamp(kWord); },
       [](const INVOC& v) { return v.cnstr_stamp(); }},
      {"end_code", 132, 4, [](INVOC& v) { v.set_end_code(kWord); }, [](const INVOC& v) { return v.end_code(); }},
      {"child_no", 136, 4, [](INVOC& v) { v.set_child_no(kWord); }, [](const INVOC& v) { return v.child_no(); }},
  };
  const uint8_t golden[4] = {0x11, 0x22, 0x33, 0x44};
  for (const invoc_field& f : fields) {
    INVOC v;
    memset(v.b, 0xEE, sizeof v.b);
    f.set(v);
    uint8_t want[kInvocSize];
    memset(want, 0xEE, sizeof want);
    memcpy(want + f.off, golden, f.len);
    EXPECT_EQ(memcmp(v.b, want, kInvocSize), 0) << f.name;
    const uint32_t mask = f.len == 4 ? 0xFFFFFFFF : (1u << (8 * f.len)) - 1;
    EXPECT_EQ(f.get(v), kWord & mask) << f.name;
  }
}

}  // namespace
}  // namespace kivo

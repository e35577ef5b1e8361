// se_fixture DIR AP VER [mask=<stored date mask>] [<number>=<text> ...]
// Completes a statement editor's test installation in DIR through the file
// manager: mask= puts a date mask into the APPL record of AP VER; each
// number=text writes a message of language "00", and number= with no text
// removes that message. (The statements kivo_design wrote carry no stamps
// already, as lines from before stamps existed.)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "editors/ie_internal.h"
#include "fm/fm.h"
#include "fm/fm_open.h"
#include "foundation/app_date_mask.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "kivo_fixture.h"

namespace {

using namespace kivo;

ARB* open(FDB& f) {
  return FM_OPEN(&f, com.sys_scope, LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 0x0f, 0x0f) ? f.fdb_arb : nullptr;
}

bool date_mask(const char* ap, const char* ver, const std::string& mask) {
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  INIT_DAP_FDB(&f, k, s);
  ARB* a = open(f);
  if (!a) return false;
  uint8_t rec[324];
  memset(rec, ' ', sizeof rec);
  memcpy(rec + 4, ap, 3), memcpy(rec + 7, ver, 2);
  if (!ie_get(a, 0, rec, sizeof rec)) return false;
  memset(rec + kApplDateMaskOffset, ' ', kAppDateMaskLen);
  memcpy(rec + kApplDateMaskOffset, mask.data(), std::min(mask.size(), kAppDateMaskLen));
  return ie_rewrite(a, rec, sizeof rec) && FM_CLOSE(a, 0);
}

// Message `number` of language "00" in place of the one there; an empty
// text only removes it.
bool message(uint32_t number, const std::string& text) {
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  INIT_DMSG_FDB(&f, k, s, "00 ");
  if (ARB* a = open(f)) {
    std::vector<uint8_t> old(f.fdb_rec_len, 0);
    st_le32(old.data(), 0, number);
    ie_del(a, old.data(), uint16_t(old.size()));
    FM_CLOSE(a, 0);
  }
  return text.empty() || kivo_test::write_message(number, text);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return fprintf(stderr, "usage: se_fixture DIR AP VER [mask=M] [N=TEXT ...]\n"), 2;
  setenv("KIVOPATH", argv[1], 1);
  setenv("KIVO_0SA_PATH", argv[1], 1);
  fm_register_hooks();
  if (!os_init(1, argv)) return 1;
  bool ok = true;
  for (int i = 4; ok && i < argc; ++i) {
    const std::string a = argv[i];
    const size_t eq = a.find('=');
    if (eq == std::string::npos) return fprintf(stderr, "se_fixture: %s is no name=value\n", argv[i]), 2;
    if (a.compare(0, eq, "mask") == 0) ok = date_mask(argv[2], argv[3], a.substr(eq + 1));
    else ok = message(uint32_t(atol(a.substr(0, eq).c_str())), a.substr(eq + 1));
  }
  if (!ok) fprintf(stderr, "se_fixture: a record of %s could not be written\n", argv[1]);
  return ok ? 0 : 1;
}

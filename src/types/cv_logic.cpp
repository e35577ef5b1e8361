// Logic items: one stored byte ('1', '0' or blank) shown as the language's
// upper-case yes or no letter.
//
// An entry that is not yes, no or an accepted blank is refused before
// anything is stored, so one typo never destroys the stored value.
#include <cstring>

#include "types/cnv.h"

namespace kivo {

namespace {

enum { kLowYes = 0, kUpYes = 1, kLowNo = 2, kUpNo = 3 };

int refuse(CNV* c) {
  c->cnv_status = CV_BAD_LOGIC;
  return 0;
}

}  // namespace

int log_itoe(CNV* c) {
  const char* yn = c->ta.log.yes_no;
  uint8_t* v = get_int_addr_dspl(c);
  if (!v) {
    cv_fill_dspl(c, '?');
    return 0;
  }
  cv_fill_dspl(c, ' ');
  if (c->addr_mode < 2 && c->aux_addr && *c->aux_addr == *v) return 1;
  switch (*v) {
    case ' ': return 1;
    case '1':
    case 'y':
    case 'Y': c->ext_addr[0] = yn[kUpYes]; return 1;
    case '0':
    case 'n':
    case 'N': c->ext_addr[0] = yn[kUpNo]; return 1;
    default: return refuse(c);
  }
}

int log_etoi(CNV* c) {
  const char* yn = c->ta.log.yes_no;
  uint8_t* v = get_int_addr_dspl(c);
  if (!v) return 0;
  const char in = c->ext_addr[0];
  char stored;
  if (in == yn[kLowYes] || in == yn[kUpYes]) {
    stored = '1';
    c->ext_addr[0] = yn[kUpYes];
  } else if (in == yn[kLowNo] || in == yn[kUpNo]) {
    stored = '0';
    c->ext_addr[0] = yn[kUpNo];
  } else if (in == ' ' && c->blank_ok) {
    stored = ' ';
  } else {
    return refuse(c);
  }
  memset(v, ' ', c->int_len);
  v[0] = static_cast<uint8_t>(stored);
  return 1;
}

}  // namespace kivo

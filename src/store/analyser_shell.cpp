// The analyser's interactive command loop: "BRF> " on the error stream,
// commands read from the input, one table row per command word.
//
// A command is the first row, in table order, whose whole word begins the
// (upper-cased) line, so "VERIFY FREELIST" is taken by "VERIFY FREE". Seeks
// typed by the user are checked like everything read from the files.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "foundation/bytes.h"
#include "foundation/sys_err.h"
#include "store/analyser_internal.h"
#include "store/lock.h"

namespace kivo {

namespace {

enum cmd_code : int {
  CMD_DUMP_HEADER = 0,
  CMD_DUMP_KEY = 1,
  CMD_DUMP_INDEX = 2,
  CMD_DUMP_REC_NO = 3,
  CMD_DUMP_REC_AT = 4,
  CMD_DUMP_FREE = 5,
  CMD_VERIFY_FREE = 6,
  CMD_SET_KEY = 7,
  CMD_VERIFY_KEY = 8,
  CMD_FIND_POINTERS = 9,
  CMD_HELP = 10,
  CMD_EXIT = 11,
  CMD_AGAIN = 12,
  CMD_NEXT = 13,
  CMD_COUNT_REC = 14,
  CMD_SET_PAGE_LEN = 15,
  CMD_DUMP_PAGE = 16,
  CMD_SET_FILE_DATA = 17,
  CMD_SET_FILE_INDEX = 18,
  CMD_LOCK_BYTE = 19,
  CMD_UNLOCK_BYTE = 20,
  CMD_SET_BUF_SIZE = 21,
  CMD_CHECK_REFS = 22,
};

struct cmd_row {
  const char* word;
  int code;
  bool arg;
};

const cmd_row kCommands[] = {
    {"DUMP HEADER", CMD_DUMP_HEADER, false},
    {"DUMP KEY", CMD_DUMP_KEY, true},
    {"DUMP INDEX @", CMD_DUMP_INDEX, true},
    {"DUMP REC #", CMD_DUMP_REC_NO, true},
    {"DUMP REC @", CMD_DUMP_REC_AT, true},
    {"DUMP FREE", CMD_DUMP_FREE, false},
    {"VERIFY FREE", CMD_VERIFY_FREE, false},
    {"VERIFY FREELIST", CMD_VERIFY_FREE, false},
    {"SET KEY #", CMD_SET_KEY, true},
    {"VERIFY KEY #", CMD_VERIFY_KEY, true},
    {"FIND POINTERS", CMD_FIND_POINTERS, false},
    {"HELP", CMD_HELP, false},
    {"EXIT", CMD_EXIT, false},
    {"QUIT", CMD_EXIT, false},
    {"AGAIN", CMD_AGAIN, false},
    {";", CMD_AGAIN, false},
    {"NEXT", CMD_NEXT, false},
    {".", CMD_NEXT, false},
    {"COUNT REC", CMD_COUNT_REC, false},
    {"SET PAGE LEN", CMD_SET_PAGE_LEN, true},
    {"DUMP PAGE @", CMD_DUMP_PAGE, true},
    {"SET FILE DATA", CMD_SET_FILE_DATA, false},
    {"SET FILE INDEX", CMD_SET_FILE_INDEX, false},
    {"LOCK BYTE @", CMD_LOCK_BYTE, true},
    {"UNLOCK BYTE @", CMD_UNLOCK_BYTE, true},
    {"SET BUF SIZE", CMD_SET_BUF_SIZE, true},
    {"CHECK REFS", CMD_CHECK_REFS, false},
};
static_assert(sizeof kCommands / sizeof kCommands[0] == 27);

constexpr size_t kLineSize = 1024;
constexpr int kDumpPageBytes = 256;
constexpr long long kArgAll = -1;

struct shell {
  anal_ctx* c;
  FILE* in;
  int last_code = -1;
  long long last_arg = 0;
  int set_key = 0;
  bool index_selected = false;  // SET FILE INDEX
  long long last_dat_seek = 0;
  long long last_key_seek = 0;
  int prev_dump = -1;      // DUMP REC @ or DUMP PAGE @, for NEXT
  long long page_len = 0;  // 0 = no paging
  long long step = 256;
  int lines = 0;
  bool quit_listing = false;

  // One line of a listing; false when the user stopped it at "more...".
  bool line_done() {
    if (page_len <= 0 || quit_listing) return !quit_listing;
    if (++lines < page_len) return true;
    lines = 0;
    anal_say(c, "more...");
    fflush(c->out);
    char buf[kLineSize];
    if (!fgets(buf, sizeof buf, in) || buf[0] == 'q' || buf[0] == 'Q') quit_listing = true;
    return !quit_listing;
  }

  int selected_slot() const { return index_selected ? c->key_slot : c->dat->slot; }
  long long& selected_seek() { return index_selected ? last_key_seek : last_dat_seek; }
};

// Reads a command. Returns the row, or null at end of input.
const cmd_row* get_verb(shell* s, long long* arg) {
  char line[kLineSize];
  for (;;) {
    anal_say(s->c, "BRF> ");
    fflush(s->c->out);
    if (!fgets(line, sizeof line, s->in)) return nullptr;
    if (!strchr(line, '\n') && !feof(s->in)) {
      // An overlong line is one command: drop the rest of it.
      int ch;
      while ((ch = fgetc(s->in)) != EOF && ch != '\n') {}
    }
    for (char* p = line; *p; ++p) *p = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
    const char* p = line;
    while (*p == ' ' || *p == '\t') ++p;
    for (const cmd_row& row : kCommands) {
      size_t n = strlen(row.word);
      if (strncmp(p, row.word, n) != 0) continue;
      *arg = 0;
      if (row.arg) {
        const char* a = p + n;
        while (*a == ' ' || *a == '\t') ++a;
        if (strncmp(a, "ALL", 3) == 0) {
          *arg = kArgAll;
        } else {
          errno = 0;
          long long v = strtoll(a, nullptr, 10);
          *arg = errno ? 0 : v;
        }
      }
      return &row;
    }
    anal_say(s->c, "huh?\a\n");
  }
}

// A seek typed by the user, as a file offset; false when it cannot be one.
bool user_seek(long long v, uint32_t* seek) {
  if (v < 0 || v > INT32_MAX) return false;
  *seek = static_cast<uint32_t>(v);
  return true;
}

void dump_header(shell* s) {
  anal_ctx* c = s->c;
  const brf_hdr& h = c->hdr;
  anal_say(c, "BRF File Header\n\n");
  anal_say(c, "  Version: %d\n", h.version);
  anal_say(c, "  Flags: 0x%x (%s", h.flags, (h.flags & kHdrFixed) ? " FIXED LENGTH )\n" : " VARIABLE LENGTH )\n");
  anal_say(c, "  Record length: %d\n", static_cast<int>(h.rec_len));
  anal_say(c, "  freelist(%d)  eofseek(%d)\n", static_cast<int>(h.freelist), static_cast<int>(h.eofseek));
  if (!c->key_hdr_ok) return;
  anal_say(c, "Btree file header\n");
  anal_say(c, "  Version: %d  Page size: %d  Free Page header: %d\n", ld_le16(c->khdr, kHdrVersion),
           ld_le16(c->khdr, kHdrPageSize), static_cast<int>(ld_le32(c->khdr, kHdrFreePage)));
  anal_say(c, "  Eofseek: %d  Key Count: %d\n", static_cast<int>(ld_le32(c->khdr, kHdrEofseek)),
           ld_u8(c->khdr, kHdrKeyCount));
  for (int k = 0; k < c->nkeys; ++k) {
    const KEY_DESC& d = c->keys[k];
    anal_say(c, "    %02d) Key #%d root (%d) length (%d) segments (%d)\n", k, d.keyno, static_cast<int>(d.root),
             d.keylen, d.nsegs);
    for (int i = 0; i < std::min<int>(d.nsegs, kBtMaxSegs); ++i)
      anal_say(c, "           %d) type (%d) poffs (%d) len (%d)\n", i, d.seg[i].type, d.seg[i].poffs, d.seg[i].len);
  }
}

bool key_number_ok(const anal_ctx* c, long long k) { return k >= 0 && k < c->nkeys && c->key_valid[k]; }

void dump_index(shell* s, long long arg) {
  anal_ctx* c = s->c;
  uint32_t seek;
  if (!key_number_ok(c, s->set_key)) {
    anal_say(c, "  Sorry, bad key number - use DUMP HEADER\n");
    return;
  }
  uint8_t pg[kPageSize];
  if (!user_seek(arg, &seek) || !anal_read_key(c, seek, pg, sizeof pg)) {
    anal_say(c, "Can't read page at %lld\n", arg);
    return;
  }
  s->last_key_seek = seek;
  const int keylen = c->keys[s->set_key].keylen;
  const int esz = bt_entry_size(keylen);
  const int n = ld_le16(pg, kPgCount);
  const int shown = std::min(n, bt_max_entries(keylen));
  anal_say(c, "\n------- PAGE_HDR(%d): %08d parent = %08d - %d keys (age %d)\n", s->set_key, static_cast<int>(seek),
           static_cast<int>(ld_le32(pg, kPgParent)), n, ld_le16(pg, kPgAge));
  s->lines = 0;
  s->quit_listing = false;
  for (int i = 0; i < shown; ++i) {
    const uint8_t* e = pg + kPgHdrSize + static_cast<size_t>(i) * esz;
    anal_say(c, "  %03d: DOWN(%08d) - DSEEK(%08d)\n", i, static_cast<int>(ld_le32(e, 0)),
             static_cast<int>(ld_le32(e, 4)));
    anal_hex_dump(c, e + 8, static_cast<size_t>(keylen));
    if (!s->line_done()) return;
  }
  anal_say(c, " Next: DOWN(%08d)\n", static_cast<int>(ld_le32(pg, kPgHdrSize + static_cast<size_t>(shown) * esz)));
}

void dump_rec(shell* s, long long arg) {
  anal_ctx* c = s->c;
  uint32_t seek;
  uint8_t hb[kRecHdrSize];
  if (!user_seek(arg, &seek) || !anal_read_dat(c, seek, hb, sizeof hb)) {
    anal_say(c, "can't read record header at %lld\n", arg);
    return;
  }
  s->last_dat_seek = seek;
  rec_hdr h = decode_rec_hdr(hb);
  if (h.length > kAnalMaxRecLen || uint64_t{seek} + h.length + kRecOverhead > c->dat_size) {
    anal_say(c, "bad record length at %d\n", static_cast<int>(seek));
    return;
  }
  std::vector<uint8_t> body(h.length);
  if (!anal_read_dat(c, uint64_t{seek} + kRecHdrSize, body.data(), body.size())) {
    anal_say(c, "can't read record at %d\n", static_cast<int>(seek));
    return;
  }
  uint8_t tr[kRecTrailerSize];
  if (!anal_read_dat(c, uint64_t{seek} + kRecHdrSize + h.length, tr, sizeof tr)) {
    anal_say(c, "can't read trailer at %d\n", static_cast<int>(seek));
    return;
  }
  if ((h.flags & kRecNotUser) && h.length >= kFreeBlockUsed) {
    anal_say(c, "FREE_BLOCK ( seek = %d, len = %d, next = %d )\n", static_cast<int>(seek), h.length,
             static_cast<int>(ld_le32(body.data(), kFbNextOff)));
    for (int i = 0; i < kFreeEntries; ++i)
      anal_say(c, "    (%02d) len = %d, seek = %08d\n", i, ld_le16(body.data(), kFbLenOff + 2 * static_cast<size_t>(i)),
               static_cast<int>(ld_le32(body.data(), kFbSeekOff + 4 * static_cast<size_t>(i))));
    return;
  }
  anal_say(c, "Seek (%d)\tLen (%d)  Age (%d)\n", static_cast<int>(seek), h.length, h.age);
  if (h.flags & kRecDeleted) anal_say(c, "    *** DELETED **** \n\n");
  anal_hex_dump(c, body.data(), body.size());
}

void dump_page(shell* s, long long arg) {
  anal_ctx* c = s->c;
  uint32_t seek;
  uint8_t buf[kDumpPageBytes];
  bool ok = user_seek(arg, &seek) &&
            (s->index_selected ? anal_read_key(c, seek, buf, sizeof buf) : anal_read_dat(c, seek, buf, sizeof buf));
  if (!ok) {
    anal_say(c, "Can't read %d bytes at %lld\n", kDumpPageBytes, arg);
    return;
  }
  s->selected_seek() = seek;
  anal_say(c, "Dump of %d bytes at %d\n", kDumpPageBytes, static_cast<int>(seek));
  anal_hex_dump(c, buf, sizeof buf);
}

void verify_keys(shell* s, long long arg) {
  anal_ctx* c = s->c;
  int active = count_rec(c, false);
  if (arg == kArgAll) {
    anal_say(c, "Looking for %d key values\n", active);
    for (int k = 0; k < c->nkeys; ++k) {
      anal_say(c, "Verifying key #%d - ", k);
      bool bad = false;
      int values = verify_key(c, k, &bad);
      anal_say(c, "%d key values\n", values);
      if (values < 0 || bad || unreferenced(c, k, false) != 0) anal_say(c, "  Invalid key count on key %d\n", k);
    }
    return;
  }
  if (arg < 0 || arg >= c->nkeys) {
    anal_say(c, "  Sorry, bad key number - use DUMP HEADER\n");
    return;
  }
  bool bad = false;
  int values = verify_key(c, static_cast<int>(arg), &bad);
  anal_say(c, "  Total number of key values:  %d\n", values);
}

void check_refs(shell* s) {
  anal_ctx* c = s->c;
  count_rec(c, true);
  for (int k = 0; k < c->nkeys; ++k) {
    anal_say(c, "Verifying key #%d - ", k);
    bool bad = false;
    int values = verify_key(c, k, &bad);
    anal_say(c, "%d key values\n", values);
    if (values < 0 || bad || unreferenced(c, k, false) != 0) anal_say(c, "  Invalid key count on key %d\n", k);
  }
  for (int k = 0; k < c->nkeys; ++k) unreferenced(c, k, true);
}

void lock_byte(shell* s, long long arg, bool lock) {
  anal_ctx* c = s->c;
  int slot = s->selected_slot();
  if (slot < 0 || arg < 0 || arg > INT32_MAX ||
      !bt_share_at(slot, static_cast<off_t>(arg), 0, lock ? 1 : 0, LOCK_RECORD)) {
    anal_say(c, "** LOCK REQUEST FAILED **\n");
    return;
  }
  anal_say(c, lock ? "Byte %d locked\n" : "Byte %d unlocked\n", static_cast<int>(arg));
}

void help(shell* s) {
  for (const cmd_row& row : kCommands) anal_say(s->c, "    %s %s\n", row.word, row.arg ? "<n>" : " ");
}

void unexpected(int line) { sys_err("BRFANAL", line, "do_cmd() unexpected case in switch()"); }

// Carries out one command; false for EXIT and QUIT.
bool do_cmd(shell* s, int code, long long arg) {
  anal_ctx* c = s->c;
  switch (code) {
    case CMD_DUMP_HEADER: dump_header(s); break;
    case CMD_DUMP_KEY:
    case CMD_DUMP_REC_NO: break;  // accepted; nothing to show
    case CMD_DUMP_INDEX: dump_index(s, arg); break;
    case CMD_DUMP_REC_AT:
      dump_rec(s, arg);
      s->prev_dump = CMD_DUMP_REC_AT;
      break;
    case CMD_DUMP_FREE: dump_free(c, true, true); break;
    case CMD_VERIFY_FREE: dump_free(c, false, true); break;
    case CMD_SET_KEY: s->set_key = static_cast<int>(std::clamp<long long>(arg, -1, kBtMaxKeys)); break;
    case CMD_VERIFY_KEY: verify_keys(s, arg); break;
    case CMD_FIND_POINTERS: find_ptrs(c, static_cast<uint32_t>(s->last_dat_seek)); break;
    case CMD_HELP: help(s); break;
    case CMD_EXIT: return false;
    case CMD_NEXT:
      if (s->prev_dump == CMD_DUMP_REC_AT && (c->hdr.flags & kHdrFixed)) {
        dump_rec(s, s->last_dat_seek + c->hdr.rec_len + kRecOverhead);
      } else if (s->prev_dump == CMD_DUMP_PAGE) {
        dump_page(s, s->selected_seek() + s->step);
      } else {
        unexpected(__LINE__);
      }
      break;
    case CMD_COUNT_REC: count_rec(c, true); break;
    case CMD_SET_PAGE_LEN: s->page_len = std::max<long long>(arg, 0); break;
    case CMD_DUMP_PAGE:
      dump_page(s, arg);
      s->prev_dump = CMD_DUMP_PAGE;
      break;
    case CMD_SET_FILE_DATA: s->index_selected = false; break;
    case CMD_SET_FILE_INDEX: s->index_selected = true; break;
    case CMD_LOCK_BYTE: lock_byte(s, arg, true); break;
    case CMD_UNLOCK_BYTE: lock_byte(s, arg, false); break;
    case CMD_SET_BUF_SIZE: s->step = arg; break;
    case CMD_CHECK_REFS: check_refs(s); break;
    default: unexpected(__LINE__); break;
  }
  return true;
}

}  // namespace

void anal_command_loop(anal_ctx* c, FILE* in) {
  shell s{c, in};
  long long arg = 0;
  for (;;) {
    const cmd_row* row = get_verb(&s, &arg);
    if (!row) break;  // end of input ends the session like QUIT
    int code = row->code;
    if (code == CMD_AGAIN) {
      if (s.last_code < 0) continue;
      code = s.last_code;
      arg = s.last_arg;  // the repeated command gets its own argument again
    }
    if (!do_cmd(&s, code, arg)) break;
    s.last_code = code;
    s.last_arg = arg;
  }
  fflush(c->out);
}

}  // namespace kivo

// The analyser's interactive command loop: "BRF> " on the error stream,
// commands read from the input, one table row per command word.
//
// A command is the first row, in table order, whose whole word begins the
// (upper-cased) line, so "VERIFY FREELIST" is taken by "VERIFY FREE". Every
// line read is one command: a line that cannot be one, a missing argument,
// one that is no number or out of range, and a command with nothing to act
// on each get one line saying so, and nothing else happens.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <string>

#include "foundation/bytes.h"
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
constexpr long long kMaxSeekArg = INT32_MAX;  // seeks and byte offsets are u32 below 2 GiB

// A command's argument as typed: none, "ALL", a decimal number, or text
// that is no number (kept to be named in the refusal).
struct cmd_arg {
  enum kind_t { NONE, ALL, NUMBER, BAD } kind = NONE;
  long long value = 0;
  std::string text;
};

// One line of input: its bytes without the line feed. A line longer than
// kLineSize is read whole and marked; a NUL byte in it is kept, so that the
// line can be refused rather than cut there.
struct input_line {
  std::string text;
  bool too_long = false;
};

// Reads one line; false at end of input with nothing read.
bool read_line(FILE* in, input_line* out) {
  out->text.clear();
  out->too_long = false;
  int ch;
  bool any = false;
  while ((ch = fgetc(in)) != EOF) {
    any = true;
    if (ch == '\n') break;
    if (out->text.size() < kLineSize) out->text.push_back(static_cast<char>(ch));
    else out->too_long = true;
  }
  return any;
}

struct shell {
  anal_ctx* c = nullptr;
  FILE* in = nullptr;
  const cmd_row* last_row = nullptr;  // the last command run, for AGAIN
  cmd_arg last_arg;
  int set_key = 0;
  bool index_selected = false;  // SET FILE INDEX
  long long last_dat_seek = 0;
  long long last_key_seek = 0;
  long long next_rec_seek = -1;  // the record after the last one DUMP REC @ showed; -1 unknown
  int prev_dump = -1;            // DUMP REC @ or DUMP PAGE @, for NEXT
  long long page_len = 0;        // 0 = no paging
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
    input_line answer;
    if (!read_line(in, &answer) || (!answer.text.empty() && (answer.text[0] == 'q' || answer.text[0] == 'Q')))
      quit_listing = true;
    return !quit_listing;
  }

  int selected_slot() const { return index_selected ? c->key_slot : c->dat->slot; }
  long long& selected_seek() { return index_selected ? last_key_seek : last_dat_seek; }
};

// The argument after a command word and its blanks: "ALL", or a decimal
// number with an optional sign, followed by blanks only.
cmd_arg parse_arg(const char* a) {
  cmd_arg out;
  while (*a == ' ' || *a == '\t') ++a;
  std::string text = a;
  text.erase(text.find_last_not_of(" \t\r") + 1);
  out.text = text;
  if (text.empty()) return out;
  if (text == "ALL") {
    out.kind = cmd_arg::ALL;
    return out;
  }
  out.kind = cmd_arg::BAD;
  size_t digits = text[0] == '-' || text[0] == '+' ? 1 : 0;
  if (digits == text.size() || text.find_first_not_of("0123456789", digits) != std::string::npos) return out;
  // A number past a long long stays past every range a command takes.
  out.value = strtoll(text.c_str(), nullptr, 10);
  out.kind = cmd_arg::NUMBER;
  return out;
}

// Reads a command. Returns the row, or null at end of input. A line that
// cannot be a command (a NUL byte in it, or too long) gets its one line and
// the next one is read.
const cmd_row* get_verb(shell* s, cmd_arg* arg) {
  input_line line;
  for (;;) {
    anal_say(s->c, "BRF> ");
    fflush(s->c->out);
    if (!read_line(s->in, &line)) return nullptr;
    if (line.text.find('\0') != std::string::npos) {
      anal_say(s->c, "  A command holds no NUL byte: this one is not run\n");
      continue;
    }
    if (line.too_long) {
      anal_say(s->c, "  A command has at most %zu characters: this one is not run\n", kLineSize);
      continue;
    }
    for (char& ch : line.text) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    const char* p = line.text.c_str();
    while (*p == ' ' || *p == '\t') ++p;
    for (const cmd_row& row : kCommands) {
      size_t n = strlen(row.word);
      if (strncmp(p, row.word, n) != 0) continue;
      *arg = row.arg ? parse_arg(p + n) : cmd_arg{};
      return &row;
    }
    anal_say(s->c, "huh?\a\n");
  }
}

// The number a command needs, from `lo` to `hi`; false after the one line
// that says what is wrong with the argument.
bool number_arg(shell* s, const char* word, const cmd_arg& a, long long lo, long long hi, long long* out) {
  switch (a.kind) {
    case cmd_arg::NONE: anal_say(s->c, "  %s needs a number from %lld to %lld\n", word, lo, hi); return false;
    case cmd_arg::ALL: anal_say(s->c, "  %s takes a number, not ALL\n", word); return false;
    case cmd_arg::BAD: anal_say(s->c, "  %s: \"%s\" is no decimal number\n", word, a.text.c_str()); return false;
    case cmd_arg::NUMBER: break;
  }
  if (a.value < lo || a.value > hi) {
    anal_say(s->c, "  %s: %s is out of range: from %lld to %lld\n", word, a.text.c_str(), lo, hi);
    return false;
  }
  *out = a.value;
  return true;
}

// A key number for SET KEY # and VERIFY KEY #; false after the line that
// says what is wrong (a number no key has: the usual "Sorry" line).
bool key_arg(shell* s, const char* word, const cmd_arg& a, long long* out) {
  if (a.kind != cmd_arg::NUMBER) return number_arg(s, word, a, 0, std::max(s->c->nkeys - 1, 0), out);
  if (a.value < 0 || a.value >= s->c->nkeys) {
    anal_say(s->c, "  Sorry, bad key number - use DUMP HEADER\n");
    return false;
  }
  *out = a.value;
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

void dump_index(shell* s, uint32_t seek) {
  anal_ctx* c = s->c;
  if (!key_number_ok(c, s->set_key)) {
    anal_say(c, "  Sorry, bad key number - use DUMP HEADER\n");
    return;
  }
  uint8_t pg[kPageSize];
  if (!anal_read_key(c, seek, pg, sizeof pg)) {
    anal_say(c, "Can't read page at %u\n", seek);
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

// Shows the record at `seek`; the record after it becomes NEXT's: the next
// position of a fixed-length file whatever was read, else the seek after a
// record whose length was read.
void dump_rec(shell* s, uint32_t seek) {
  anal_ctx* c = s->c;
  uint8_t hb[kRecHdrSize];
  const bool fixed = c->hdr.flags & kHdrFixed;
  s->next_rec_seek = fixed ? int64_t{seek} + c->hdr.rec_len + kRecOverhead : -1;
  if (!anal_read_dat(c, seek, hb, sizeof hb)) {
    anal_say(c, "can't read record header at %u\n", seek);
    return;
  }
  s->last_dat_seek = seek;
  rec_hdr h = decode_rec_hdr(hb);
  if (!fixed) s->next_rec_seek = int64_t{seek} + h.length + kRecOverhead;
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

void dump_page(shell* s, uint32_t seek) {
  anal_ctx* c = s->c;
  uint8_t buf[kDumpPageBytes];
  bool ok = s->index_selected ? anal_read_key(c, seek, buf, sizeof buf) : anal_read_dat(c, seek, buf, sizeof buf);
  if (!ok) {
    anal_say(c, "Can't read %d bytes at %u\n", kDumpPageBytes, seek);
    return;
  }
  s->selected_seek() = seek;
  anal_say(c, "Dump of %d bytes at %d\n", kDumpPageBytes, static_cast<int>(seek));
  anal_hex_dump(c, buf, sizeof buf);
}

void verify_keys(shell* s, const cmd_arg& arg) {
  anal_ctx* c = s->c;
  if (arg.kind == cmd_arg::ALL) {
    const int active = count_rec(c, false);
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
  long long k = 0;
  if (!key_arg(s, "VERIFY KEY #", arg, &k)) return;
  count_rec(c, false);
  bool bad = false;
  int values = verify_key(c, static_cast<int>(k), &bad);
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

// Locks or unlocks one byte of the selected file. Only a byte this session
// locked can be unlocked, and a byte it holds is not locked again.
void lock_byte(shell* s, uint32_t byte, bool lock) {
  anal_ctx* c = s->c;
  const int slot = s->selected_slot();
  if (slot >= 0 && get_lock(slot, byte) == lock) {
    anal_say(c, lock ? "  Byte %u is locked already\n" : "  Byte %u is not locked: LOCK BYTE @ locks it\n", byte);
    return;
  }
  if (slot < 0 || !bt_share_at(slot, static_cast<off_t>(byte), 0, lock ? 1 : 0, LOCK_RECORD)) {
    anal_say(c, "** LOCK REQUEST FAILED **\n");
    return;
  }
  anal_say(c, lock ? "Byte %u locked\n" : "Byte %u unlocked\n", byte);
}

void help(shell* s) {
  for (const cmd_row& row : kCommands) anal_say(s->c, "    %s %s\n", row.word, row.arg ? "<n>" : " ");
}

// The seek a command needs; false after the line saying what is wrong.
bool seek_arg(shell* s, const char* word, const cmd_arg& a, uint32_t* seek) {
  long long v = 0;
  if (!number_arg(s, word, a, 0, kMaxSeekArg, &v)) return false;
  *seek = static_cast<uint32_t>(v);
  return true;
}

// NEXT: the record after the last one DUMP REC @ showed, or the bytes a step
// after the last DUMP PAGE @ of the selected file.
void next(shell* s) {
  anal_ctx* c = s->c;
  if (s->prev_dump == CMD_DUMP_PAGE) {
    const long long at = s->selected_seek() + s->step;
    if (at > kMaxSeekArg) anal_say(c, "  NEXT: %lld lies past the largest seek, %lld\n", at, kMaxSeekArg);
    else dump_page(s, static_cast<uint32_t>(at));
  } else if (s->prev_dump != CMD_DUMP_REC_AT) {
    anal_say(c, "  NEXT follows DUMP REC @ or DUMP PAGE @: there is nothing to go on from\n");
  } else if (s->next_rec_seek < 0) {
    anal_say(c, "  NEXT: the last record shown could not be read, so where the next one starts is not known\n");
  } else if (s->next_rec_seek > kMaxSeekArg) {
    anal_say(c, "  NEXT: %lld lies past the largest seek, %lld\n", static_cast<long long>(s->next_rec_seek),
             kMaxSeekArg);
  } else {
    dump_rec(s, static_cast<uint32_t>(s->next_rec_seek));
  }
}

// The commands that check the pair as a whole: each runs under the update
// lock, on headers read again, so that its verdict is of a file no writer
// has half changed.
bool checks_pair(int code) {
  return code == CMD_DUMP_FREE || code == CMD_VERIFY_FREE || code == CMD_VERIFY_KEY || code == CMD_FIND_POINTERS ||
         code == CMD_COUNT_REC || code == CMD_CHECK_REFS;
}

// Carries out one command; false for EXIT and QUIT. A command whose
// argument is missing, no number or out of range gets one line saying so
// and does nothing else.
bool do_cmd(shell* s, const cmd_row& row, const cmd_arg& arg) {
  anal_ctx* c = s->c;
  std::optional<update_hold> hold;
  if (checks_pair(row.code)) {
    hold.emplace(c->dat->slot, false);
    anal_refresh(c);
  }
  const char* word = row.word;
  const int code = row.code;
  uint32_t seek = 0;
  long long n = 0;
  switch (code) {
    case CMD_DUMP_HEADER: dump_header(s); break;
    case CMD_DUMP_KEY: anal_say(c, "  DUMP KEY shows nothing: DUMP HEADER lists the keys\n"); break;
    case CMD_DUMP_REC_NO: anal_say(c, "  DUMP REC # shows nothing: DUMP REC @ <seek> shows a record\n"); break;
    case CMD_DUMP_INDEX:
      if (seek_arg(s, word, arg, &seek)) dump_index(s, seek);
      break;
    case CMD_DUMP_REC_AT:
      if (!seek_arg(s, word, arg, &seek)) break;
      dump_rec(s, seek);
      s->prev_dump = CMD_DUMP_REC_AT;
      break;
    case CMD_DUMP_FREE: dump_free(c, true, true); break;
    case CMD_VERIFY_FREE: dump_free(c, false, true); break;
    case CMD_SET_KEY:
      if (key_arg(s, word, arg, &n)) s->set_key = static_cast<int>(n);
      break;
    case CMD_VERIFY_KEY: verify_keys(s, arg); break;
    case CMD_FIND_POINTERS: find_ptrs(c, static_cast<uint32_t>(s->last_dat_seek)); break;
    case CMD_HELP: help(s); break;
    case CMD_EXIT: return false;
    case CMD_NEXT: next(s); break;
    case CMD_COUNT_REC: count_rec(c, true); break;
    case CMD_SET_PAGE_LEN:
      if (number_arg(s, word, arg, 0, INT32_MAX, &n)) s->page_len = n;
      break;
    case CMD_DUMP_PAGE:
      if (!seek_arg(s, word, arg, &seek)) break;
      dump_page(s, seek);
      s->prev_dump = CMD_DUMP_PAGE;
      break;
    case CMD_SET_FILE_DATA: s->index_selected = false; break;
    case CMD_SET_FILE_INDEX:
      if (c->key_slot < 0) anal_say(c, "  SET FILE INDEX: the file has no key file\n");
      else s->index_selected = true;
      break;
    case CMD_LOCK_BYTE:
    case CMD_UNLOCK_BYTE:
      if (seek_arg(s, word, arg, &seek)) lock_byte(s, seek, code == CMD_LOCK_BYTE);
      break;
    case CMD_SET_BUF_SIZE:
      if (number_arg(s, word, arg, 1, kMaxSeekArg, &n)) s->step = n;
      break;
    case CMD_CHECK_REFS: check_refs(s); break;
  }
  return true;
}

}  // namespace

void anal_command_loop(anal_ctx* c, FILE* in) {
  shell s;
  s.c = c;
  s.in = in;
  cmd_arg arg;
  for (;;) {
    const cmd_row* row = get_verb(&s, &arg);
    if (!row) break;  // end of input ends the session like QUIT
    if (row->code == CMD_AGAIN) {
      if (!s.last_row) {
        anal_say(c, "  AGAIN: no command before it to run again\n");
        continue;
      }
      // The repeated command gets its own argument again.
      if (!do_cmd(&s, *s.last_row, s.last_arg)) break;
      continue;
    }
    if (!do_cmd(&s, *row, arg)) break;
    s.last_row = row;
    s.last_arg = arg;
  }
  fflush(c->out);
}

}  // namespace kivo

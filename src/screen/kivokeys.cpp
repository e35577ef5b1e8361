// The key-definition dialogue on the raw terminal: the user presses each
// physical key, the combinations are built and checked (keydef.h), and the
// terminal type's "MENU ENTRY" and "DATA ENTRY" keymaps in KEYMAP are
// replaced, or, on a remote client, sent to the server that stores them.
//
// Invariants: KEYMAP changes only in the final step, so every abort leaves
// it as it was (a remote abort tells the server so); keys are recorded with the terminal in keypad mode, the
// mode the terminal manager reads keys in, and the mode is put back after.
// Exit statuses: 0 the user's abort, 1 declining to run the system, 2 a
// terminal or KEYMAP failure.
#include <curses.h>
#include <term.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fm/fm_record.h"
#include "foundation/com.h"
#include "screen/keydef.h"
#include "screen/screen.h"

namespace kivo {

namespace {

constexpr int kExitAbort = 0, kExitDecline = 1, kExitFailure = 2;
constexpr int kSpecialKeys = PK_DIGIT0;  // the keys before the digits
constexpr int kMaxIdentical = 3;         // identical-combination warnings allowed

struct kd_state {
  kd_keys keys;                 // recorded keys, kKeystrokeEnd first = not yet
  uint16_t end_of_entry = 0;    // the byte that ends each definition
  uint16_t buf[kKeystrokeMax];  // the current keystroke
  termios saved{};
  bool tty_saved = false;
  std::string rmkx;                   // leaves keypad mode
  const kd_remote* remote = nullptr;  // the server, on a remote client
};
kd_state kd;

void aprint(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void aprint(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vprintf(fmt, ap);
  va_end(ap);
  fflush(stdout);
}

// One byte of input; end of input ends the program as an abort would.
uint8_t read_byte();

// Keypad mode: the terminal manager reads keys with it on, so they are
// recorded with it on too.
void keypad_mode(bool on) {
  const char* term = getenv("TERM");
  int err = 0;
  if (!term || setupterm(term, 1, &err) != OK) return;
  char* s = tigetstr(on ? "smkx" : "rmkx");
  if (s && s != reinterpret_cast<char*>(-1)) {
    if (on) {
      char* r = tigetstr("rmkx");
      kd.rmkx = r && r != reinterpret_cast<char*>(-1) ? r : "";
    }
    aprint("%s", s);
  }
  del_curterm(cur_term);
}

// flag 1: saves the settings and sets raw-ish input; 0: puts them back.
int init_terminal(int flag) {
  if (!flag) {
    if (!kd.rmkx.empty()) aprint("%s", kd.rmkx.c_str());
    kd.rmkx.clear();
    if (kd.tty_saved) tcsetattr(0, TCSADRAIN, &kd.saved);
    kd.tty_saved = false;
    return 1;
  }
  if (tcgetattr(0, &kd.saved) != 0) return 0;
  termios t = kd.saved;
  t.c_lflag &= ~ICANON;
  t.c_lflag |= ISIG;
  t.c_iflag &= ~(INLCR | IGNCR | ICRNL);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(0, TCSADRAIN, &t) != 0) return 0;
  kd.tty_saved = true;
  keypad_mode(true);
  return 1;
}

[[noreturn]] void finish(int status) {
  init_terminal(0);
  exit(status);
}

[[noreturn]] void terminate_program() {
  aprint("\n\nProgram terminated at User request.\n");
  aprint("No files were changed.\n\n");
  init_terminal(0);
  if (kd.remote) kd.remote->abort();
  exit(kExitAbort);
}

uint8_t read_byte() {
  uint8_t c;
  if (read(0, &c, 1) != 1) terminate_program();
  return c;
}

char get_logical() {
  for (;;) {
    char c = char(toupper(read_byte()));
    if (c == 'Y' || c == 'N') return c;
  }
}

void get_keystroke() {
  for (uint16_t& v : kd.buf) v = kKeystrokeEnd;
  int n = 0;
  while (n < kKeystrokeMax) {
    kd.buf[n++] = read_byte();
    if (kd.buf[n - 1] == kd.end_of_entry) break;
  }
  if (n > 1 && kd.buf[n - 1] == kd.end_of_entry) kd.buf[n - 1] = kKeystrokeEnd;
}

bool same(const uint16_t* a, const uint16_t* b) { return memcmp(a, b, sizeof(uint16_t) * kKeystrokeMax) == 0; }
bool isbackspace(int i) { return i >= 1 && same(kd.buf, kd.keys[PK_BACKSPACE]); }
bool isendkey(int i) { return i >= 2 && same(kd.buf, kd.keys[PK_END]); }

void define_key(const char* name, int index, bool nav) {
  if (nav && index == 1) aprint("Re-enter 'BackSpace' to go back\n");
  if (nav && index > 1) aprint("Re-enter 'BackSpace' to go back -- 'End' to Quit\n");
  aprint("Press the following key");
  aprint(" followed by the END OF ENTRY key");
  aprint("   %s   ", name);
  get_keystroke();
  memcpy(kd.keys[index], kd.buf, sizeof kd.buf);
  aprint("\nKey codes received: ");
  for (int j = 0; j < kKeystrokeMax && kd.buf[j] != kKeystrokeEnd; ++j) aprint("%2.2X  ", kd.buf[j] & 0xFF);
  aprint("\n\n");
}

bool ask_continue() {
  aprint("\nDo you want to continue? (Y or N) ");
  return get_logical() == 'Y';
}

// Returns the next index: i + 1, i again, or i - 1 after BACKSPACE.
int ask_key(int i) {
  uint16_t before[kKeystrokeMax];
  memcpy(before, kd.keys[i], sizeof before);
  define_key(tm_phys_key_names[i], i, true);
  if (isendkey(i)) {
    memcpy(kd.keys[i], before, sizeof before);
    aprint("\nTerminate Program? (Y or N)  ");
    if (get_logical() == 'Y') terminate_program();
    return i;
  }
  if (isbackspace(i)) {
    memcpy(kd.keys[i], before, sizeof before);
    return i - 1;
  }
  if (i < kSpecialKeys && kd.buf[0] >= 0x20 && kd.buf[0] != 0x7f) {
    aprint("\n\nWARNING!: The code sequence entered begins with\n");
    aprint("an ASCII character.  If you use it here, you cannot\n");
    aprint("use it in data entry.  Use it anyway? (Y or N) ");
    if (get_logical() != 'Y') return i;
  }
  return i + 1;
}

void get_all_keys() {
  for (int i = 0; i < kPhysKeys;) {
    i = ask_key(i);
    if (i < kPhysKeys) continue;
    aprint("\n\nAll keys have been entered. The program will\n");
    aprint("now replace any existing keymap for your terminal\n");
    aprint("(or terminal-user combination) with the one you\n");
    aprint("just entered.  Is it OK to Continue? (Y or N) ");
    if (get_logical() == 'N') i = kPhysKeys - 1;
  }
}

void check_keys_dialogue() {
  int a, b;
  while (check_dupe_keys(kd.keys, &a, &b)) {
    aprint("\n\nERROR: The following keys are identical\n");
    aprint("       %s\n", tm_phys_key_names[a]);
    aprint("       %s\n", tm_phys_key_names[b]);
    aprint("\n");
    define_key(tm_phys_key_names[a], a, false);
    define_key(tm_phys_key_names[b], b, false);
  }
}

std::vector<kd_combo> make_keys_dialogue() {
  std::vector<size_t> too_long;
  std::vector<kd_combo> combos = make_all_keys(kd.keys, &too_long);
  uint16_t parts[5];
  for (size_t i : too_long) {
    aprint("\n\nWARNING! There were TOO MANY key codes for this\n");
    aprint("Option combination.  The combination is UNDEFINED!\n");
    tm_combo_parts(i, parts);
    for (uint16_t p : parts) {
      if (p >= kPartPhys && p - kPartPhys < kPhysKeys) aprint("   %s", tm_phys_key_names[p - kPartPhys]);
      else if (p >= 1 && p <= kLiterals) aprint("    %c", char(tm_literal(p)));
    }
    aprint("\n\n");
    if (!ask_continue()) terminate_program();
  }
  return combos;
}

void check_combos_dialogue(const std::vector<kd_combo>& combos) {
  int identical = 0;
  char n1[12], n2[12];
  for (const kd_conflict& c : check_dupe_combos(combos)) {
    const char* first = tm_key_name(combos[c.first].code, n1);
    const char* later = tm_key_name(combos[c.later].code, n2);
    if (c.identical) {
      if (++identical > kMaxIdentical) {
        aprint("\n\n Too many warnings. Keymap Not Built!\n\n");
        terminate_program();
      }
      aprint("\n\nWARNING! A duplicate keystroke combination\n");
      aprint("         has been generated for the\n");
      aprint("         %s and %s\n", first, later);
      aprint("         functions, one of which will be\n");
      aprint("         ignored by KIVO!\n\n");
    } else {
      aprint("\n\nWARNING! One of these KIVO options\n");
      aprint("begins with a key code sequence that is\n");
      aprint("the same as the sequence defined for the\n");
      aprint("other option.  One of the options will be\n");
      aprint("ignored by KIVO to resolve the conflict\n");
      aprint("    %s\n", first);
      aprint("    %s\n", later);
    }
    if (!ask_continue()) terminate_program();
  }
}

bool any_keymap(ARB* f, const char* term, const char* user) {
  uint8_t key[23], rec[KEYMAP_RECORD_SIZE];
  bool found = false;
  for (const char* name : {"MENU ENTRY", "DATA ENTRY"}) {
    memcpy(key, term, 10), memcpy(key + 10, user, 3), memcpy(key + 13, name, 10);
    f->arb_keyno = 0, f->arb_key = key, f->arb_key_len = sizeof key, f->arb_rec = rec;
    f->arb_len = KEYMAP_RECORD_SIZE, f->arb_mod = ARB_PARTIAL;
    if (fm_start(f)) {
      f->arb_mod = ARB_EQUAL | ARB_PARTIAL;
      found = found || fm_rdnxt(f);
    }
  }
  f->arb_key = nullptr, f->arb_mod = 0;
  return found;
}

ARB* open_keymap_file() {
  uint32_t st = 0;
  if (ARB* f = kd_open_keymap(&st)) return f;
  aprint("\n\nUnable to Create a KEYMAP File(%d)\n\n", int(st));
  finish(kExitFailure);
}

// The keymap's terminal type and user: the session's, or the server's.
// True for a keymap of every user of the terminal type.
bool keymap_target(char term[10], char user[3]) {
  if (kd.remote) {
    if (!kd.remote->status() || !kd.remote->target(term, user)) {
      aprint("\n\nUnable to Create a KeyMap File\n\n");
      finish(kExitFailure);
    }
    return memcmp(user, "   ", 3) == 0;
  }
  memcpy(term, com.keymap_id, 10);
  const bool all_users = memcmp(com.keymap_id + 10, "---", 3) == 0;
  for (int i = 0; i < 3; ++i) user[i] = all_users ? ' ' : char(toupper(com.keymap_id[10 + i]));
  return all_users;
}

// Writes the keymaps, or sends them with the empty slot after the last.
uint32_t store(ARB* file, const char* term, const char* user, const std::vector<kd_combo>& combos) {
  if (!kd.remote) return kd_save(file, term, user, combos);
  std::vector<uint16_t> codes(combos.size() + 1, kKeystrokeEnd), keys(codes.size() * kKeystrokeMax, kKeystrokeEnd);
  for (size_t i = 0; i < combos.size(); ++i) {
    codes[i] = combos[i].code;
    std::copy(combos[i].keys, combos[i].keys + kKeystrokeMax, &keys[i * kKeystrokeMax]);
  }
  return kd.remote->send(codes.data(), keys.data(), codes.size()) ? 1 : 0;
}

void title() {
  char line[82];
  for (const char* t : {"***  KIVO Keyboard Definition Utility  ***", "Version 1.0"}) {
    memset(line, ' ', 81);
    const size_t n = strlen(t);
    memcpy(line + (81 - n) / 2, t, n);
    line[81] = '\0';
    aprint(t[0] == '*' ? "%s\n" : "%s\n\n", line);
  }
}

void instructions() {
  aprint("This program will ask you to identify 27 special keys on\n");
  aprint("your keyboard, plus 10 number keys.\n\n");
  aprint("After it has been defined, BACKSPACE can be used to back up\n");
  aprint("in the list of requested keys so they can be redefined.\n");
  aprint("Except when defining it, the END key allows you to exit the\n");
  aprint("program leaving the current KIVO keymap file unchanged.\n\n");
  aprint("\n\n");
  aprint("To start, press the END OF ENTRY key that you will use\n");
  aprint("to tell this program to accept each of your key definitions\n");
  aprint("and proceed to the next.  (The SPACE BAR is usually a good\n");
  aprint("choice.)\n\n");
  aprint("Press your END OF ENTRY key now ");
  kd.end_of_entry = read_byte();
}

}  // namespace

void kivokeys(const kd_remote* remote) {
  kd.remote = remote;
  if (!init_terminal(1)) {
    aprint("\n\nUnable to Initialize Terminal\n\n");
    exit(kExitFailure);
  }
  for (auto& k : kd.keys)
    for (uint16_t& v : k) v = kKeystrokeEnd;
  aprint("\n\n\n\n\n");
  title();
  ARB* file = remote ? nullptr : open_keymap_file();
  char term[10], user[3];
  const bool all_users = keymap_target(term, user);
  aprint("Terminal Type: %.*s\n", 10, term);
  if (!all_users) aprint("KIVO User ID : %.*s\n", 3, user);
  if (file && any_keymap(file, term, user)) {
    aprint("WARNING!  Keyboard maps for this Terminal and User\n");
    aprint("          ALREADY EXIST and will be OVERWRITTEN!\n\n");
    aprint("Do you wish to delete existing keymaps? (Y or N)  ");
    get_logical();  // they are replaced in the last step either way
    aprint("\nDo you wish to Continue? (Y or N)  ");
    if (get_logical() == 'N') terminate_program();
  }
  instructions();
  get_all_keys();
  aprint("\nChecking for duplicate key definitions ...\n");
  check_keys_dialogue();
  aprint("\nSetting up standard keystroke combinations ...\n");
  std::vector<kd_combo> combos = make_keys_dialogue();
  aprint("\nChecking for duplicate combinations ...\n");
  check_combos_dialogue(combos);
  aprint("\nSorting key combinations ...\n");
  sort_all_keys(combos);
  aprint("\nDeleting existing keyboard layout for this terminal ...\n");
  if (!remote) aprint("\nWriting out new keymap records ...\n");
  if (const uint32_t st = store(file, term, user, combos); st != 1) {
    aprint("\n\nKeymap not written: file status %u\n\n", st);
    finish(kExitFailure);
  }
  aprint("\nKeymap for terminal %.*s", 10, term);
  if (!all_users) aprint(", user %.*s", 3, user);
  aprint(" successfully completed!\n\n");
  init_terminal(0);
  aprint("\n\nDo you want to run KIVO now? (Y or N ) ");
  if (get_logical() == 'N') exit(kExitDecline);
}

}  // namespace kivo

// Scripts, macros, recording and snapshots.
//
// The player serves a playing macro first, then the script. Stepping asks
// the terminal before each logical key. Recording writes a script that
// replays the same session; snapshots write the screen after each input so
// that a recorded run ("expect") and its replay ("actual") can be compared.
#include "screen/tm_script.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/cmdline.h"
#include "foundation/com.h"
#include "foundation/opt_token.h"
#include "foundation/os.h"
#include "foundation/sys_err.h"
#include "screen/tm_input.h"
#include "screen/tm_keys.h"

namespace kivo {

namespace {

constexpr const char* kMacroFile = ".kivo_mac";
constexpr off_t kScriptMax = 64 << 20;  // bytes of a keystroke script
constexpr int kScriptFailExit = 1;
constexpr int kNameWidth = 30;
constexpr unsigned kPauseMax = 3600;

struct player {
  const tm_script* s = nullptr;  // null: not playing
  size_t idx = 0;
  size_t lit = 0;
};

struct script_state {
  std::string test_dir;
  FILE* rec = nullptr;
  FILE* snap = nullptr;
  tm_script script;
  player play_script;
  player play_macro;
  std::array<tm_script, kMacroSlots> macros;
  std::array<bool, kMacroSlots> defined{};
  int macro_number = 0;  // the number the next definition takes
  int defining = NO_KEY;
  int playing = NO_KEY;
  int step = STEP_OFF;
  std::string last_process;
  bool line_open = false;  // the recording's last line needs an end before characters
};
script_state g;

int32_t opt_code(const std::string& name) {
  std::string n = name.substr(0, kOptNameLen);
  std::vector<char> buf(n.begin(), n.end());
  buf.push_back('\0');
  if (n.empty()) return OPT_UNKNOWN_NAME;
  return tm_hooks.get_opt ? tm_hooks.get_opt(buf.data(), n.size(), 0) : ut_get_opt(buf.data(), n.size(), 0);
}

std::string opt_name(int code) {
  char buf[kOptNameLen + 1] = {};
  if (tm_hooks.get_opt) tm_hooks.get_opt(buf, 0, code);
  else ut_get_opt(buf, 0, code);
  return std::string(buf, strnlen(buf, kOptNameLen));
}

std::string process_name() {
  const char* n = tm_hooks.process_name ? tm_hooks.process_name() : nullptr;
  return n ? std::string(n, strnlen(n, kNameWidth)) : std::string();
}

// The literal entry for text: its index in the script's texts, so that a
// script types all it holds however long.
sc_entry text_entry(tm_script* s, const std::string& text) {
  s->texts.push_back(text);
  return sc_entry{SC_TEXT, static_cast<uint32_t>(s->texts.size() - 1)};
}

void add_text(tm_script* s, const std::string& text) {
  if (!text.empty()) s->ents.push_back(text_entry(s, text));
}

bool command_line(tm_script* s, const std::string& rest) {
  static const struct {
    const char* word;
    uint32_t code;
  } cmds[] = {{"WAIT", SC_CMD_WAIT}, {"BEEP", SC_CMD_BEEP}, {"PAUSE", SC_CMD_PAUSE}};
  for (const auto& c : cmds) {
    size_t n = strlen(c.word);
    if (rest.compare(0, n, c.word) != 0 || (rest.size() > n && rest[n] != ' ')) continue;
    s->ents.push_back(sc_entry{SC_CMD, c.code});
    s->ents.push_back(text_entry(s, rest.size() > n ? rest.substr(n + 1) : std::string()));
    return true;
  }
  return false;
}

void compile_line(tm_script* s, std::string line, int number, std::string* errors) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty() || line[0] == '!') return;
  if (line[0] != '#') return add_text(s, line);
  if (line.compare(0, 2, "#!") == 0) return;
  if (line.compare(0, 2, "#$") == 0) {
    const char* v = getenv(line.substr(2).c_str());
    return add_text(s, v ? v : "");
  }
  if (line.compare(0, 2, "##") == 0) {
    if (command_line(s, line.substr(2))) return;
    if (errors) *errors += "line " + std::to_string(number) + ": unknown command \"" + line + "\"\n";
    return;
  }
  std::string name = line.substr(1);
  int32_t code = opt_code(name);
  if (code == OPT_UNKNOWN_NAME && name != opt_name(OPT_UNKNOWN_NAME) && errors)
    *errors += "line " + std::to_string(number) + ": unknown option \"" + name + "\"\n";
  s->ents.push_back(sc_entry{SC_KEY, static_cast<uint32_t>(code)});
}

}  // namespace

std::string entry_text(const tm_script* s, const sc_entry& e) {
  return e.kind == SC_TEXT && e.value < s->texts.size() ? s->texts[e.value] : std::string();
}

tm_script cmpl_script(const std::string& text, std::string* errors) {
  tm_script s;
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) compile_line(&s, line, number, errors);
  s.ents.push_back(sc_entry{SC_END, 0});
  return s;
}

namespace {

int terminal_byte() { return tm_hooks.read_byte ? tm_hooks.read_byte(kWaitForever) : read_meta(); }

void stop_macro() {
  g.play_macro = player{};
  g.playing = NO_KEY;
  set_macro_line(nullptr, 0, true);
}

void stop_all() {
  if (g.play_macro.s) stop_macro();
  g.play_script = player{};
}

// The answer to a stepping prompt or a WAIT: false when playing stops or
// pauses (no key now).
bool answer() {
  int b = terminal_byte();
  switch (b) {
    case 'e':
    case 'E':
    case -1: stop_all(); return false;
    case 'c':
    case 'C': g.step = STEP_OFF; return true;
    case 'p':
    case 'P': g.step = STEP_PAUSED; return false;
    default: return true;
  }
}

// Runs a command entry (idx at the command); false when playing stopped.
bool run_command(player* p) {
  const sc_entry& cmd = p->s->ents[p->idx];
  std::string text = entry_text(p->s, p->s->ents[p->idx + 1]);
  p->idx += 2;
  switch (cmd.value) {
    case SC_CMD_PAUSE: ss_sleep(std::min<unsigned>(static_cast<unsigned>(atoi(text.c_str())), kPauseMax)); return true;
    case SC_CMD_BEEP: tm_beep(); [[fallthrough]];
    case SC_CMD_WAIT:
      tm_macro_text(text.c_str());
      answer();  // the caller's loop sees a stop or a pause
      return true;
    default: return true;
  }
}

// The key entry under the player; with stepping, asks first.
bool give_key(player* p, int* key, int* kind) {
  const sc_entry& e = p->s->ents[p->idx];
  if (g.step == STEP_ON) {
    std::string name = opt_name(static_cast<int>(e.value));
    tm_macro_text(name.c_str());
    if (!answer()) return false;
    set_macro_line(nullptr, 0, true);
  } else if (g.step == STEP_RESUME) {
    g.step = STEP_ON;
  }
  *key = static_cast<int>(e.value);
  *kind = KIND_KEY;
  ++p->idx;
  return true;
}

// One step of a player: 1 a key, 0 nothing more here, -1 go on.
int step_player(player* p, bool macro, int* key, int* kind) {
  const sc_entry& e = p->s->ents[p->idx];
  switch (e.kind) {
    case SC_TEXT:
      if (const std::string& text = p->s->texts[e.value]; p->lit < text.size()) {
        *key = static_cast<uint8_t>(text[p->lit++]);
        *kind = KIND_CHAR;
        return 1;
      }
      ++p->idx;
      p->lit = 0;
      return -1;
    case SC_CHAR:
      *key = static_cast<int>(e.value & 0xFF);
      *kind = KIND_CHAR;
      ++p->idx;
      return 1;
    case SC_KEY: return give_key(p, key, kind) ? 1 : 0;
    case SC_CMD: return run_command(p) ? -1 : 0;
    default:
      if (macro) stop_macro();
      else *p = player{};
      return 0;
  }
}

}  // namespace

int get_script(int* key, int* kind) {
  for (;;) {
    if (g.step == STEP_PAUSED) return 0;
    bool macro = g.play_macro.s != nullptr;
    player* p = macro ? &g.play_macro : &g.play_script;
    if (!p->s) return 0;
    int r = step_player(p, macro, key, kind);
    if (r == 1) return 1;
    if (r == 0 && !(macro && !g.play_macro.s)) return 0;  // a macro that ended lets the script go on
  }
}

void record(int key, int kind) {
  if (!g.rec) {
    if (g.defining != NO_KEY) add_macro(kind == KIND_KEY ? SC_KEY : SC_CHAR, key);
    return;
  }
  std::string proc = process_name();
  if (!proc.empty() && proc != g.last_process) {
    fprintf(g.rec, "\n! Currently executing: %*.*s", kNameWidth, kNameWidth, proc.c_str());
    g.last_process = proc;
    g.line_open = true;
  }
  if (kind == KIND_KEY) {
    fprintf(g.rec, "\n#%s", opt_name(key).c_str());
    g.line_open = true;
  } else if (key >= 32) {  // the editor ignores control characters
    if (g.line_open) fputc('\n', g.rec);
    fputc(key, g.rec);
    g.line_open = false;
  }
  fflush(g.rec);
}

void add_macro(int kind, int value) {
  switch (kind) {
    case 5:
      if (g.macro_number < 0 || g.macro_number >= kMacroSlots) return;
      g.defining = g.macro_number;
      g.macros[g.defining] = tm_script{};
      g.defined[g.defining] = false;
      set_macro_line(" Defining macro %d ", g.defining, true);
      return;
    case SC_END:
      if (g.defining == NO_KEY) return;
      g.macros[g.defining].ents.push_back(sc_entry{SC_END, 0});
      g.defined[g.defining] = true;
      g.defining = NO_KEY;
      return;
    case SC_KEY:
      if (g.defining != NO_KEY && value != LK_MACRO)
        g.macros[g.defining].ents.push_back(sc_entry{SC_KEY, static_cast<uint32_t>(value)});
      return;
    case SC_CHAR:
      if (g.defining != NO_KEY && value >= 32)
        g.macros[g.defining].ents.push_back(sc_entry{SC_CHAR, static_cast<uint32_t>(value & 0xFF)});
      return;
    default: return;
  }
}

namespace {

std::string macro_text(int n) {
  std::string out = "!  Define Macro Number " + std::to_string(n) + "\n##MACRO " + std::to_string(n) + "\n";
  std::string chars;
  for (const sc_entry& e : g.macros[n].ents) {
    if (e.kind == SC_CHAR) {
      chars += static_cast<char>(e.value);
      continue;
    }
    if (!chars.empty()) out += chars + "\n";
    chars.clear();
    if (e.kind == SC_KEY) out.append(1, '#').append(opt_name(static_cast<int>(e.value))).append(1, '\n');
  }
  if (!chars.empty()) out += chars + "\n";
  return out + "##END MACRO\n";
}

}  // namespace

void save_macros() {
  std::string text;
  for (int n = 0; n < kMacroSlots; ++n)
    if (g.defined[n]) text += macro_text(n);
  if (text.empty()) return;
  // Written aside and renamed, so a failed write keeps the old macros.
  std::string tmp = std::string(kMacroFile) + ".new";
  FILE* f = fopen(tmp.c_str(), "w");
  if (!f) return;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = fclose(f) == 0 && ok;
  if (!ok || rename(tmp.c_str(), kMacroFile) != 0) unlink(tmp.c_str());
}

void cmpl_macros() {
  std::ifstream in(kMacroFile);
  if (!in) return;
  std::string line;
  int skipping = 0, number = 0;
  auto close_def = [] { add_macro(SC_END, 0); };
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, 8, "##MACRO ") == 0) {
      close_def();
      int n = atoi(line.c_str() + 8);
      skipping = n < 0 || n >= kMacroSlots;
      if (skipping) {
        fprintf(stderr, "%s line %d: macro number %d outside 0-%d skipped\n", kMacroFile, number, n, kMacroSlots - 1);
        continue;
      }
      g.macro_number = n;
      g.defining = n;
      g.macros[n] = tm_script{};
      continue;
    }
    if (line == "##END MACRO") {
      if (!skipping) close_def();
      skipping = 0;
      continue;
    }
    if (skipping || g.defining == NO_KEY || line.empty() || line[0] == '!') continue;
    if (line[0] == '#') add_macro(SC_KEY, opt_code(line.substr(1)));
    else
      for (unsigned char ch : line) add_macro(SC_CHAR, ch);
  }
  close_def();
}

void snapshot(tm_term* t, int key, int row, int col) {
  if (g.test_dir.empty()) return;
  if (!g.snap) {
    std::string path = g.test_dir + (g.rec ? "/expect/snapshot" : "/actual/snapshot");
    if (!ss_make_path(path.c_str()) || !(g.snap = fopen(path.c_str(), "w"))) return;
  }
  std::string hashes(80, '#');
  std::string proc = process_name();
  fprintf(g.snap, "%s\nCurrently executing: %*.*s\n", hashes.c_str(), kNameWidth, kNameWidth, proc.c_str());
  fprintf(g.snap, "Keystroke: %s\n", opt_name(key).c_str());
  fprintf(g.snap, "Cursor is at row %02d, column %02d\n%s\n", row, col, hashes.c_str());
  std::vector<char> text(t->cols);
  for (int r = 0; r < t->rows; ++r) {
    tm_row_text(t, r, text.data());
    fwrite(text.data(), 1, text.size(), g.snap);
    fputc('\n', g.snap);
  }
  fflush(g.snap);
}

namespace {

const char* script_in() {
  if (com.argc > 2 && com.argv && com.argv[1] && strncmp(com.argv[1], "-z", 2) == 0) return com.argv[2];
  return getenv("KIVO_SCRIPT_IN");
}

void open_recording() {
  const char* out = getenv("KIVO_SCRIPT_OUT");
  if (!out || !*out) return;
  if (ss_make_path(out)) g.rec = fopen(out, "w");
  if (!g.rec) fprintf(stderr, "kivo: cannot write the recording %s\n", out);
}

// A script that cannot be played whole is a start that cannot begin: the
// session would type part of it and go on as if it had all been typed.
[[noreturn]] void script_fails(const char* file, const std::string& why) {
  startup_err(("the keystroke script " + std::string(file) + " cannot be played: " + why).c_str(), kScriptFailExit);
}

// The whole text of the script file. A failure ends the process, which
// takes the descriptor with it.
std::string read_script(const char* file) {
  const int fd = open(file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) script_fails(file, strerror(errno));
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) script_fails(file, "it is not a file");
  if (st.st_size > kScriptMax)
    script_fails(file, std::to_string(st.st_size) + " bytes, over the limit of " + std::to_string(kScriptMax));
  std::string text(static_cast<size_t>(st.st_size), '\0');
  for (size_t got = 0; got < text.size();) {
    const ssize_t n = read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) script_fails(file, strerror(errno));
    if (n == 0) script_fails(file, "it became shorter while it was read");
    got += static_cast<size_t>(n);
  }
  close(fd);
  return text;
}

// A line naming no key or command would be played as another key (the
// unknown name's code is CANCEL's) and the session would run on past it:
// the script is refused, every such line named, before the session starts.
void load_script(const char* file) {
  const std::string text = read_script(file);
  std::string errors;
  g.script = cmpl_script(text, &errors);
  // Key names the token file could not be read for are not unknown ones.
  if (const char* held = sys_err_held(); *held)
    script_fails(file, std::string("its keys cannot be looked up: ") + held);
  if (!errors.empty()) {
    std::string named;
    std::istringstream lines(errors);
    for (std::string e; std::getline(lines, e);) named += (named.empty() ? "" : "; ") + e;
    script_fails(file, named + " (a line #NAME names a logical key, as the README's key table gives it)");
  }
  g.play_script = player{&g.script, 0, 0};
}

}  // namespace

void init_script() {
  const char* dir = getenv("KIVO_TST_DIR");
  g.test_dir = dir ? dir : "";
  open_recording();
  if (const char* in = script_in(); in && *in) load_script(in);
  if (getenv("KIVO_SCRIPT_STEP")) g.step = STEP_ON;
  cmpl_macros();
}

int tm_login() {
  const char* user = getenv("KIVO_USER");
  const char* pswd = getenv("KIVO_PSWD");
  const char* host = getenv("KIVO_HOST");
  const char* port = getenv("KIVO_PORT");
  if (!user || !pswd || !host || !port || !tm_hooks.cli_setargs) return 0;
  tm_hooks.cli_setargs(user, pswd, host, port, getenv("KIVO_REMAP") != nullptr);
  return 1;
}

bool tm_script_playing() { return g.play_script.s != nullptr; }

int tm_step_state() { return g.step; }
void tm_set_step_state(int state) { g.step = state; }
int tm_macro_defining() { return g.defining; }
int tm_macro_playing() { return g.playing; }
bool tm_macro_defined(int number) { return number >= 0 && number < kMacroSlots && g.defined[number]; }
void tm_set_macro_number(int number) { g.macro_number = number; }

void tm_play_macro(int number) {
  if (!tm_macro_defined(number)) return;
  g.playing = number;
  g.play_macro = player{&g.macros[number], 0, 0};
  set_macro_line(" Playing macro %d ", number, true);
}

void tm_script_reset() {
  if (g.rec) fclose(g.rec);
  if (g.snap) fclose(g.snap);
  g = script_state();
}

}  // namespace kivo

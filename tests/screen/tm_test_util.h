// Shared pieces of the terminal-manager tests: a fresh session with the
// option names, an image with fields and their region text, a scripted byte
// source, and the driver program's files.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "../fixtures/hook_override.h"
#include "../fixtures/kivo_fixture.h"
#include "foundation/com.h"
#include "foundation/pool.h"
#include "screen/screen.h"
#include "screen/tm.h"
#include "screen/tm_input.h"
#include "screen/tm_keys.h"
#include "screen/tm_script.h"

namespace kivo_test {

// Bytes the terminal "sends"; -1 once they are used up. A kByteLate among
// them is a pause: a bounded wait ends there, an unbounded one reads on.
inline std::deque<int>& scripted_bytes() {
  static std::deque<int> q;
  return q;
}
inline int scripted_byte(int wait_ms) {
  while (!scripted_bytes().empty()) {
    int b = scripted_bytes().front();
    scripted_bytes().pop_front();
    if (b != kivo::kByteLate || wait_ms != kivo::kWaitForever) return b;
  }
  return -1;
}
inline void feed(const std::string& bytes) {
  for (unsigned char c : bytes) scripted_bytes().push_back(c);
}

// An image with fields whose text lives in a screen-wide character image,
// as the window manager's regions would hold it.
struct field_screen {
  kivo::tm_term* t;
  std::vector<uint8_t> chars;
  std::vector<uint32_t> attrs;
  uint8_t changed = 0;
  // The terminal's field editor reads this screen's fields while it lives.
  kivo_test::scoped_hook<decltype(kivo::tm_hooks.get_ed)> ed_{kivo::tm_hooks.get_ed, get_ed};
  explicit field_screen(int rows = 24, int cols = 80) : t(kivo::tm_image_new(rows, cols)) {
    chars.assign(static_cast<size_t>(t->rows) * t->cols, ' ');
    attrs.assign(chars.size(), 0);
    current() = this;
  }
  ~field_screen() {
    kivo::tm_image_free(t);
    current() = nullptr;
  }
  field_screen(const field_screen&) = delete;
  field_screen& operator=(const field_screen&) = delete;

  // A field at (row, col) (1-based), blank-padded text.
  void field(int row, int col, int len, const std::string& text, uint16_t extra = 0) {
    std::string s = text;
    s.resize(len, ' ');
    uint16_t attr = kivo::CELL_EDIT | kivo::CELL_TAB | extra;
    kivo::tm_attr_run run{static_cast<uint16_t>(col), static_cast<uint16_t>(len), attr, 0};
    kivo::tm_upd_scr(t, {reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint16_t>(len), row, col, &run, 1});
    for (int i = 0; i < len; ++i) {
      chars[static_cast<size_t>(row - 1) * t->cols + col - 1 + i] = static_cast<uint8_t>(s[i]);
      attrs[static_cast<size_t>(row - 1) * t->cols + col - 1 + i] = attr;
    }
  }
  std::string text(int row, int col, int len) const {
    return std::string(reinterpret_cast<const char*>(&chars[static_cast<size_t>(row - 1) * t->cols + col - 1]), len);
  }
  std::string cells(int row, int col, int len) const {
    std::string s;
    for (int i = 0; i < len; ++i) s += static_cast<char>(kivo::tm_at(t, row - 1, col - 1 + i)->ch);
    return s;
  }

  static field_screen*& current() {
    static field_screen* f = nullptr;
    return f;
  }
  // The field at (row, col) (1-based) of `len` columns takes a value the
  // window manager converts (a number, a date): replaced on entry, its
  // columns of `literals` (bit i: column col + i) passed over.
  struct formatted_field {
    int row, col, len;
    uint64_t literals;
  };
  std::vector<formatted_field> formatted;
  static int get_ed(int row, int col, kivo::tm_edit* out) {
    field_screen* f = current();
    size_t at = static_cast<size_t>(row - 1) * f->t->cols;
    if (!kivo::tm_row_get_ed(&f->chars[at], &f->attrs[at], f->t->cols, col, &f->changed, out)) return 0;
    for (const formatted_field& ff : f->formatted)
      if (ff.row == row && col >= ff.col && col < ff.col + ff.len) {
        out->replace = true;
        out->literal[0] = ff.literals >> (col - ff.col);
      }
    return 1;
  }
};

// A keymap where each logical key of `codes` is one byte from 0x80 up.
struct byte_keymap {
  std::vector<uint16_t> codes;
  kivo::tm_keymap_h* km = nullptr;
  explicit byte_keymap(std::vector<uint16_t> c) : codes(std::move(c)) {
    std::vector<int16_t> rows;
    for (size_t i = 0; i < codes.size(); ++i) {
      std::vector<int16_t> row(kivo::kKeymapRowWords, -1);
      row[0] = static_cast<int16_t>(codes[i]);
      row[1] = static_cast<int16_t>(0x80 + i);
      rows.insert(rows.end(), row.begin(), row.end());
    }
    rows.push_back(-1);
    km = kivo::tm_keymap("TEST", rows.data());
  }
  std::string key(uint16_t code) const {
    for (size_t i = 0; i < codes.size(); ++i)
      if (codes[i] == code) return std::string(1, static_cast<char>(0x80 + i));
    ADD_FAILURE() << "no byte for key " << code;
    return "";
  }
};

// A fresh session: common block, pools, option names, no script or macro,
// the scripted byte source.
class TmFresh : public ::testing::Test {
 protected:
  void SetUp() override {
    // Each test starts from its own common block and pools, whatever an
    // earlier test left set (another fixture's com.no_term, say). The
    // keymaps go first: their tries lie in the pools mm_init replaces.
    kivo::tm_keymaps_forget();
    kivo::com_fill(0, nullptr);
    kivo::mm_init();
    install_opt_group(hooks_);
    kivo::tm_script_reset();
    hooks_.set(kivo::tm_hooks, kivo::tm_hook_table{});
    hooks_.set(kivo::tm_hooks.read_byte, scripted_byte);
    scripted_bytes().clear();
  }
  void TearDown() override {
    hooks_.restore();
    kivo::tm_keymaps_forget();  // the next test's pools are new ones
  }
  kivo_test::hook_overrides hooks_;
};

// Runs the driver's fields: "key .." .. "field N [..]" lines of a result.
inline std::map<std::string, std::string> result_map(const std::string& text) {
  std::map<std::string, std::string> m;
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(at, nl - at);
    size_t sp = line.find(' ');
    if (line.compare(0, 6, "field ") == 0) sp = line.find(' ', 6);
    if (sp != std::string::npos) m[line.substr(0, sp)] = line.substr(sp + 1);
    at = nl + 1;
  }
  return m;
}

}  // namespace kivo_test

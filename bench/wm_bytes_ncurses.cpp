// The plain ncurses twin of the window-manager byte count: the same screen
// changes made with curses' own refresh, for the counting parent in
// wm_bytes_bench.cpp.
#include <curses.h>

#include "wm_bytes_scene.h"

using namespace wm_bytes;

namespace {

// Rows and columns of the scene are 1-based, curses' 0-based.
void form() {
  mvaddstr(kFormRow - 1, kFormCol - 1, kNameLabel);
  mvaddstr(kFormRow, kFormCol - 1, kCountLabel);
  mvaddstr(kFormRow, kFormCol - 1 + kFieldCol - 1, kCountBefore);
  attron(A_BOLD);
  mvaddstr(21, 0, "DATABASE: DB1        APPLICATION: APP 01       USER: ABC");
  attroff(A_BOLD);
}

// Like the window manager, the cursor goes back to the field after each change.
void refresh_at_field() {
  move(kFormRow - 1, kFormCol - 1 + kFieldCol);
  refresh();
}

}  // namespace

int main() {
  initscr();
  raw();
  noecho();
  nonl();
  form();
  WINDOW* list = subwin(stdscr, kListRows, kListCols, kListRow - 1, kListCol - 1);
  scrollok(list, TRUE);
  char row[16];
  for (int n = 1; n <= kListRows; ++n) list_row(row, n), mvwaddstr(list, n - 1, 0, row);
  move(kFormRow - 1, kFormCol - 1 + kFieldCol - 1);
  refresh();
  mark("S", "start");

  mark("K", "type a character");
  int ch = getch();
  addch(chtype(ch));
  refresh();
  mark("S", "after typing");

  mvaddstr(kFormRow, kFormCol - 1 + kFieldCol - 1, kCountAfter);
  refresh_at_field();
  mark("M", "update an item");

  wscrl(list, 1);
  list_row(row, kListRows + 1);
  mvwaddstr(list, kListRows - 1, 0, row);
  wnoutrefresh(list);
  refresh_at_field();
  mark("M", "add a list row");

  WINDOW* pop = newwin(kPopRows, kPopCols, kPopRow - 1, kPopCol - 1);
  mvwaddstr(pop, 0, 0, kPopText);
  wnoutrefresh(pop);
  refresh_at_field();  // the cursor goes back to the field, as the window manager's does
  mark("M", "open a pop-up");
  delwin(pop);
  touchwin(stdscr);
  refresh_at_field();
  mark("M", "close a pop-up");

  attron(A_BOLD);
  mvaddstr(22, 0, kMessage);
  attroff(A_BOLD);
  refresh_at_field();
  mark("M", "show a message");
  move(22, 0);
  clrtoeol();
  refresh_at_field();
  mark("M", "clear a message");
  endwin();
  return 0;
}

// Intrusive doubly linked lists.
//
// A list is a {head, tail} pair of element pointers; each element holds a
// link {previous, next} at a fixed offset of its own, and links point at
// elements, not at links. Pools, scopes and most engine tables chain through
// these helpers, so the list checker can verify any of them.
#pragma once

#include <cstddef>

namespace kivo {

struct ut_link {
  void* prev;
  void* next;
};

struct ut_list {
  void* head;
  void* tail;
};

// With a list: appends `elem` at the tail. Without one: inserts `elem` after
// the element its link already names as previous, else before the one it
// names as next. Null element or link: system error.
void ut_add_to_lst(void* elem, ut_link* link, ut_list* list);

// Unlinks `elem`; its link is cleared. Null element or link: system error.
void ut_remove_from_lst(void* elem, ut_link* link, ut_list* list);

// Walks the list and checks the back links, `check` (when given) on each
// element, and the tail. Returns 1 when sound; reports and returns 0 otherwise.
using ut_elem_check = int (*)(void* elem);
int ut_verify_lst(const ut_list* list, size_t link_offset, ut_elem_check check, const char* name);

// The link of `elem` at `offset`.
inline ut_link* ut_link_at(void* elem, size_t offset) {
  return reinterpret_cast<ut_link*>(static_cast<char*>(elem) + offset);
}

}  // namespace kivo

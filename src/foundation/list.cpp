// Intrusive doubly linked lists and their checker.
#include "foundation/list.h"

#include "foundation/sys_err.h"

namespace kivo {

namespace {

// The offset of the link inside its element, so neighbours' links are found.
size_t link_offset(void* elem, ut_link* link) {
  return static_cast<size_t>(reinterpret_cast<char*>(link) - static_cast<char*>(elem));
}

}  // namespace

void ut_add_to_lst(void* elem, ut_link* link, ut_list* list) {
  if (!elem) return sys_err("UT", __LINE__, "ut_add_to_lst - elem is NULL");
  if (!link) return sys_err("UT", __LINE__, "ut_add_to_lst - elem_link NULL");
  size_t off = link_offset(elem, link);
  if (list) {
    link->next = nullptr;
    link->prev = list->tail;
    if (list->tail) ut_link_at(list->tail, off)->next = elem;
    else list->head = elem;
    list->tail = elem;
    return;
  }
  if (link->prev) {
    void* prev = link->prev;
    ut_link* pl = ut_link_at(prev, off);
    link->next = pl->next;
    if (pl->next) ut_link_at(pl->next, off)->prev = elem;
    pl->next = elem;
  } else if (link->next) {
    void* next = link->next;
    ut_link* nl = ut_link_at(next, off);
    link->prev = nl->prev;
    if (nl->prev) ut_link_at(nl->prev, off)->next = elem;
    nl->prev = elem;
  }
}

void ut_remove_from_lst(void* elem, ut_link* link, ut_list* list) {
  if (!elem) return sys_err("UT", __LINE__, "ut_remove_from_lst - elem is NULL");
  if (!link) return sys_err("UT", __LINE__, "ut_remove - elem_link NULL");
  size_t off = link_offset(elem, link);
  if (link->prev) ut_link_at(link->prev, off)->next = link->next;
  else if (list) list->head = link->next;
  if (link->next) ut_link_at(link->next, off)->prev = link->prev;
  else if (list) list->tail = link->prev;
  link->prev = link->next = nullptr;
}

int ut_verify_lst(const ut_list* list, size_t off, ut_elem_check check, const char* name) {
  void* prev = nullptr;
  int pos = 0;
  for (void* e = list->head; e; e = ut_link_at(e, off)->next) {
    ++pos;
    if (ut_link_at(e, off)->prev != prev || (check && !check(e))) {
      sys_err("UT", __LINE__, "link verify - bad element (#%d) of %s", pos, name);
      return 0;
    }
    prev = e;
  }
  if (prev != list->tail) {
    sys_err("UT", __LINE__, "link verify - bad last element of %s", name);
    return 0;
  }
  return 1;
}

}  // namespace kivo

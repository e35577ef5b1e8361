// Line nodes of the statement editor.
#include "editors/stmt_line.h"

#include <cstring>

#include "editors/editors.h"
#include "foundation/pool.h"
#include "foundation/sys_err.h"

namespace kivo {

se_line* NEW_LINE(se_line** node, const uint8_t* line, ut_list* list) {
  *node = nullptr;
  if (!se_pool) {
    sys_err("SE", __LINE__, "NEW_LINE - editor pool not set");
    return nullptr;
  }
  auto* n = static_cast<se_line*>(MM_ALLOC(se_pool, sizeof(se_line)));
  if (!n) return nullptr;
  n->rec = static_cast<uint8_t*>(MM_ALLOC(se_pool, kStmtSize));
  if (!n->rec) {
    mm_free(n);
    return nullptr;
  }
  memcpy(n->rec, line, kStmtSize);
  n->link = ut_link{nullptr, nullptr};
  n->tok = {};
  static uint32_t next_id = 0;
  n->id = ++next_id;
  ut_add_to_lst(n, &n->link, list);
  return *node = n;
}

void OLD_LINE(se_line* node, ut_list* list) {
  ut_remove_from_lst(node, &node->link, list);
  mm_free(node->rec);
  mm_free(node);
}

}  // namespace kivo

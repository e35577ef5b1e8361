// The module cache: the modules pl_get has given out, their use counts, and
// their release (pl_free) and discard (pl_discard).
//
// Invariant: em_use_cnt rises only in pl_get and falls only in pl_free; a
// discarded module is out of the cache at once and freed when its count is 0,
// never while a control block still runs it.
#include "compiler/em.h"
#include "compiler/seams.h"

namespace kivo {

void pl_free(EM* em) {
  if (!em || em->em_use_cnt == 0) return;
  if (--em->em_use_cnt) return;
  em->em_cache_state = 0;
  if (em->em_discard) em_destroy(em);
}

void pl_discard(EM* em) {
  if (!em) return;
  if (em->em_use_cnt == 0) return em_destroy(em);
  em->em_discard = 1;
}

}  // namespace kivo

// The interpreter's message verbs write through the message layer below it.
#include "fm/la.h"
#include "interp/interp.h"

namespace kivo {

void ii_register_hooks() {
  ii_hooks.add_msg = [](int cls, ARB* fi, const char* text, size_t len) {
    return la_add_text(fi, static_cast<uint16_t>(cls), 0, text, len);
  };
}

}  // namespace kivo

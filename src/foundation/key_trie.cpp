// Key-sequence trie: insertion in sibling order and release.
#include "foundation/key_trie.h"

#include "foundation/pool.h"
#include "foundation/scratch.h"

namespace kivo {

namespace {

trie_node* new_node(int16_t code) {
  auto* n = static_cast<trie_node*>(MM_ALLOC(ut_scratch_pool(), sizeof(trie_node)));
  if (n) *n = trie_node{nullptr, nullptr, 0, code, 0, 0};
  return n;
}

// Builds the chain for the rest of the sequence, each node the first child
// of the one before; the last is an end. Null when memory fails (nothing is
// left allocated).
trie_node* new_chain(const uint16_t* seq, trie_node** last) {
  trie_node* head = new_node(static_cast<int16_t>(*seq));
  trie_node* tail = head;
  for (const uint16_t* p = seq + 1; tail && *p != kTrieSeqEnd; ++p) {
    tail->child = new_node(static_cast<int16_t>(*p));
    tail = tail->child;
  }
  if (!tail) {
    free_trie(head);
    return nullptr;
  }
  tail->end = 1;
  *last = tail;
  return head;
}

}  // namespace

trie_node* add_trie(trie_node* root, const uint16_t* seq) {
  if (!root || !seq || *seq == kTrieSeqEnd) return nullptr;
  trie_node* parent = root;
  for (; *seq != kTrieSeqEnd; ++seq) {
    int16_t code = static_cast<int16_t>(*seq);
    trie_node** link = &parent->child;  // where a new node would go
    while (*link && (*link)->code < code) link = &(*link)->sibling;
    if (!*link || (*link)->code != code) {
      trie_node* last = nullptr;
      trie_node* chain = new_chain(seq, &last);
      if (!chain) return nullptr;
      chain->sibling = *link;
      *link = chain;
      return last;
    }
    parent = *link;
  }
  if (parent->end) return nullptr;
  parent->end = 1;
  return parent;
}

void free_trie(trie_node* node) {
  while (node) {
    trie_node* next = node->sibling;
    free_trie(node->child);
    mm_free(node);
    node = next;
  }
}

}  // namespace kivo

// The trie of terminal key sequences: each path from the root spells a run
// of logical key codes, and a node marked as an end closes a sequence that
// some key sends.
//
// Siblings are kept in ascending key-code order, so a lookup along a level
// can stop at the first greater code. Nodes come from the session-level
// scratch pool. The terminal manager builds and walks the trie.
#pragma once

#include <cstdint>

namespace kivo {

constexpr uint16_t kTrieSeqEnd = 65535;  // closes a key sequence

struct trie_node {
  trie_node* child;    // first node of the next level
  trie_node* sibling;  // next node of this level (greater code)
  uint8_t end;         // a sequence ends here
  int16_t code;        // the key value of this level (a byte, or a code above 255)
  uint16_t key;        // at an end: the logical key code the sequence sends
  uint16_t spare;      // zero
};

// Inserts `seq` (codes ended by kTrieSeqEnd) below `root`. Returns the node
// of its last code, or null when the sequence was already there, is empty,
// or memory failed.
trie_node* add_trie(trie_node* root, const uint16_t* seq);

// Frees `node`, its children and its siblings.
void free_trie(trie_node* node);

}  // namespace kivo

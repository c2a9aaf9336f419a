// The breadth-first layout: every child slot s holds node s + 1, and every
// node's children come after it. The nodes are then numbered depth by
// depth, a node's children are consecutive nodes right after the children
// of the nodes before it, and a walk finds the child in a slot without
// reading child_transitions. The package's builders write this layout; a
// trie from caller arrays or from bytes may have any other.
#pragma once

#include "core/trie/trie.hpp"

namespace quillomar {

// REQUIRES: IsSound(t).
bool IsBreadthFirst(const Trie& t);

}  // namespace quillomar

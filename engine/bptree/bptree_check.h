// The integrity check of a B+ tree: walks the whole tree and both record files and
// reports every broken invariant of the format (counts and fill, key order and
// separator ranges, parent ids, the leaf chain in both directions, uniform height,
// the record count, the first leaf, the free lists, and nodes that are unreachable
// or reached twice). It reads only, trusts nothing it reads, and never throws for
// a damaged tree; I/O failures of the record files still throw.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/bptree/bptree.h"

namespace velk {

// Checks an open tree. Returns the number of problems found and, when pvProblems
// is given, appends one line of text per problem.
std::size_t CheckTree(CBPTree& tree, std::vector<std::string>* pvProblems);

}  // namespace velk

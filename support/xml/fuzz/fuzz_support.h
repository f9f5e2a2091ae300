// Shared by the document fuzzers: a comparison of trees that ignores what a rewrite
// changes by design. Their file object is EMemoryFile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/file/memory_file.h"
#include "support/xml/description.h"

// Reads cb bytes into pRoot.
intptr_t ReadBytes(EDescription* pRoot, const void* p, size_t cb, int nFlag, int nEncoding);

// The tree as text in which adjacent text nodes are one and every comment ends in
// "-->": the two things a write and a read change. False when some element's tag
// is not a word of the token reader (such tags need not survive a rewrite).
bool Canonical(const EDescription& node, std::u16string* pOut);

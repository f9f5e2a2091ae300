// The attribute-view document as the tool reads it: the whole file, in any of the
// encodings the XML reader knows, up to a size limit.
#pragma once

#include <string>

#include "support/xml/description.h"

// The largest source view the tool reads. The file's bytes and the tree are in
// memory at once while the tree is built: an 18.2 MB view with 200,000 items
// peaked at 93 MB in the 64-bit build, about 5 times its size (the tree most of
// it), so 64 MiB stays well inside the 2 GiB a 32-bit process has.
enum : unsigned { kMaxViewBytes = 64u << 20 };

// Reads the view szSource (an engine path) into *pDocument. Returns an empty
// text, or why not, naming the view in the user's form.
std::string ReadView(const char* szSource, EDescription* pDocument);

// The one place where this backend's OS error numbers become the layer's results
// (FileResult, platform/file.h): files, named objects and child processes all
// report through it, so a failure reads the same on both targets.
#pragma once

#include "platform/file.h"

namespace platform {

// Remembers the error for LastSystemError (platform/system_error.h).
void RememberSystemError(int nError);

FileResult TranslateError(int nError);

}  // namespace platform

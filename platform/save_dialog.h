// The save dialog: asks the user for the name of a file to write. The Windows
// backend shows the system's save dialog; the POSIX backend asks for a path on the
// terminal when standard input is one and counts as cancelled otherwise.
#pragma once

#include <string>

namespace platform {

struct SaveDialogOptions {
    const char* szTitle;             // ANSI, code page 932
    const char* szFilterName;        // e.g. "error log file (*.log)"
    const char* szFilterPattern;     // e.g. "*.log"
    const char* szDefaultExtension;  // added to a name without one, e.g. "log"
};

// Asks for a file name. The directory must exist, and an existing file is only
// chosen when the user agrees to replace it. Returns true with the full name in
// the engine's form in *pName; false when the user cancels or the dialog fails.
// Blocks until the user answers.
bool AskSaveFileName(const SaveDialogOptions& options, std::string* pName);

}  // namespace platform

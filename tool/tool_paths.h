// The paths the tool derives once from its own location and its argument, and
// keeps for the whole run.
#pragma once

#include "engine/path/full_path.h"

struct ToolPaths {
    CFullPath executableDirectory;  // directory of the program's own full path
    CFullPath sourcePath;           // the view to restore from (argument 1)
    CFullPath databaseDirectory;    // <executable directory>\db\adb
    CFullPath targetFile;           // <executable directory>\db\attview.xml
    CFullPath backupPrefix;         // <executable directory>\db\attview_
};

// Derives the paths from the program's full path and the source argument. The
// directory part is everything up to the last "\" or "/", double-byte aware;
// a program path without a separator gives an empty directory (paths relative to
// the current directory). A source path that CFullPath refuses stays empty.
ToolPaths DeriveToolPaths(const char* szProgramPath, const char* szSource);

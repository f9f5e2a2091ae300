#include "tool/tool_paths.h"

#include <string>

#include "engine/path/path_walker.h"

ToolPaths DeriveToolPaths(const char* szProgramPath, const char* szSource)
{
    const std::string program(szProgramPath != nullptr ? szProgramPath : "");
    const size_t nSep = velk::pathwalk::FindLastSeparator(program);
    const std::string directory =
        nSep == std::string::npos ? std::string() : program.substr(0, nSep + 1);

    ToolPaths paths;
    paths.executableDirectory.Set(directory.c_str());
    paths.sourcePath.Set(szSource);
    paths.databaseDirectory = paths.executableDirectory.Join("db\\adb");
    paths.targetFile = paths.executableDirectory.Join("db\\attview.xml");
    paths.backupPrefix = paths.executableDirectory.Join("db\\attview_");
    return paths;
}

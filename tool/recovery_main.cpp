#include "tool/recovery_main.h"

#include "platform/console.h"
#include "platform/process.h"
#include "tool/tool_paths.h"

namespace {

// Prints szText, waits for one character and gives the failure exit code.
int StopWithFailure(const char* szText)
{
    platform::ConsoleWrite(szText);
    platform::ConsoleReadChar();
    return -1;
}

}  // namespace

int RecoveryMain(int argc, char** argv)
{
    if (argc < 2)
        return StopWithFailure("復元する属性ビュー情報(attview.xmlのパス)を指定して下さい。\n");

    // The directory comes from the program's own full path, not from argument 0
    // as typed: started by its bare name, the tool would otherwise name its
    // database relatively, and its access guard would never meet the desktop
    // application's.
    const std::string program = platform::OwnExecutablePath();
    const ToolPaths paths = DeriveToolPaths(program.c_str(), argv[1]);
    (void)paths;

    // The database and view steps follow here.
    return StopWithFailure("");
}

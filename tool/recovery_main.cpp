#include "tool/recovery_main.h"

#include "engine/database/adb.h"
#include "platform/console.h"
#include "platform/process.h"
#include "reconcile/att_table.h"
#include "tool/database_steps.h"
#include "tool/restore_steps.h"
#include "tool/tool_paths.h"

namespace {

// Waits for one character, then gives nResult as the exit code.
int Finish(int nResult)
{
    platform::ConsoleReadChar();
    return nResult;
}

}  // namespace

int RecoveryMain(int argc, char** argv)
{
    if (argc < 2) {
        platform::ConsoleWrite("復元する属性ビュー情報(attview.xmlのパス)を指定して下さい。\n");
        return Finish(-1);
    }

    // The directory comes from the program's own full path, not from argument 0
    // as typed: started by its bare name, the tool would otherwise name its
    // database relatively, and its access guard would never meet the desktop
    // application's.
    const std::string program = platform::OwnExecutablePath();
    const ToolPaths paths = DeriveToolPaths(program.c_str(), argv[1]);

    // Destroyed on every return: detaches and rolls back a transaction left open.
    velk::CADB database;
    AttTable table;
    if (RunDatabaseSteps(&database, paths, &table) != 0)
        return Finish(-1);
    return Finish(RunRestoreSteps(&database, paths, &table));
}

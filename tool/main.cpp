// The console entry: hands the command line, in the engine's path form, to the
// main routine.
#include <string>
#include <vector>

#include "platform/process.h"
#include "tool/recovery_main.h"
#include "tool/startup.h"

// Defined here, in the executable itself, so that the linker keeps it.
static CToolStartup g_startup;

int main(int argc, char** argv)
{
    std::vector<std::string> args = platform::EngineArguments(argc, argv);
    std::vector<char*> argvEngine;
    for (std::string& arg : args)
        argvEngine.push_back(&arg[0]);
    argvEngine.push_back(nullptr);
    return RecoveryMain(static_cast<int>(args.size()), argvEngine.data());
}

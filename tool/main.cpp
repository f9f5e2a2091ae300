// The console entry: hands the command line, in the engine's path form, to the
// main routine. A path that the code page cannot hold exactly would name another
// file, so it is refused before anything is read.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/arguments.h"
#include "platform/console.h"
#include "platform/process.h"
#include "tool/recovery_main.h"
#include "tool/startup.h"

// Defined here, in the executable itself, so that the linker keeps it.
static CToolStartup g_startup;

int main(int argc, char** argv)
{
    std::vector<std::string> args;
    platform::SUnheldCharacter unheld;
    if (!platform::ExactArguments(argc, argv, &args, &unheld)) {
        const std::string strError =
            "argument " + std::to_string(unheld.nArgument) + ", character " +
            std::to_string(unheld.nPosition) + " (" + unheld.strCharacter +
            ") cannot be kept exactly in the system's code page; nothing was done\n";
        std::fputs(platform::ConsoleEncode(strError).c_str(), stderr);
        return 2;
    }
    std::vector<char*> argvEngine;
    for (std::string& arg : args) {
        arg = platform::EnginePathFromUser(arg);
        argvEngine.push_back(&arg[0]);
    }
    argvEngine.push_back(nullptr);
    return RecoveryMain(static_cast<int>(args.size()), argvEngine.data());
}

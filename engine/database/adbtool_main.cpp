// The console entry of adbtool: hands the command line, in the engine's form, to
// AdbToolMain.
#include <string>
#include <vector>

#include "engine/database/adbtool.h"
#include "platform/process.h"

int main(int argc, char** argv)
{
    return AdbToolMain(platform::EngineArguments(argc, argv));
}

// The console entry of adbtool: hands the command line, as code-page text, to
// AdbToolMain, which takes only its directory arguments for paths.
#include <string>
#include <vector>

#include "engine/database/adbtool.h"
#include "platform/process.h"

int main(int argc, char** argv)
{
    return AdbToolMain(platform::TextArguments(argc, argv));
}

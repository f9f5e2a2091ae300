// The console entry of adbtool: hands the command line, as code-page text, to
// AdbToolMain, which takes only its directory arguments for paths. A name or path
// that the code page cannot hold is refused here, before anything is opened.
#include <string>
#include <vector>

#include "adbtool/adbtool.h"
#include "platform/arguments.h"

int main(int argc, char** argv)
{
    std::vector<std::string> vArgs;
    platform::SUnheldCharacter unheld;
    if (!platform::ExactArguments(argc, argv, &vArgs, &unheld))
        return AdbToolRefuseArgument(unheld.nArgument, unheld.nPosition, unheld.strCharacter);
    return AdbToolMain(vArgs);
}

#include "tool/step_report.h"

#include "platform/console.h"

int FailStep(const char* szResult, const std::string& strWhy)
{
    platform::ConsoleWrite(szResult);
    platform::ConsoleWriteError(("attview-restore: " + strWhy + "\n").c_str());
    return -1;
}

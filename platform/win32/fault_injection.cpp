#include <windows.h>

#include "platform/fault_injection.h"

namespace platform {

void EndProcessNow()
{
    TerminateProcess(GetCurrentProcess(), kFaultExitCode);
    for (;;)
        Sleep(INFINITE);
}

}  // namespace platform

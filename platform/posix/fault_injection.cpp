#include "platform/fault_injection.h"

#include <unistd.h>

#include "platform/fault_injection.inc"

namespace platform {

void EndProcessNow()
{
    _exit(kFaultExitCode);
}

}  // namespace platform

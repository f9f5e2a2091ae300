#include "platform/fault_injection.h"

#include <unistd.h>

namespace platform {

void EndProcessNow()
{
    _exit(kFaultExitCode);
}

}  // namespace platform

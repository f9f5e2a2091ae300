// Power cuts are simulated by the POSIX backend only.
#include "platform/power_cut.h"

#include "platform/fault_injection.h"

namespace platform {

bool PowerCutSupported()
{
    return false;
}

bool ArmPowerCut(const char*, const char*)
{
    return false;
}

void PowerCutNow()
{
    EndProcessNow();
}

PowerCutCounts GetPowerCutCounts()
{
    return PowerCutCounts();
}

}  // namespace platform

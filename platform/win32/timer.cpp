#include <windows.h>

#include "platform/timer.h"

namespace platform {

void TimerSetFineResolution()
{
    timeBeginPeriod(1);
}

uint32_t TickCount()
{
    return timeGetTime();
}

}  // namespace platform

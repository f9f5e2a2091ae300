// Console interrupts on Windows. Windows runs a console control handler on a
// thread of its own; the default one ends the process with STATUS_CONTROL_C_EXIT.
// While a deferral exists ours is installed: it records the event and parks its
// thread, and the last deferral's destructor ends the process as the default
// handler would have (for a closing console Windows ends it anyway after a few
// seconds).
#include <windows.h>

#include <mutex>

#include "platform/interrupt.h"

namespace platform {
namespace {

const DWORD kControlCExit = 0xC000013A;  // STATUS_CONTROL_C_EXIT

std::mutex g_lock;
int g_nDeferrals = 0;
volatile LONG g_nPending = 0;

BOOL WINAPI OnConsoleControl(DWORD nEvent)
{
    if (nEvent != CTRL_C_EVENT && nEvent != CTRL_BREAK_EVENT && nEvent != CTRL_CLOSE_EVENT)
        return FALSE;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (g_nDeferrals == 0)
            return FALSE;
        InterlockedExchange(&g_nPending, 1);
    }
    // The deferring thread ends the process; until then this thread stays.
    for (;;)
        Sleep(INFINITE);
}

DWORD WINAPI ImitateConsoleThread(LPVOID)
{
    if (!OnConsoleControl(CTRL_C_EVENT))
        ExitProcess(kControlCExit);
    return 0;
}

}  // namespace

CInterruptDeferral::CInterruptDeferral()
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_nDeferrals++ == 0)
        SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

CInterruptDeferral::~CInterruptDeferral()
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (--g_nDeferrals > 0)
        return;
    SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
    if (g_nPending != 0)
        ExitProcess(kControlCExit);
}

bool IsInterruptPending()
{
    return g_nPending != 0;
}

void RaiseConsoleInterrupt()
{
    HANDLE h = CreateThread(nullptr, 0, &ImitateConsoleThread, nullptr, 0, nullptr);
    if (h != nullptr)
        CloseHandle(h);
}

int InterruptExitCode()
{
    return static_cast<int>(kControlCExit);
}

}  // namespace platform

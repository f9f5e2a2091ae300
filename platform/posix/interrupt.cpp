// Console interrupts on POSIX: SIGINT (Ctrl+C), SIGHUP (the terminal closed) and
// SIGTERM. While a deferral exists, those whose action was the default one are
// caught and recorded; when the last deferral goes, the old actions come back and
// a recorded signal is raised again, ending the process as it would have ended.
#include "platform/interrupt.h"

#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <mutex>

namespace platform {
namespace {

const int kSignals[] = {SIGINT, SIGHUP, SIGTERM};
const int kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);

std::mutex g_lock;
int g_nDeferrals = 0;
struct sigaction g_aOld[kSignalCount];
bool g_abHooked[kSignalCount];
volatile sig_atomic_t g_nPendingSignal = 0;

void RecordSignal(int nSignal)
{
    g_nPendingSignal = nSignal;
}

}  // namespace

CInterruptDeferral::CInterruptDeferral()
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_nDeferrals++ > 0)
        return;
    for (int i = 0; i < kSignalCount; ++i) {
        g_abHooked[i] = false;
        struct sigaction old;
        if (sigaction(kSignals[i], nullptr, &old) != 0 || old.sa_handler != SIG_DFL ||
            (old.sa_flags & SA_SIGINFO) != 0)
            continue;
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_handler = &RecordSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        if (sigaction(kSignals[i], &sa, &g_aOld[i]) == 0)
            g_abHooked[i] = true;
    }
}

CInterruptDeferral::~CInterruptDeferral()
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (--g_nDeferrals > 0)
        return;
    for (int i = 0; i < kSignalCount; ++i) {
        if (g_abHooked[i])
            sigaction(kSignals[i], &g_aOld[i], nullptr);
        g_abHooked[i] = false;
    }
    const int nSignal = g_nPendingSignal;
    if (nSignal != 0)
        raise(nSignal);
}

bool IsInterruptPending()
{
    return g_nPendingSignal != 0;
}

void RaiseConsoleInterrupt()
{
    kill(getpid(), SIGINT);
}

int InterruptExitCode()
{
    return 128 + SIGINT;
}

}  // namespace platform

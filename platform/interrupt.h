// Console interrupts: Ctrl+C, Ctrl+Break and closing the console (on POSIX:
// SIGINT, SIGHUP and SIGTERM whose action is the default one). Such an interrupt
// normally ends the process at once. While a CInterruptDeferral exists in some
// thread, the end is postponed: the interrupt is recorded and IsInterruptPending()
// turns true, so that code waiting on a shared object can first undo what other
// processes would otherwise count on, and the process ends (as the interrupt would
// have ended it) when the last deferral is destroyed.
#pragma once

namespace platform {

class CInterruptDeferral {
public:
    CInterruptDeferral();
    ~CInterruptDeferral();  // ends the process when it is the last one and an interrupt is pending
    CInterruptDeferral(const CInterruptDeferral&) = delete;
    CInterruptDeferral& operator=(const CInterruptDeferral&) = delete;
};

// True when an interrupt arrived while a deferral existed. Any thread.
bool IsInterruptPending();

// Delivers a Ctrl+C to this process as the console would (on POSIX SIGINT; on
// Windows the console's handler thread is imitated). For tests.
void RaiseConsoleInterrupt();

// The exit code a parent sees (through CChildProcess) for a process ended by a
// console interrupt.
int InterruptExitCode();

}  // namespace platform

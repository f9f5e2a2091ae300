// The report of unhandled faults. When a fault reaches no other handler, the report
// names it to the user and offers three ways on: save a log of the registers, the
// code, the stack and the memory around them and carry on; carry on without a log
// (the fault then gets the platform's default handling, which ends the program); or
// end the program at once with exit code -1. A single step is resumed silently, a
// breakpoint is stepped over when the user agrees, and an in-page error (a page of
// a mapped file that could not be read) is retried a few times before it is
// reported like any other fault.
//
// The report sits above the runtime and the file objects: a program hands it to
// the runtime by calling vokInstallFaultReport before mvbInitializeLibrary, and
// every thread's first mvbInitializeTask then installs the handler for that thread.
// The questions and the save dialog go through EFaultReport::IUser, which tests
// replace with scripted answers.
#pragma once

#include "platform/dialog.h"
#include "platform/fault_handler.h"
#include "platform/save_dialog.h"
#include "support/fault/fault_log.h"
#include "support/text/string.h"

extern "C" {

// Hands the report's installer to the runtime (mvbHookFaultReport). Call it before
// the first mvbInitializeLibrary.
void vokInstallFaultReport();

// True when the report is the process's handler of unhandled faults.
int vokIsFaultReportInstalled();

// Sets the application's log hook (null for none). The hook runs on the faulting
// thread after the dumps and appends its own text to the log.
void vokHookFaultLog(VOKFAULTLOGHOOK pfnHook);

}  // extern "C"

class EFaultReport {
public:
    // The user's side: the questions and the save dialog. Called on the faulting
    // thread, with the program stopped at the fault.
    class IUser {
    public:
        virtual ~IUser() = default;
        // A question that cannot be asked counts as No.
        virtual platform::Answer AskYesNo(const char* szTitle, const char* szText) = 0;
        virtual platform::Answer AskYesNoCancel(const char* szTitle, const char* szText) = 0;
        // The name of the log file to write; false when the user cancels.
        virtual bool AskSaveFileName(const platform::SaveDialogOptions& options, EString* pName) = 0;
    };

    // Replaces the platform's dialogs; null restores them. The caller keeps pUser
    // alive while it is set.
    static void SetUser(IUser* pUser);

    // Decides what becomes of one fault: asks the user as needed, writes the log,
    // and may change the record's registers for resuming. The installed handler.
    static platform::FaultOutcome Handle(platform::FaultRecord* pRecord);

    // The name of a fault code in the user's language; "無効例外" for codes without one.
    static const char* FaultName(uint32_t nCode);

    // How many times an in-page error at the same address is resumed before it is
    // reported: a page that stays unreadable would otherwise be retried for ever.
    enum { kInPageRetries = 3 };
};

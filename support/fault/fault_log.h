// The fault log: what the fault report writes into the file the user chooses. A
// header with the module, thread, fault and registers, then hexadecimal dumps of
// the code around the fault, of the stack and of the memory the registers (and the
// words they point at) lead to, then whatever the application's log hook adds.
// Memory is read only through the platform's probe, so an address that leads
// nowhere ends its own dump and nothing else.
//
// A dump is lines of 16 bytes:
//   label : 4D 5A 90 00 ...(16 bytes, each "%02X ")    MZ..(16 characters) \r\n
// The line at the dump's reference address carries the dump's label ("%9s : ");
// every other line its own address in hexadecimal, followed by "H". Characters
// below 20 hexadecimal show as ".". A dump ends with an empty line pair. Registers
// and addresses are printed at the target's width: eight digits on the 32-bit
// target, sixteen on the 64-bit one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/fault_handler.h"

class VOKFileObject;

// An application's addition to the log, called after the dumps with the log file.
typedef void (*VOKFAULTLOGHOOK)(VOKFileObject* pLog);

class EFaultLog {
public:
    // Writes to pLog, which the caller keeps open and owns.
    explicit EFaultLog(VOKFileObject* pLog) : m_pLog(pLog) {}

    // The whole log: header, code, stack and data dumps, then the hook's text (or
    // an empty line pair when the hook faults; what it had written is cut off).
    void Write(const char* szModule, const platform::FaultRecord& record, const char* szFaultName,
               VOKFAULTLOGHOOK pfnHook);

    void WriteHeader(const char* szModule, const platform::FaultRecord& record,
                     const char* szFaultName);
    // Dumps cb bytes (a multiple of 16) from nStart; the line at nReference carries
    // szLabel. Ends early, after the last whole line that could be read.
    void WriteDump(uintptr_t nStart, size_t cb, uintptr_t nReference, const char* szLabel);
    void WriteDataDumps(const platform::FaultRecord& record);
    void WriteHook(VOKFAULTLOGHOOK pfnHook);

private:
    void Put(const char* szText);

    VOKFileObject* m_pLog;
};

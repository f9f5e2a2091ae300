// The tool's start-up object: one static instance in main.cpp brings the support
// library up before RecoveryMain runs and down at process exit. The report of
// unhandled faults is handed to the runtime first, so that the library's
// start-up installs it.
#pragma once

class CToolStartup {
public:
    CToolStartup();
    ~CToolStartup();
    CToolStartup(const CToolStartup&) = delete;
    CToolStartup& operator=(const CToolStartup&) = delete;
};

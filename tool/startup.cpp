#include "tool/startup.h"

#include "support/fault/fault_report.h"
#include "support/runtime/library.h"

CToolStartup::CToolStartup()
{
    vokInstallFaultReport();
    mvbInitializeLibrary();
}

CToolStartup::~CToolStartup()
{
    mvbCloseLibrary();
}

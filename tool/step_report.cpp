#include "tool/step_report.h"

#include "platform/console.h"
#include "platform/process.h"

int FailStep(const char* szResult, const std::string& strWhy)
{
    platform::ConsoleWrite(szResult);
    platform::ConsoleWriteError(("attview-restore: " + strWhy + "\n").c_str());
    return -1;
}

std::string RecoverHint(const std::string& strDatabase)
{
    const std::string strShown = platform::UserPath(strDatabase);
    return "attview-restore: if the database is damaged, adbtool recover salvages what it "
           "still holds into a new database: adbtool recover \"" + strShown + "\" \"" +
           strShown + "-recovered\"";
}

int FailDamagedStep(const char* szResult, const std::string& strWhy,
                    const std::string& strDatabase)
{
    FailStep(szResult, strWhy);
    platform::ConsoleWriteError((RecoverHint(strDatabase) + "\n").c_str());
    return -1;
}

#include "tool/database_steps.h"

#include <string>

#include "engine/base/fault.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/process.h"
#include "tool/step_report.h"

const unsigned char kNoCaseAscendingId[16] = {0xBA, 0x48, 0x9E, 0xB2, 0x95, 0x94, 0x03, 0x47,
                                              0xAF, 0x91, 0x48, 0x82, 0xB6, 0x55, 0x11, 0xF7};

int RunDatabaseSteps(velk::CADB* pDatabase, const ToolPaths& paths, AttTable* pTable)
{
    const std::string directory = paths.databaseDirectory.GetString();

    platform::ConsoleWrite("属性DB関連付け:");
    int nResult = pDatabase->Associate(directory.c_str(), kNoCaseAscendingId, nullptr);
    if (nResult != 0) {
        const std::string why = "\"" + platform::UserPath(directory) +
                                "\" is not an attribute database this tool can use (result " +
                                std::to_string(nResult) + ")";
        // A directory with its parameter file is a database, damaged or not.
        const bool bDatabase =
            nResult != velk::CADB::kNotDatabase ||
            platform::PathExists(paths.databaseDirectory.Join("adbinfo").GetString());
        return bDatabase ? FailDamagedStep("NG\n", why, directory) : FailStep("NG\n", why);
    }
    platform::ConsoleWrite("OK\n");

    platform::ConsoleWrite("属性DB情報チェック:");
    const std::string why = UnusableParameters(pDatabase);
    if (!why.empty())
        return FailStep("NG\n", "the database's parameters are out of range:" + why);
    platform::ConsoleWrite("OK\n");

    platform::ConsoleWrite("属性DB読み込み専用オープン:");
    try {
        if (pDatabase->Open(0, 30000) == 0)
            return FailStep("NG(タイムアウト発生)\n",
                        "another program kept the database busy for 30 seconds");
    } catch (...) {
        return FailDamagedStep("NG\n", "the database could not be opened: a store is missing or damaged",
                               directory);
    }
    platform::ConsoleWrite("OK\n");

    platform::ConsoleWrite("属性情報列挙:");
    try {
        FillAttTable(pDatabase, pTable);
    } catch (...) {
        return FailDamagedStep("NG\n", "the attribute list of the database is damaged", directory);
    }
    platform::ConsoleWrite("OK\n");

    platform::ConsoleWrite("属性DBクローズ:");
    try {
        pDatabase->Close(1);
    } catch (...) {
        return FailStep("NG\n", "the database could not be closed");
    }
    platform::ConsoleWrite("OK\n");
    return 0;
}

#include "tool/database_steps.h"

#include <string>

#include "engine/base/fault.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/process.h"
#include "tool/step_report.h"

const unsigned char kNoCaseAscendingId[16] = {0xBA, 0x48, 0x9E, 0xB2, 0x95, 0x94, 0x03, 0x47,
                                              0xAF, 0x91, 0x48, 0x82, 0xB6, 0x55, 0x11, 0xF7};

void FillAttTable(velk::CADB* pDatabase, AttTable* pTable)
{
    velk::CADB::IFindAtt* pFind = pDatabase->CreateFindAtt();
    if (pFind == nullptr)
        velk::ThrowFault();
    try {
        if (pFind->GetCount() != 0) {
            int nMoved;
            do {
                platform::ConsoleWrite("*");
                velk::CADB::IAttInfo* pInfo = pFind->GetAttInfo();
                if (pInfo == nullptr)
                    velk::ThrowFault();
                char achName[256];
                std::uint32_t cbName, nCount, nId;
                try {
                    cbName = pInfo->GetName(achName, sizeof(achName));
                    nCount = pInfo->GetRefCount();
                    nId = pInfo->GetId();
                } catch (...) {
                    pFind->ReleaseAttInfo(pInfo);
                    throw;
                }
                pFind->ReleaseAttInfo(pInfo);
                // A name that does not fit was not copied: the buffer holds nothing.
                if (cbName == 0)
                    velk::ThrowFault();
                (*pTable)[achName] = std::make_pair(nId, static_cast<std::int32_t>(nCount));
                nMoved = pFind->Next(1, 1);
            } while (nMoved == 0);
            // Anything but the end of the walk is a failure of the index.
            if (nMoved != velk::CADB::kEndOfWalk)
                velk::ThrowFault();
        }
    } catch (...) {
        pDatabase->ReleaseFind(pFind);
        throw;
    }
    pDatabase->ReleaseFind(pFind);
}

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
    const std::uint32_t nNameSize = pDatabase->GetAttNameSize();
    const std::uint32_t nParam1 = pDatabase->GetParam1();
    const std::uint32_t nHashSize = pDatabase->GetHashSize();
    const std::uint32_t nCommentSize = pDatabase->GetCommentSize();
    std::string why;
    if (nNameSize > 256)
        why += " name size " + std::to_string(nNameSize) + " (at most 256);";
    if (nParam1 > 261)
        why += " parameter 1 " + std::to_string(nParam1) + " (at most 261);";
    if (nHashSize != 16)
        why += " hash size " + std::to_string(nHashSize) + " (must be 16);";
    if (nCommentSize > 512)
        why += " comment size " + std::to_string(nCommentSize) + " (at most 512);";
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

// The commands that change a database: create, add, link, unlink, rename, merge.
#include <cstring>
#include <memory>

#include "adbtool/adb_arguments.h"
#include "adbtool/adb_commands.h"
#include "adbtool/adb_output.h"
#include "adbtool/open_database.h"

using velk::CADB;

namespace adbtool {

int Create(const Words& vArgs)
{
    if (vArgs.empty())
        return Usage("create needs a directory");
    velk::SDatabaseInfo info;
    struct SOption {
        const char* szName;
        std::uint32_t* pnValue;
    };
    const SOption kOptions[] = {
        {"--name-size", &info.nAttNameSize}, {"--param1", &info.nParam1},
        {"--param2", &info.nParam2},         {"--comment-size", &info.nCommentSize},
        {"--extra-size", &info.nExtraSize},  {"--param5", &info.nParam5},
        {"--hash-size", &info.nHashSize},
    };
    for (size_t i = 1; i < vArgs.size(); i += 2) {
        if (i + 1 >= vArgs.size())
            return Usage("option " + vArgs[i] + " needs a value");
        bool bKnown = false;
        for (const SOption& option : kOptions) {
            if (vArgs[i] == option.szName) {
                if (!ParseNumber(vArgs[i + 1], option.pnValue))
                    return Usage(vArgs[i] + " needs a number from 0 to 4294967295");
                bKnown = true;
            }
        }
        if (vArgs[i] == "--path-order") {
            for (const SOrder& order : kOrders) {
                if (vArgs[i + 1] == order.szName) {
                    std::memcpy(info.abPathOrder, order.pGuid, 16);
                    bKnown = true;
                }
            }
            if (!bKnown)
                return Usage("unknown key order " + vArgs[i + 1]);
        }
        if (!bKnown)
            return Usage("unknown option " + vArgs[i]);
    }
    if (vArgs[0].empty())
        return Usage("DIR is empty");
    const int nResult = CreateWith(vArgs[0], info);
    if (nResult != kExitOk)
        return nResult;
    Out("created " + g_strShownDirectory + "\n");
    return kExitOk;
}

int Add(const Words& vArgs, std::uint32_t nTimeout)
{
    if (vArgs.size() < 2)
        return Usage("add needs a directory and at least one name");
    COpenDatabase db;
    if (!db.Open(vArgs[0], 1, nTimeout))
        return kExitFailed;
    std::string strReport;
    for (size_t i = 1; i < vArgs.size(); ++i) {
        std::uint32_t nId = 0;
        const int nResult = db.Db().AddAtt(vArgs[i].c_str(), &nId);
        if (nResult == CADB::kOk) {
            strReport += "added \"" + vArgs[i] + "\" as " + std::to_string(nId) + "\n";
        } else if (nResult == CADB::kAttExists) {
            strReport += "\"" + vArgs[i] + "\" is registered already as " + std::to_string(nId) +
                         "\n";
        } else {
            Error("\"" + vArgs[i] + "\": the name is longer than " +
                  std::to_string(db.Db().GetAttNameSize() - 1) + " bytes; nothing was added");
            return kExitFailed;
        }
    }
    db.Commit();
    Out(strReport);
    return kExitOk;
}

namespace {

// The id of attribute strName, or 0 after printing the error.
std::uint32_t RequireAttribute(CADB& db, const std::string& strName)
{
    const std::uint32_t nId = velk::FindAttribute(db, strName.c_str());
    if (nId == 0)
        Error("no attribute \"" + strName + "\"");
    return nId;
}

}  // namespace

int Link(const Words& vArgs, std::uint32_t nTimeout, bool bUnlink)
{
    if (vArgs.size() < 3)
        return Usage("no file ids given");
    std::vector<std::uint32_t> vFiles;
    for (size_t i = 2; i < vArgs.size(); ++i) {
        std::uint32_t nFile = 0;
        if (!ParseNumber(vArgs[i], &nFile) || nFile == 0)
            return Usage("file id " + vArgs[i] + " is not a number from 1 to 4294967295");
        vFiles.push_back(nFile);
    }
    COpenDatabase db;
    if (!db.Open(vArgs[0], 1, nTimeout))
        return kExitFailed;
    const std::uint32_t nId = RequireAttribute(db.Db(), vArgs[1]);
    if (nId == 0)
        return kExitFailed;
    std::string strReport;
    for (std::uint32_t nFile : vFiles) {
        const std::string strFile = std::to_string(nFile);
        if (bUnlink)
            strReport += velk::UnlinkFile(db.Db(), nId, nFile) == CADB::kOk
                             ? "unlinked " + strFile + "\n"
                             : strFile + " is not linked\n";
        else
            strReport += velk::LinkFile(db.Db(), nId, nFile) == CADB::kOk
                             ? "linked " + strFile + "\n"
                             : strFile + " is linked already\n";
    }
    db.Commit();
    Out(strReport);
    return kExitOk;
}

int Rename(const Words& vArgs, std::uint32_t nTimeout)
{
    if (vArgs.size() != 3)
        return Usage("rename needs a directory, the old name and the new name");
    COpenDatabase db;
    if (!db.Open(vArgs[0], 1, nTimeout))
        return kExitFailed;
    const std::uint32_t nId = RequireAttribute(db.Db(), vArgs[1]);
    if (nId == 0)
        return kExitFailed;
    std::unique_ptr<CADB::IAttInfo> pInfo(db.Db().GetAttInfo(nId, 1));
    const int nResult = pInfo->Rename(vArgs[2].c_str());
    pInfo.reset();
    if (nResult == CADB::kExists) {
        Error("the name \"" + vArgs[2] + "\" is taken");
        return kExitFailed;
    }
    if (nResult != CADB::kOk) {
        Error("\"" + vArgs[2] + "\": the name is longer than " +
              std::to_string(db.Db().GetAttNameSize() - 1) + " bytes");
        return kExitFailed;
    }
    db.Commit();
    Out("renamed \"" + vArgs[1] + "\" to \"" + vArgs[2] + "\"\n");
    return kExitOk;
}

int Merge(const Words& vArgs, std::uint32_t nTimeout)
{
    if (vArgs.size() != 3)
        return Usage("merge needs a directory, the name to keep and the name to merge");
    COpenDatabase db;
    if (!db.Open(vArgs[0], 1, nTimeout))
        return kExitFailed;
    const std::uint32_t nInto = RequireAttribute(db.Db(), vArgs[1]);
    if (nInto == 0)
        return kExitFailed;
    const std::uint32_t nFrom = RequireAttribute(db.Db(), vArgs[2]);
    if (nFrom == 0)
        return kExitFailed;
    if (nInto == nFrom) {
        Error("an attribute cannot be merged into itself");
        return kExitFailed;
    }
    std::unique_ptr<CADB::IAttInfo> pInfo(db.Db().GetAttInfo(nInto, 1));
    const int nResult = pInfo->Merge(nFrom);
    pInfo.reset();
    if (nResult != CADB::kOk) {
        Error("\"" + vArgs[2] + "\" cannot be merged into \"" + vArgs[1] + "\"");
        return kExitFailed;
    }
    db.Commit();
    Out("merged \"" + vArgs[2] + "\" into \"" + vArgs[1] + "\"\n");
    return kExitOk;
}

}  // namespace adbtool

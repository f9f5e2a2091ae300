// The commands that read a database's attributes and stores: list and check.
#include <memory>

#include "adbtool/adb_arguments.h"
#include "adbtool/adb_commands.h"
#include "adbtool/adb_output.h"
#include "adbtool/open_database.h"
#include "engine/base/fault.h"

using velk::CADB;

namespace adbtool {

int List(const Words& vArgs, std::uint32_t nTimeout)
{
    COpenDatabase db;
    if (!db.Open(vArgs[0], 0, nTimeout))
        return kExitFailed;
    std::vector<std::string> vUncounted;
    std::unique_ptr<CADB::IFindAtt, void (*)(CADB::IFindAtt*)> pFind(
        db.Db().CreateFindAtt(), [](CADB::IFindAtt* p) { delete p; });
    if (!pFind)
        throw std::bad_alloc();
    Json rows = Json::array();
    int nMove = CADB::kEndOfWalk;
    if (pFind->GetCount() > 0) {
        do {
            std::unique_ptr<CADB::IAttInfo> pInfo(pFind->GetAttInfo());
            std::vector<char> vName(pInfo->GetName(nullptr, 0));
            pInfo->GetName(vName.data(), static_cast<std::uint32_t>(vName.size()));
            const std::string strName(vName.data());
            // A file list that does not read costs its own row's count, not the
            // listing: the row says "?" and the rest still prints.
            std::string strCount = "?";
            Json row = {{"name", Utf8(strName)}, {"id", pInfo->GetId()}, {"files", nullptr}};
            try {
                const std::uint32_t nCount = pInfo->GetRefCount();
                strCount = std::to_string(nCount);
                row["files"] = nCount;
            } catch (const velk::CFault&) {
                vUncounted.push_back(strName);
            }
            if (g_bJson)
                rows.push_back(row);
            else
                Out(Escaped(strName) + "\t" + std::to_string(pInfo->GetId()) + "\t" + strCount +
                    "\n");
            nMove = pFind->Next(1, 1);
        } while (nMove == CADB::kOk);
    }
    if (g_bJson)
        OutJson({{"database", Utf8(g_strShownDirectory)},
                 {"complete", nMove == CADB::kEndOfWalk && vUncounted.empty()},
                 {"attributes", rows}});
    if (nMove != CADB::kEndOfWalk) {
        Error(g_strShownDirectory + ": the name index cannot be walked past the rows above; "
              "adbtool check " + g_strShownDirectory + " lists the problems, and adbtool "
              "recover " + g_strShownDirectory + " NEWDIR salvages the database");
        return kExitFailed;
    }
    if (!vUncounted.empty()) {
        Error(g_strShownDirectory + ": the file list of " + std::to_string(vUncounted.size()) +
              " attribute(s) cannot be read; their rows show \"?\" (adbtool check " +
              g_strShownDirectory + " lists the problems)");
        return kExitFailed;
    }
    return kExitOk;
}

int Check(const Words& vArgs, std::uint32_t nTimeout)
{
    std::vector<std::string> vProblems;
    const std::string strDirectory = DatabaseDirectory(vArgs[0]);
    const std::string strShown = Shown(strDirectory);
    bool bBusy = false;
    velk::CheckDatabase(strDirectory.c_str(), nTimeout, &vProblems, &bBusy);
    if (g_bJson) {
        Json problems = Json::array();
        for (const std::string& strProblem : vProblems)
            problems.push_back(Utf8(strProblem));
        OutJson({{"database", Utf8(strShown)}, {"busy", bBusy}, {"problems", problems}});
    }
    if (bBusy) {
        Error(strShown + ": busy: read access was not granted within " +
              std::to_string(nTimeout) + " ms, since another program is using the "
              "database; nothing was checked (try again later, or give --timeout more time)");
        return kExitBusy;
    }
    std::string strReport;
    for (const std::string& strProblem : vProblems)
        strReport += strProblem + "\n";
    if (vProblems.empty()) {
        if (!g_bJson)
            Out(strShown + ": no problems found\n");
        return kExitOk;
    }
    if (!g_bJson)
        Out(strReport);
    velk::SDatabaseInfo info;
    Error(strShown + ": " + std::to_string(vProblems.size()) + " problem(s) found" +
          (velk::ReadDatabaseInfo(strDirectory.c_str(), &info)
               ? "; adbtool recover " + strShown + " NEWDIR salvages the database"
               : std::string()));
    return kExitFailed;
}

}  // namespace adbtool

#include "engine/database/adbtool.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/bptree/key_order.h"
#include "engine/database/adb.h"
#include "engine/database/adb_recover.h"
#include "engine/database/adb_tools.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/process.h"

using velk::CADB;

namespace {

enum { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

const char kHelp[] =
    "adbtool: makes, changes, lists and checks attribute databases.\n"
    "\n"
    "Usage: adbtool [--timeout MS] COMMAND DIR [ARGUMENTS...]\n"
    "\n"
    "Commands:\n"
    "  create DIR [OPTIONS]      make a new, empty database in DIR (created when\n"
    "                            absent, otherwise it must be empty). Options:\n"
    "      --name-size N         name field size, NUL included (P7, default 256)\n"
    "      --param1 N            first parameter, the path key size (P1, default 261)\n"
    "      --param2 N            second parameter (P2, default 0)\n"
    "      --comment-size N      comment size, 0 for no comment stores (P3, default 512)\n"
    "      --extra-size N        extra data of an attribute record (P4, default 0)\n"
    "      --param5 N            fifth parameter (P5, default 0)\n"
    "      --hash-size N         hash size, 0 for no hash stores (P6, default 16)\n"
    "      --path-order ORDER    key order of the path index: NoCaseAscending\n"
    "                            (default), NoCaseDescending, BinaryAscending,\n"
    "                            BinaryDescending, StringAscending, StringDescending\n"
    "  add DIR NAME...           register attributes; a registered name is reported\n"
    "                            with its id and left as it is\n"
    "  link DIR NAME FILEID...   add file ids (decimal, 1 to 4294967295) to the file\n"
    "                            list of attribute NAME\n"
    "  rename DIR OLD NEW        rename attribute OLD to NEW\n"
    "  merge DIR INTO FROM       merge attribute FROM into INTO: FROM's files join\n"
    "                            INTO and the name FROM goes away\n"
    "  list DIR                  print every attribute as NAME<tab>ID<tab>FILES, in\n"
    "                            name order\n"
    "  check DIR                 check every store and their agreement; print each\n"
    "                            problem and exit with 1 when there is one\n"
    "  recover DIR NEWDIR        salvage what still reads of a damaged database in\n"
    "                            DIR into a new database in NEWDIR (absent or empty),\n"
    "                            keeping the parameters and the attribute ids; DIR\n"
    "                            is only read. Prints what was recovered and what\n"
    "                            was lost; exit 0 nothing lost, 1 something lost\n"
    "  help, --help              print this text\n"
    "\n"
    "Every change runs in one write transaction: a command either does all its\n"
    "changes or none. --timeout sets how long to wait for access while another\n"
    "program uses the database (milliseconds, default 30000).\n"
    "\n"
    "Exit codes: 0 done, 1 the command failed, 2 the command line is wrong.\n";

// A DIR argument as the engine names it: in the engine's path form and absolute,
// since a transaction's log names its files by path and must be recoverable by a
// program started elsewhere.
std::string DatabaseDirectory(const std::string& strArgument)
{
    const std::string strPath = platform::EnginePathFromUser(strArgument);
    std::string strFull;
    if (platform::FullPathName(strPath.c_str(), &strFull, nullptr) != platform::kFileOk)
        return strPath;
    return strFull;
}

// A directory as messages name it: in the user's form.
std::string Shown(const std::string& strDirectory)
{
    return platform::UserPath(strDirectory);
}

void Out(const std::string& strText)
{
    platform::ConsoleWrite(strText.c_str());
}

void Error(const std::string& strText)
{
    const std::string s = platform::ConsoleEncode("adbtool: " + strText + "\n");
    std::fflush(stdout);
    std::fputs(s.c_str(), stderr);
}

int Usage(const std::string& strText)
{
    Error(strText + " (adbtool --help explains the commands)");
    return kExitUsage;
}

bool ParseNumber(const std::string& s, std::uint32_t* pn)
{
    if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long long n = std::stoull(s);
    if (n > 0xFFFFFFFFull)
        return false;
    *pn = static_cast<std::uint32_t>(n);
    return true;
}

struct SOrder {
    const char* szName;
    const unsigned char* pGuid;
};
const SOrder kOrders[] = {
    {"NoCaseAscending", velk::kGuidNoCaseAscending},
    {"NoCaseDescending", velk::kGuidNoCaseDescending},
    {"BinaryAscending", velk::kGuidBinaryAscending},
    {"BinaryDescending", velk::kGuidBinaryDescending},
    {"StringAscending", velk::kGuidStringAscending},
    {"StringDescending", velk::kGuidStringDescending},
};

// A database attached and open for the length of one command; rolled back unless
// Commit is called.
class COpenDatabase {
public:
    ~COpenDatabase()
    {
        try {
            m_db.Close(0);
        } catch (...) {
        }
    }
    // False after printing why it cannot be opened.
    bool Open(const std::string& strArgument, int nWrite, std::uint32_t nTimeout)
    {
        const std::string strDirectory = DatabaseDirectory(strArgument);
        const std::string strShown = Shown(strDirectory);
        velk::SDatabaseInfo info;
        if (!velk::ReadDatabaseInfo(strDirectory.c_str(), &info)) {
            Error(strShown + ": not a database directory");
            return false;
        }
        const int nResult = m_db.Associate(strDirectory.c_str(), info.abPathOrder, nullptr);
        if (nResult == CADB::kNotDatabase) {
            Error(strShown + ": not a database directory");
            return false;
        }
        if (nResult != CADB::kOk) {
            Error(strShown + ": cannot attach to the database (its transaction store is "
                  "missing or cannot be recovered)");
            return false;
        }
        if (m_db.Open(nWrite, nTimeout) == 0) {
            Error(strShown + ": access not granted within " + std::to_string(nTimeout) +
                  " ms; another program is using the database");
            return false;
        }
        return true;
    }
    void Commit() { m_db.Close(1); }
    CADB& Db() { return m_db; }

private:
    CADB m_db;
};

int Create(const std::vector<std::string>& vArgs)
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
    const std::string strDirectory = DatabaseDirectory(vArgs[0]);
    const int nResult = velk::CreateDatabase(strDirectory.c_str(), info);
    if (nResult == CADB::kExists) {
        Error(Shown(strDirectory) + ": exists and is not empty");
        return kExitFailed;
    }
    if (nResult != CADB::kOk) {
        Error("a parameter is out of range: the name size must be 2 or more, parameter 1 "
              "1 or more, and no size above " +
              std::to_string(velk::kMaxDatabaseFieldSize));
        return kExitFailed;
    }
    Out("created " + Shown(strDirectory) + "\n");
    return kExitOk;
}

int Add(const std::vector<std::string>& vArgs, std::uint32_t nTimeout)
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

// The id of attribute strName, or 0 after printing the error.
std::uint32_t RequireAttribute(CADB& db, const std::string& strName)
{
    const std::uint32_t nId = velk::FindAttribute(db, strName.c_str());
    if (nId == 0)
        Error("no attribute \"" + strName + "\"");
    return nId;
}

int Link(const std::vector<std::string>& vArgs, std::uint32_t nTimeout)
{
    if (vArgs.size() < 3)
        return Usage("link needs a directory, a name and at least one file id");
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
        if (velk::LinkFile(db.Db(), nId, nFile) == CADB::kOk)
            strReport += "linked " + std::to_string(nFile) + "\n";
        else
            strReport += std::to_string(nFile) + " is linked already\n";
    }
    db.Commit();
    Out(strReport);
    return kExitOk;
}

int Rename(const std::vector<std::string>& vArgs, std::uint32_t nTimeout)
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

int Merge(const std::vector<std::string>& vArgs, std::uint32_t nTimeout)
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

int List(const std::vector<std::string>& vArgs, std::uint32_t nTimeout)
{
    if (vArgs.size() != 1)
        return Usage("list needs a directory");
    COpenDatabase db;
    if (!db.Open(vArgs[0], 0, nTimeout))
        return kExitFailed;
    std::string strReport;
    {
        std::unique_ptr<CADB::IFindAtt, void (*)(CADB::IFindAtt*)> pFind(
            db.Db().CreateFindAtt(), [](CADB::IFindAtt* p) { delete p; });
        if (!pFind)
            throw std::bad_alloc();
        if (pFind->GetCount() > 0) {
            int nMove = CADB::kOk;
            do {
                std::unique_ptr<CADB::IAttInfo> pInfo(pFind->GetAttInfo());
                std::vector<char> vName(pInfo->GetName(nullptr, 0));
                pInfo->GetName(vName.data(), static_cast<std::uint32_t>(vName.size()));
                strReport += std::string(vName.data()) + "\t" + std::to_string(pInfo->GetId()) +
                             "\t" + std::to_string(pInfo->GetRefCount()) + "\n";
                nMove = pFind->Next(1, 1);
            } while (nMove == CADB::kOk);
            if (nMove != CADB::kEndOfWalk) {
                Error("the name index cannot be walked; run adbtool check");
                return kExitFailed;
            }
        }
    }
    Out(strReport);
    return kExitOk;
}

int Check(const std::vector<std::string>& vArgs, std::uint32_t nTimeout)
{
    if (vArgs.size() != 1)
        return Usage("check needs a directory");
    std::vector<std::string> vProblems;
    const std::string strDirectory = DatabaseDirectory(vArgs[0]);
    velk::CheckDatabase(strDirectory.c_str(), nTimeout, &vProblems);
    std::string strReport;
    for (const std::string& strProblem : vProblems)
        strReport += strProblem + "\n";
    if (vProblems.empty()) {
        Out(Shown(strDirectory) + ": no problems found\n");
        return kExitOk;
    }
    Out(strReport);
    Error(Shown(strDirectory) + ": " + std::to_string(vProblems.size()) + " problem(s) found");
    return kExitFailed;
}

int Recover(const std::vector<std::string>& vArgs, std::uint32_t nTimeout)
{
    if (vArgs.size() != 2)
        return Usage("recover needs the damaged database's directory and a new directory");
    const std::string strSource = DatabaseDirectory(vArgs[0]);
    const std::string strTarget = DatabaseDirectory(vArgs[1]);
    velk::SRecoveryReport report;
    std::string strError;
    const int nResult =
        velk::RecoverDatabase(strSource.c_str(), strTarget.c_str(), nTimeout, &report, &strError);
    if (nResult == velk::kRecoverFailed) {
        Error(Shown(strSource) + ": nothing was recovered into " + Shown(strTarget) + ": " +
              strError);
        return kExitFailed;
    }
    std::string strReport =
        "recovered " + Shown(strSource) + " into " + Shown(strTarget) + "\n";
    for (const std::string& strLine : report.Lines())
        strReport += strLine + "\n";
    Out(strReport);
    if (nResult == velk::kRecoverLost) {
        Error(Shown(strTarget) + ": a sound database, but something was lost (see above)");
        return kExitFailed;
    }
    return kExitOk;
}

int Run(const std::vector<std::string>& vArgs)
{
    std::uint32_t nTimeout = 30000;
    size_t i = 1;
    while (i < vArgs.size() && vArgs[i] == "--timeout") {
        if (i + 1 >= vArgs.size() || !ParseNumber(vArgs[i + 1], &nTimeout))
            return Usage("--timeout needs a number of milliseconds");
        i += 2;
    }
    if (i >= vArgs.size())
        return Usage("no command given");
    const std::string strCommand = vArgs[i];
    const std::vector<std::string> vRest(vArgs.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                         vArgs.end());
    if (strCommand == "help" || strCommand == "--help" || strCommand == "-h") {
        Out(kHelp);
        return kExitOk;
    }
    if (strCommand == "create")
        return Create(vRest);
    if (strCommand == "add")
        return Add(vRest, nTimeout);
    if (strCommand == "link")
        return Link(vRest, nTimeout);
    if (strCommand == "rename")
        return Rename(vRest, nTimeout);
    if (strCommand == "merge")
        return Merge(vRest, nTimeout);
    if (strCommand == "list")
        return List(vRest, nTimeout);
    if (strCommand == "check")
        return Check(vRest, nTimeout);
    if (strCommand == "recover")
        return Recover(vRest, nTimeout);
    return Usage("unknown command " + strCommand);
}

}  // namespace

int AdbToolRefuseArgument(size_t nArgument, size_t nPosition, const std::string& strCharacter)
{
    Error("argument " + std::to_string(nArgument) + ", character " + std::to_string(nPosition) +
          " (" + strCharacter +
          ") cannot be kept exactly in the system's code page, in which the database "
          "keeps names and paths; nothing was done");
    return kExitUsage;
}

int AdbToolMain(const std::vector<std::string>& vArgs)
{
    try {
        return Run(vArgs);
    } catch (const std::bad_alloc&) {
        Error("out of memory; nothing was changed");
    } catch (...) {
        Error("the database is damaged or could not be read or written; nothing was "
              "changed (adbtool check lists the problems)");
    }
    return kExitFailed;
}

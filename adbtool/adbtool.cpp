#include "adbtool/adbtool.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "engine/bptree/key_order.h"
#include "engine/database/adb.h"
#include "adbtool/adb_dump.h"
#include "engine/salvage/adb_recover.h"
#include "adbtool/adb_summary.h"
#include "engine/database/adb_tools.h"
#include "engine/base/fault.h"
#include "engine/path/path.h"
#include "platform/codepage.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/system_error.h"

using velk::CADB;

namespace {

enum { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitBusy = 3 };

// The database directory the command works on, as the user knows it: every
// failure names it.
std::string g_strShownDirectory;

// --json: one JSON document on standard output instead of the text.
bool g_bJson = false;

using Json = nlohmann::ordered_json;

// Code-page text for a JSON document, which is UTF-8.
std::string Utf8(const std::string& strAnsi)
{
    return platform::AnsiToUtf8Text(strAnsi);
}

// Writes the document as bytes: UTF-8 on both targets, never converted for the
// console.
void OutJson(const Json& document)
{
    const std::string strText = document.dump(2) + "\n";
    std::fwrite(strText.data(), 1, strText.size(), stdout);
    std::fflush(stdout);
}

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
        g_strShownDirectory = strShown;
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
        platform::ForgetSystemError();
        const auto start = std::chrono::steady_clock::now();
        if (m_db.Open(nWrite, nTimeout) == 0) {
            // A refusal before the time is up is no wait for another program.
            const std::string strReason = platform::LastSystemError();
            if (!strReason.empty() && std::chrono::steady_clock::now() - start <
                                          std::chrono::milliseconds(nTimeout)) {
                Error(strShown + ": cannot be opened for " +
                      (nWrite ? "writing: " : "reading: ") + strReason);
                return false;
            }
            Error(strShown + ": access not granted within " + std::to_string(nTimeout) +
                  " ms; another program is using the database (try again later, or give "
                  "--timeout more time)");
            return false;
        }
        return true;
    }
    void Commit() { m_db.Close(1); }
    CADB& Db() { return m_db; }

private:
    CADB m_db;
};

// Makes a new database in the directory strArgument; prints why not.
int CreateWith(const std::string& strArgument, const velk::SDatabaseInfo& info)
{
    const std::string strDirectory = DatabaseDirectory(strArgument);
    g_strShownDirectory = Shown(strDirectory);
    if (velk::CPath(strDirectory.c_str()).IsEmpty()) {
        Error(strArgument + ": not a usable directory name (no empty parts, no device "
              "names such as NUL or CON, none of the characters <>:\"|?*)");
        return kExitFailed;
    }
    platform::ForgetSystemError();
    int nResult = CADB::kFailed;
    try {
        nResult = velk::CreateDatabase(strDirectory.c_str(), info);
    } catch (const velk::CFault&) {
        const std::string strReason = platform::LastSystemError();
        Error(g_strShownDirectory + ": the database could not be made: " +
              (strReason.empty() ? "a file could not be written" : strReason) +
              "; what was made stays and may be removed");
        return kExitFailed;
    }
    if (nResult == CADB::kExists) {
        Error(Shown(strDirectory) + ": exists and is not empty");
        return kExitFailed;
    }
    const std::string strReason = platform::LastSystemError();
    if (nResult != CADB::kOk && !strReason.empty()) {
        Error(g_strShownDirectory + ": the database could not be made: " + strReason);
        return kExitFailed;
    }
    if (nResult != CADB::kOk) {
        Error("a parameter is out of range: the name size must be 2 or more, parameter 1 "
              "1 or more, and no size above " +
              std::to_string(velk::kMaxDatabaseFieldSize));
        return kExitFailed;
    }
    return kExitOk;
}

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
    if (vArgs[0].empty())
        return Usage("DIR is empty");
    const int nResult = CreateWith(vArgs[0], info);
    if (nResult != kExitOk)
        return nResult;
    Out("created " + g_strShownDirectory + "\n");
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

// link and unlink: adds the file ids to the list of attribute vArgs[1], or removes
// them from it, all in one transaction.
int Link(const std::vector<std::string>& vArgs, std::uint32_t nTimeout, bool bUnlink)
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

// A name as list prints it: one row per attribute whatever the name holds. A
// backslash becomes "\\", tab, line feed and carriage return "\t", "\n" and "\r",
// other control bytes "\xHH"; the bytes of a double-byte character stay as they
// are, since its second byte may be a backslash.
std::string Escaped(const std::string& strName)
{
    std::string strOut;
    for (size_t i = 0; i < strName.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(strName[i]);
        if (platform::IsLeadByte(b) && i + 1 < strName.size()) {
            strOut += strName.substr(i, 2);
            ++i;
        } else if (b == '\\') {
            strOut += "\\\\";
        } else if (b == '\t') {
            strOut += "\\t";
        } else if (b == '\n') {
            strOut += "\\n";
        } else if (b == '\r') {
            strOut += "\\r";
        } else if (b < 0x20 || b == 0x7F) {
            char sz[8];
            std::snprintf(sz, sizeof(sz), "\\x%02X", b);
            strOut += sz;
        } else {
            strOut += static_cast<char>(b);
        }
    }
    return strOut;
}

int List(const std::vector<std::string>& vArgs, std::uint32_t nTimeout)
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

int Check(const std::vector<std::string>& vArgs, std::uint32_t nTimeout)
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

// The bytes of the files under szPath (a file or a directory, walked without
// entering links).
std::uint64_t StoreSize(const std::string& strPath, unsigned nAttributes)
{
    if ((nAttributes & platform::kFileAttrReparsePoint) != 0)
        return 0;
    if ((nAttributes & platform::kFileAttrDirectory) == 0) {
        platform::CFileHandle file;
        std::uint64_t cb = 0;
        if (platform::FileOpen(strPath.c_str(), platform::kFileAccessRead,
                               platform::kFileShareRead | platform::kFileShareWrite |
                                   platform::kFileShareDelete,
                               platform::kFileOpenExisting, &file, &cb) != platform::kFileOk)
            return 0;
        return cb;
    }
    std::vector<platform::DirEntry> vEntries;
    platform::DirList(strPath.c_str(), &vEntries);
    std::uint64_t cb = 0;
    for (const platform::DirEntry& entry : vEntries)
        cb += StoreSize(strPath + "\\" + entry.strName, entry.nAttributes);
    return cb;
}

const char* OrderName(const unsigned char* pGuid)
{
    for (const SOrder& order : kOrders)
        if (std::memcmp(order.pGuid, pGuid, 16) == 0)
            return order.szName;
    return "unknown";
}

int Info(const std::vector<std::string>& vArgs, std::uint32_t nTimeout)
{
    COpenDatabase db;
    if (!db.Open(vArgs[0], 0, nTimeout))
        return kExitFailed;
    const std::string strDirectory = DatabaseDirectory(vArgs[0]);
    velk::SDatabaseInfo info;
    velk::ReadDatabaseInfo(strDirectory.c_str(), &info);
    const velk::SDatabaseSummary summary = velk::SummarizeDatabase(db.Db());
    const bool bLog = platform::PathExists((strDirectory + "\\transaction\\log").c_str());
    std::vector<platform::DirEntry> vEntries;
    platform::DirList(strDirectory.c_str(), &vEntries);
    std::map<std::string, std::uint64_t> stores;
    for (const platform::DirEntry& entry : vEntries)
        stores[entry.strName] = StoreSize(strDirectory + "\\" + entry.strName, entry.nAttributes);
    struct SParameter {
        const char* szKey;
        std::uint32_t nValue;
        const char* szMeaning;
    };
    const SParameter kParameters[] = {
        {"name_size", info.nAttNameSize, "bytes of an attribute name, NUL included"},
        {"path_key_size", info.nParam1, "bytes of a file path key"},
        {"param2", info.nParam2, "second parameter, kept as given"},
        {"comment_size", info.nCommentSize, "bytes of a comment (0: no comment stores)"},
        {"extra_size", info.nExtraSize, "extra bytes of an attribute record"},
        {"param5", info.nParam5, "fifth parameter, kept as given"},
        {"hash_size", info.nHashSize, "bytes of a file hash (0: no hash stores)"},
    };
    if (g_bJson) {
        Json parameters = Json::object();
        for (const SParameter& parameter : kParameters)
            parameters[parameter.szKey] = parameter.nValue;
        Json storeSizes = Json::object();
        for (const auto& store : stores)
            storeSizes[Utf8(store.first)] = store.second;
        OutJson({{"database", Utf8(g_strShownDirectory)},
                 {"version", std::to_string(info.nVersion >> 16) + "." +
                                 std::to_string(info.nVersion & 0xFFFF)},
                 {"parameters", parameters},
                 {"path_order", OrderName(info.abPathOrder)},
                 {"attributes", summary.nLive},
                 {"forwarders", summary.nForwarders},
                 {"freed_ids", summary.nFreed},
                 {"highest_id", summary.nHighestId},
                 {"file_list_entries", summary.nFileEntries},
                 {"unreadable", summary.nUnreadable},
                 {"store_bytes", storeSizes},
                 {"transaction_log_waiting", bLog}});
        return summary.nUnreadable == 0 ? kExitOk : kExitFailed;
    }
    char sz[160];
    std::string strText = "database            " + g_strShownDirectory + "\n" +
                          "format version      " + std::to_string(info.nVersion >> 16) + "." +
                          std::to_string(info.nVersion & 0xFFFF) + "\n";
    for (const SParameter& parameter : kParameters) {
        std::snprintf(sz, sizeof(sz), "%-19s %-10u %s\n", parameter.szKey,
                      static_cast<unsigned>(parameter.nValue), parameter.szMeaning);
        strText += sz;
    }
    strText += std::string("path_order          ") + OrderName(info.abPathOrder) +
               " (key order of the path index)\n";
    strText += "attributes          " + std::to_string(summary.nLive) + " live, " +
               std::to_string(summary.nForwarders) + " forwarders, " +
               std::to_string(summary.nFreed) + " freed ids, highest id " +
               std::to_string(summary.nHighestId) + "\n";
    strText += "file-list entries   " + std::to_string(summary.nFileEntries) + "\n";
    if (summary.nUnreadable != 0)
        strText += "unreadable          " + std::to_string(summary.nUnreadable) +
                   " records or file lists (adbtool check lists them)\n";
    strText += "stores (bytes)\n";
    for (const auto& store : stores) {
        std::snprintf(sz, sizeof(sz), "  %-17s %llu\n", store.first.c_str(),
                      static_cast<unsigned long long>(store.second));
        strText += sz;
    }
    strText += std::string("transaction log     ") +
               (bLog ? "waiting: the next opening for writing finishes it\n" : "none\n");
    Out(strText);
    return summary.nUnreadable == 0 ? kExitOk : kExitFailed;
}

// Dumps are JSON Lines, UTF-8: a first line with the parameters, then one line per
// attribute record in id order. A name is given twice: "name" to read, and
// "name_bytes", the code-page bytes in hexadecimal, which load takes, so that any
// name survives. Ids without a line are free.
std::string Hex(const std::string& strBytes)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string strHex;
    for (unsigned char b : strBytes) {
        strHex += kDigits[b >> 4];
        strHex += kDigits[b & 15];
    }
    return strHex;
}

bool FromHex(const std::string& strHex, std::string* pBytes)
{
    if (strHex.size() % 2 != 0)
        return false;
    pBytes->clear();
    for (size_t i = 0; i < strHex.size(); i += 2) {
        int n = 0;
        for (size_t k = i; k < i + 2; ++k) {
            const char c = strHex[k];
            const int nDigit = c >= '0' && c <= '9' ? c - '0'
                               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                               : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                      : -1;
            if (nDigit < 0)
                return false;
            n = n * 16 + nDigit;
        }
        *pBytes += static_cast<char>(n);
    }
    return true;
}

const char kDumpFormat[] = "adbtool-dump";

int Dump(const std::vector<std::string>& vArgs, std::uint32_t nTimeout)
{
    COpenDatabase db;
    if (!db.Open(vArgs[0], 0, nTimeout))
        return kExitFailed;
    velk::SDatabaseInfo info;
    velk::ReadDatabaseInfo(DatabaseDirectory(vArgs[0]).c_str(), &info);
    const std::vector<velk::SAttributeRecord> vRecords = velk::ReadAttributeRecords(db.Db());
    std::string strOut =
        Json({{"format", kDumpFormat},
              {"format_version", 1},
              {"version", info.nVersion},
              {"parameters",
               {{"name_size", info.nAttNameSize}, {"path_key_size", info.nParam1},
                {"param2", info.nParam2}, {"comment_size", info.nCommentSize},
                {"extra_size", info.nExtraSize}, {"param5", info.nParam5},
                {"hash_size", info.nHashSize}}},
              {"path_order", Hex(std::string(reinterpret_cast<const char*>(info.abPathOrder),
                                             sizeof(info.abPathOrder)))}})
            .dump() +
        "\n";
    for (const velk::SAttributeRecord& record : vRecords) {
        strOut += Json({{"id", record.nId},
                        {"state", record.nState},
                        {"forward", record.nForward},
                        {"merged_files", record.nMergedFiles},
                        {"name", Utf8(record.strName)},
                        {"name_bytes", Hex(record.strName)},
                        {"extra", Hex(record.strExtra)},
                        {"files", record.vFiles}})
                      .dump() +
                  "\n";
    }
    std::fwrite(strOut.data(), 1, strOut.size(), stdout);
    std::fflush(stdout);
    return kExitOk;
}

// The whole of a dump file, or of standard input for "-".
bool ReadDumpFile(const std::string& strArgument, std::string* pText)
{
    pText->clear();
    if (strArgument == "-") {
        char ab[65536];
        size_t cb;
        while ((cb = std::fread(ab, 1, sizeof(ab), stdin)) > 0)
            pText->append(ab, cb);
        return true;
    }
    platform::CFileHandle file;
    std::uint64_t cbFile = 0;
    if (platform::FileOpen(platform::EnginePathFromUser(strArgument).c_str(),
                           platform::kFileAccessRead, platform::kFileShareRead,
                           platform::kFileOpenExisting, &file, &cbFile) != platform::kFileOk)
        return false;
    char ab[65536];
    std::uint32_t cbRead = 0;
    while (file.Read(ab, sizeof(ab), &cbRead) == platform::kFileOk && cbRead > 0)
        pText->append(ab, cbRead);
    return pText->size() == cbFile;
}

int Load(const std::vector<std::string>& vArgs, std::uint32_t nTimeout)
{
    std::string strText;
    platform::ForgetSystemError();
    if (!ReadDumpFile(vArgs[0], &strText)) {
        const std::string strReason = platform::LastSystemError();
        Error(vArgs[0] + ": cannot be read" + (strReason.empty() ? "" : ": " + strReason));
        return kExitFailed;
    }
    velk::SDatabaseInfo info;
    std::vector<velk::SAttributeRecord> vRecords;
    size_t nLine = 0;
    try {
        size_t nStart = 0;
        while (nStart < strText.size()) {
            size_t nEnd = strText.find('\n', nStart);
            if (nEnd == std::string::npos)
                nEnd = strText.size();
            const Json line = Json::parse(strText.substr(nStart, nEnd - nStart));
            nStart = nEnd + 1;
            ++nLine;
            if (nLine == 1) {
                if (line.at("format") != kDumpFormat || line.at("format_version") != 1)
                    throw std::invalid_argument("not an adbtool dump");
                const Json& parameters = line.at("parameters");
                info.nVersion = line.at("version");
                info.nAttNameSize = parameters.at("name_size");
                info.nParam1 = parameters.at("path_key_size");
                info.nParam2 = parameters.at("param2");
                info.nCommentSize = parameters.at("comment_size");
                info.nExtraSize = parameters.at("extra_size");
                info.nParam5 = parameters.at("param5");
                info.nHashSize = parameters.at("hash_size");
                std::string strOrder;
                if (!FromHex(line.at("path_order"), &strOrder) || strOrder.size() != 16)
                    throw std::invalid_argument("path_order is not 16 bytes in hexadecimal");
                std::memcpy(info.abPathOrder, strOrder.data(), 16);
                continue;
            }
            velk::SAttributeRecord record;
            record.nId = line.at("id");
            record.nState = line.at("state");
            record.nForward = line.at("forward");
            record.nMergedFiles = line.at("merged_files");
            if (!FromHex(line.at("name_bytes"), &record.strName) ||
                !FromHex(line.at("extra"), &record.strExtra))
                throw std::invalid_argument("name_bytes or extra is not hexadecimal");
            record.vFiles = line.at("files").get<std::vector<std::uint32_t>>();
            vRecords.push_back(std::move(record));
        }
        if (nLine == 0)
            throw std::invalid_argument("empty");
    } catch (const std::exception& e) {
        Error(vArgs[0] + ": line " + std::to_string(nLine + 1) + " is not a line of a dump: " +
              e.what() + "; nothing was made");
        return kExitFailed;
    }
    const int nCreated = CreateWith(vArgs[1], info);
    if (nCreated != kExitOk)
        return nCreated;
    COpenDatabase db;
    if (!db.Open(vArgs[1], 1, nTimeout))
        return kExitFailed;
    if (velk::WriteAttributeRecords(db.Db(), vRecords) != CADB::kOk) {
        Error(vArgs[0] + ": the records do not make a database (ids out of order, a name "
              "twice or too long, a forwarder to nowhere); " + g_strShownDirectory +
              " stays empty");
        return kExitFailed;
    }
    db.Commit();
    Out("loaded " + std::to_string(vRecords.size()) + " attribute records into " +
        g_strShownDirectory + "\n");
    return kExitOk;
}

Json Utf8List(const std::vector<std::string>& v)
{
    Json list = Json::array();
    for (const std::string& s : v)
        list.push_back(Utf8(s));
    return list;
}

Json RecoveryJson(const std::string& strSource, const std::string& strTarget, int nResult,
                  const std::string& strError, const velk::SRecoveryReport& report)
{
    const char* szOutcome = nResult == velk::kRecoverComplete ? "complete"
                            : nResult == velk::kRecoverLost   ? "lost"
                                                              : "failed";
    Json document = {{"source", Utf8(strSource)}, {"target", Utf8(strTarget)},
                     {"outcome", szOutcome}};
    if (nResult == velk::kRecoverFailed) {
        document["error"] = Utf8(strError);
        return document;
    }
    Json lostAttributes = Json::array();
    for (const auto& lost : report.vLostAttributes)
        lostAttributes.push_back(
            {{"id", lost.nId}, {"name", Utf8(lost.strName)}, {"why", Utf8(lost.strWhy)}});
    Json listLosses = Json::array();
    for (const auto& loss : report.vListLosses)
        listLosses.push_back({{"id", loss.nId},
                              {"name", Utf8(loss.strName)},
                              {"recovered", loss.nRecovered},
                              {"lost", loss.bUnknown ? Json(nullptr) : Json(loss.nLost)},
                              {"lost_at_least", loss.nLost},
                              {"why", Utf8(loss.strWhy)}});
    document["log"] = Utf8(report.strLog);
    document["log_lost"] = report.bLogLost;
    document["attributes"] = report.nAttributes;
    document["lost_attributes"] = lostAttributes;
    document["entries_recovered"] = report.nEntriesRecovered;
    document["list_losses"] = listLosses;
    document["notes"] = Utf8List(report.vNotes);
    document["copied"] = Utf8List(report.vCopied);
    document["rebuilt"] = Utf8List(report.vRebuilt);
    document["left_empty"] = Utf8List(report.vLeftEmpty);
    document["links_left_out"] = Utf8List(report.vLinksLeftOut);
    document["unknown_parameters"] = Utf8List(report.vUnknownParameters);
    document["uncounted_losses"] = Utf8List(report.vUncounted);
    return document;
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
    if (g_bJson)
        OutJson(RecoveryJson(Shown(strSource), Shown(strTarget), nResult, strError, report));
    if (nResult == velk::kRecoverFailed) {
        Error(Shown(strSource) + ": nothing was recovered into " + Shown(strTarget) + ": " +
              strError);
        return kExitFailed;
    }
    std::string strReport =
        "recovered " + Shown(strSource) + " into " + Shown(strTarget) + "\n";
    for (const std::string& strLine : report.Lines())
        strReport += strLine + "\n";
    if (!g_bJson)
        Out(strReport);
    if (nResult == velk::kRecoverLost) {
        Error(Shown(strTarget) + ": a sound database, but something was lost (see above)");
        return kExitFailed;
    }
    return kExitOk;
}

// Reads the file ids of "link DIR NAME -" from standard input: decimal numbers
// separated by blanks or line ends, so that more ids than a command line holds go
// into one transaction.
std::vector<std::string> IdsFromInput()
{
    std::vector<std::string> vIds;
    std::string strId;
    int c;
    while ((c = std::getchar()) != EOF) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!strId.empty())
                vIds.push_back(strId);
            strId.clear();
        } else {
            strId += static_cast<char>(c);
        }
    }
    if (!strId.empty())
        vIds.push_back(strId);
    return vIds;
}

const char kDescription[] =
    "adbtool " ATTVIEW_VERSION ": makes, changes, lists, checks and salvages\n"
    "attribute databases. DIR is a database directory.";

const char kFooter[] =
    "Options may stand before or after the command; -- ends them, so that a name\n"
    "may start with \"-\". adbtool COMMAND --help explains one command.\n"
    "Every change runs in one write transaction: a command makes all its changes\n"
    "or none.\n"
    "\n"
    "Exit codes: 0 done, 1 the command failed (check: problems found), 2 the\n"
    "command line is wrong, 3 check only: the database is busy, another program\n"
    "kept it from being read.";

// One command's words as the command functions take them: DIR first, then the
// command's other arguments in order.
struct SCommand {
    CLI::App* pApp = nullptr;
    std::vector<std::string> vArgs;
};

int Run(const std::vector<std::string>& vArgsIn)
{
    std::vector<std::string> vArgs(vArgsIn);
    // "/?" asks for help, as on the Windows command line.
    for (std::string& strArg : vArgs)
        if (strArg == "/?")
            strArg = "--help";
    CLI::App app(kDescription, "adbtool");
    app.footer(kFooter);
    app.get_formatter()->column_width(27);
    app.get_formatter()->label("SUBCOMMAND", "COMMAND");
    app.get_formatter()->label("Subcommands", "Commands");
    app.get_formatter()->label("Positionals", "Arguments");
    app.get_formatter()->label("REQUIRED", "");
    app.set_help_flag("-h,--help", "print this help and exit");
    app.fallthrough();
    // A name or path may start with "/": only "/?" stands for help (above).
    app.allow_windows_style_options(false);
    app.require_subcommand(1);
    std::string strTimeout = "30000";
    app.add_option("--timeout", strTimeout,
                   "how long to wait while another program uses\n"
                   "the database, in milliseconds (default 30000)")
        ->type_name("MS");
    bool bVersion = false;
    app.add_flag("--version", bVersion, "print the version and the build");

    std::map<std::string, SCommand> commands;
    auto Command = [&](const char* szName, const char* szHelp) -> SCommand& {
        SCommand& command = commands[szName];
        command.pApp = app.add_subcommand(szName, szHelp);
        command.pApp->group("Commands");
        return command;
    };
    auto Positional = [](SCommand& command, const char* szName, const char* szHelp) {
        // Each positional's value lands in vArgs in the order they are declared.
        const size_t nIndex = command.vArgs.size();
        command.vArgs.emplace_back();
        command.pApp->add_option_function<std::string>(
            szName, [&command, nIndex](const std::string& s) { command.vArgs[nIndex] = s; },
            szHelp)->required()->type_name("");
    };
    auto Rest = [](SCommand& command, const char* szName, const char* szHelp) {
        command.pApp->add_option_function<std::vector<std::string>>(
            szName,
            [&command](const std::vector<std::string>& v) {
                command.vArgs.insert(command.vArgs.end(), v.begin(), v.end());
            },
            szHelp)->required()->type_name("");
    };

    SCommand& create = Command("create", "make a new, empty database");
    Positional(create, "DIR", "the new database's directory: created when\n"
                              "absent, otherwise it must be empty");
    std::vector<std::pair<std::string, std::string>> vCreateOptions;
    struct SCreateOption {
        const char* szName;
        const char* szHelp;
    };
    const SCreateOption kCreateOptions[] = {
        {"--name-size", "bytes of an attribute name, NUL included\n(default 256)"},
        {"--param1", "bytes of a file path key (default 261)"},
        {"--param2", "second parameter, kept as given (default 0)"},
        {"--comment-size", "bytes of a comment; 0: no comment stores\n(default 512)"},
        {"--extra-size", "extra bytes of an attribute record\n(default 0)"},
        {"--param5", "fifth parameter, kept as given (default 0)"},
        {"--hash-size", "bytes of a file hash; 0: no hash stores\n(default 16)"},
        {"--path-order", "key order of the path index:\nNoCaseAscending (default), "
                         "NoCaseDescending,\nBinaryAscending, BinaryDescending,\n"
                         "StringAscending, StringDescending"},
    };
    for (const SCreateOption& option : kCreateOptions) {
        const std::string strName = option.szName;
        create.pApp
            ->add_option_function<std::string>(
                strName,
                [&vCreateOptions, strName](const std::string& s) {
                    vCreateOptions.emplace_back(strName, s);
                },
                option.szHelp)
            ->type_name(strName == "--path-order" ? "ORDER" : "N");
    }

    SCommand& add = Command("add", "register attributes by name");
    Positional(add, "DIR", "the database");
    Rest(add, "NAME", "attribute names; a registered one is reported\n"
                      "with its id and left as it is");
    SCommand& link = Command("link", "add file ids to an attribute's file list");
    Positional(link, "DIR", "the database");
    Positional(link, "NAME", "the attribute");
    Rest(link, "FILEID", "file ids, decimal, 1 to 4294967295; a single\n"
                         "\"-\" reads them from standard input, one or\n"
                         "more per line");
    SCommand& unlink = Command("unlink", "remove file ids from an attribute's file list");
    Positional(unlink, "DIR", "the database");
    Positional(unlink, "NAME", "the attribute");
    Rest(unlink, "FILEID", "file ids as for link; \"-\" reads them from\n"
                           "standard input");
    SCommand& rename = Command("rename", "rename an attribute");
    Positional(rename, "DIR", "the database");
    Positional(rename, "OLD", "the attribute's name");
    Positional(rename, "NEW", "its new name");
    SCommand& merge = Command("merge", "merge one attribute into another");
    Positional(merge, "DIR", "the database");
    Positional(merge, "INTO", "the attribute that stays");
    Positional(merge, "FROM", "the attribute whose files join INTO and\n"
                              "whose name goes away");
    SCommand& list = Command("list", "print every attribute, in name order");
    list.pApp->footer(
        "Prints one line per attribute: NAME<tab>ID<tab>FILES. In NAME a backslash\n"
        "is written \\\\, a tab \\t, a line feed \\n, a carriage return \\r and other\n"
        "control characters \\xHH. FILES is \"?\" when the attribute's file list\n"
        "cannot be read; the rows that can be read are printed, and the exit code\n"
        "is 1.");
    Positional(list, "DIR", "the database");
    list.pApp->add_flag("--json", g_bJson, "print one JSON document (UTF-8) instead");
    SCommand& check = Command("check", "check every store and their agreement");
    check.pApp->add_flag("--json", g_bJson, "print one JSON document (UTF-8) instead");
    check.pApp->footer("Prints each problem found; exits with 1 when there is one.");
    Positional(check, "DIR", "the database");
    SCommand& info = Command("info", "print the parameters, counts and store sizes");
    Positional(info, "DIR", "the database");
    info.pApp->add_flag("--json", g_bJson, "print one JSON document (UTF-8) instead");
    info.pApp->footer(
        "Prints the parameters and what they mean, the key order of the path index,\n"
        "the numbers of attributes, forwarders and freed ids, the entries of the\n"
        "file lists, the bytes of each store, and whether a transaction log waits.");
    SCommand& dump = Command("dump", "write the whole database as text");
    Positional(dump, "DIR", "the database");
    dump.pApp->footer(
        "Writes JSON Lines in UTF-8 to standard output: a line with the parameters,\n"
        "then one per attribute record in id order (id, state 0 live or 2 merged,\n"
        "forward id, count of merged-in files, name, name_bytes: the name's bytes\n"
        "in hexadecimal, extra data in hexadecimal, file ids). Ids without a line\n"
        "are free. adbtool load makes the same database from it.");
    SCommand& load = Command("load", "make a new database from a dump");
    Positional(load, "DUMPFILE", "a file written by adbtool dump; - reads\nstandard input");
    Positional(load, "NEWDIR", "the new database's directory (absent or\nempty)");
    SCommand& recover = Command("recover", "salvage a damaged database into a new one");
    recover.pApp->footer(
        "Reads what still reads of DIR (never writing there) into a new database\n"
        "with the same parameters and attribute ids, and prints what was recovered\n"
        "and what was lost. Exit 0: nothing lost; 1: something lost.");
    Positional(recover, "DIR", "the damaged database (only read)");
    recover.pApp->add_flag("--json", g_bJson, "print one JSON document (UTF-8) instead");
    Positional(recover, "NEWDIR", "the new database's directory (absent or\nempty)");

    try {
        // CLI11 takes the arguments last first, without the program.
        std::vector<std::string> vReversed(vArgs.rbegin(), vArgs.rend());
        if (!vReversed.empty())
            vReversed.pop_back();
        // --version needs no command.
        for (const std::string& strArg : vArgs)
            if (strArg == "--")
                break;
            else if (strArg == "--version")
                app.require_subcommand(0, 1);
        app.parse(vReversed);
    } catch (const CLI::CallForHelp&) {
        Out(app.help());
        return kExitOk;
    } catch (const CLI::ExtrasError& e) {
        const std::string strWhat = e.what();
        return Usage("unexpected argument '" + strWhat.substr(strWhat.find(": ") + 2) + "'");
    } catch (const CLI::ParseError& e) {
        std::string strWhat = e.what();
        const size_t nAt = strWhat.find("A subcommand is required");
        if (nAt != std::string::npos)
            strWhat = "no command given";
        return Usage(strWhat);
    }
    if (bVersion) {
        Out("adbtool " ATTVIEW_VERSION " (build " ATTVIEW_BUILD_ID ")\n");
        return kExitOk;
    }
    std::uint32_t nTimeout = 0;
    if (!ParseNumber(strTimeout, &nTimeout))
        return Usage("--timeout needs a number of milliseconds");
    const std::string strCommand = app.get_subcommands().front()->get_name();
    std::vector<std::string>& vRest = commands[strCommand].vArgs;
    if (strCommand == "create") {
        for (const auto& option : vCreateOptions) {
            vRest.push_back(option.first);
            vRest.push_back(option.second);
        }
        return Create(vRest);
    }
    if (strCommand == "add")
        return Add(vRest, nTimeout);
    if (strCommand == "link" || strCommand == "unlink") {
        if (vRest.size() == 3 && vRest[2] == "-") {
            const std::vector<std::string> vIds = IdsFromInput();
            vRest.pop_back();
            vRest.insert(vRest.end(), vIds.begin(), vIds.end());
        }
        return Link(vRest, nTimeout, strCommand == "unlink");
    }
    if (strCommand == "rename")
        return Rename(vRest, nTimeout);
    if (strCommand == "merge")
        return Merge(vRest, nTimeout);
    if (strCommand == "list")
        return List(vRest, nTimeout);
    if (strCommand == "check")
        return Check(vRest, nTimeout);
    if (strCommand == "info")
        return Info(vRest, nTimeout);
    if (strCommand == "dump")
        return Dump(vRest, nTimeout);
    if (strCommand == "load")
        return Load(vRest, nTimeout);
    return Recover(vRest, nTimeout);
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
        const std::string strReason = platform::LastSystemError();
        const std::string strDirectory =
            g_strShownDirectory.empty() ? "the database" : g_strShownDirectory;
        if (!strReason.empty())
            Error(strDirectory + ": could not be read or written: " + strReason +
                  "; nothing was changed");
        else
            Error(strDirectory + ": the database is damaged; nothing was changed. adbtool "
                  "check " + strDirectory + " lists the problems, and adbtool recover " +
                  strDirectory + " NEWDIR salvages it");
    }
    return kExitFailed;
}

// info: a database's parameters, counts and store sizes.
#include <cstdio>
#include <map>

#include "adbtool/adb_arguments.h"
#include "adbtool/adb_commands.h"
#include "adbtool/adb_output.h"
#include "adbtool/adb_summary.h"
#include "adbtool/open_database.h"
#include "platform/file.h"

namespace adbtool {

namespace {

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

}  // namespace

int Info(const Words& vArgs, std::uint32_t nTimeout)
{
    COpenDatabase db;
    if (!db.Open(vArgs[0], 0, nTimeout))
        return kExitFailed;
    const std::string& strDirectory = db.Directory();
    const velk::SDatabaseInfo& info = db.Info();
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

}  // namespace adbtool

// dump and load: a database as portable text, and a new database from it.
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "adbtool/adb_arguments.h"
#include "adbtool/adb_commands.h"
#include "adbtool/adb_dump.h"
#include "adbtool/adb_output.h"
#include "adbtool/open_database.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/system_error.h"

using velk::CADB;

namespace adbtool {

namespace {

// Dumps are JSON Lines, UTF-8: a first line with the parameters, then one line per
// attribute record in id order. A name is given twice: "name" to read, and
// "name_bytes", the code-page bytes in hexadecimal, which load takes, so that any
// name survives. The first line gives the highest id in use or freed, and the ids
// up to it without a line are free.
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

}  // namespace

int Dump(const Words& vArgs, std::uint32_t nTimeout)
{
    COpenDatabase db;
    if (!db.Open(vArgs[0], 0, nTimeout))
        return kExitFailed;
    const velk::SDatabaseInfo& info = db.Info();
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
                                             sizeof(info.abPathOrder)))},
              {"highest_id", velk::HighestAttributeId(db.Db())}})
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

namespace {

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

}  // namespace

int Load(const Words& vArgs, std::uint32_t nTimeout)
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
    std::uint32_t nHighestId = 0;
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
                // Dumps made before the field have no freed ids after the last record.
                if (line.contains("highest_id"))
                    nHighestId = line.at("highest_id");
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
    if (velk::WriteAttributeRecords(db.Db(), vRecords, nHighestId) != CADB::kOk) {
        Error(vArgs[0] + ": the records do not make a database (ids out of order or too "
              "high, a name twice or too long, a forwarder to nowhere); " +
              g_strShownDirectory + " stays empty");
        return kExitFailed;
    }
    db.Commit();
    Out("loaded " + std::to_string(vRecords.size()) + " attribute records into " +
        g_strShownDirectory + "\n");
    return kExitOk;
}

}  // namespace adbtool

// The floor under the tool's time: a program that does only the file work the
// tool's job cannot avoid on the same application directory, through the same
// platform layer (so that opens honour the same share modes), and nothing else.
//
//   tool_floor <application directory> <source view> all|headers
//
// - read the source view once;
// - read the name index's three files and the attribute records once, whole;
// - for every attribute record: open, read and close its file list's files: all
//   three ("all": the header, and the two record files whose damage the listing
//   must notice), or only the header "bptinfo" ("headers");
// - the flushes of a durable commit: a log written and flushed, its directory
//   flushed (the commit marker), a target written and flushed;
// - the old view renamed to a backup name, the new view written once.
// Exit code 0 when everything could be done.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/process.h"

namespace {

// Opens path for reading as the engine does, reads up to cbMax bytes (all when
// 0) into *pBytes and closes it.
bool ReadWhole(const std::string& path, std::uint32_t cbMax, std::string* pBytes)
{
    platform::CFileHandle file;
    std::uint64_t cbFile = 0;
    if (platform::FileOpen(path.c_str(), platform::kFileAccessRead, platform::kFileShareRead,
                           platform::kFileOpenExisting, &file, &cbFile) != platform::kFileOk)
        return false;
    const std::uint32_t cb = static_cast<std::uint32_t>(
        cbMax != 0 && cbFile > cbMax ? cbMax : cbFile);
    pBytes->resize(cb);
    std::uint32_t cbRead = 0;
    return cb == 0 || (file.Read(&(*pBytes)[0], cb, &cbRead) == platform::kFileOk && cbRead == cb);
}

bool WriteWhole(const std::string& path, const std::string& bytes, bool bFlush)
{
    platform::CFileHandle file;
    std::uint32_t cbWritten = 0;
    return platform::FileOpen(path.c_str(), platform::kFileAccessWrite, 0,
                              platform::kFileCreateAlways, &file) == platform::kFileOk &&
           file.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &cbWritten) ==
               platform::kFileOk &&
           cbWritten == bytes.size() && (!bFlush || file.Flush() == platform::kFileOk);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> vArgs = platform::EngineArguments(argc, argv);
    if (vArgs.size() != 4)
        return 2;
    const std::string& app = vArgs[1];
    const bool bAll = vArgs[3] == "all";
    const std::string db = app + "\\db\\adb";
    const std::string lists = db + "\\fidlists\\";

    std::string view;
    if (!ReadWhole(vArgs[2], 0, &view))
        return 1;

    std::string bytes;
    for (const char* szName : {"\\attname_db\\bptinfo", "\\attname_db\\index", "\\attname_db\\leaf"}) {
        if (!ReadWhole(db + szName, 0, &bytes))
            return 1;
    }
    if (!ReadWhole(db + "\\attinfo_db", 0, &bytes) || bytes.size() < 16)
        return 1;
    const std::uint32_t nRecords = static_cast<std::uint8_t>(bytes[12]) |
                                   static_cast<std::uint8_t>(bytes[13]) << 8 |
                                   static_cast<std::uint8_t>(bytes[14]) << 16 |
                                   static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[15])) << 24;
    const std::vector<const char*> vFiles =
        bAll ? std::vector<const char*>{"\\bptinfo", "\\index", "\\leaf"}
             : std::vector<const char*>{"\\bptinfo"};
    for (std::uint32_t nId = 1; nId <= nRecords; ++nId) {
        const std::string list = lists + std::to_string(nId);
        for (const char* szFile : vFiles) {
            // A record file's header and free list, as far as one page holds them.
            if (!ReadWhole(list + szFile, 4096, &bytes))
                return 1;
        }
    }

    // The commit's two flush points and its marker.
    const std::string log = app + "\\floor-log";
    if (!WriteWhole(log, std::string(65536, 'L'), true) ||
        platform::DirFlush(app.c_str()) != platform::kFileOk ||
        !WriteWhole(log, std::string(65536, 'T'), true) ||
        platform::FileRemove(log.c_str()) != platform::kFileOk)
        return 1;

    const std::string target = app + "\\db\\attview.xml";
    const std::string backup = app + "\\db\\attview_floor.xml";
    const bool bMoved = platform::FileMove(target.c_str(), backup.c_str()) == platform::kFileOk;
    if (!WriteWhole(target, view, false))
        return 1;
    if (bMoved)
        platform::FileRemove(backup.c_str());
    return 0;
}

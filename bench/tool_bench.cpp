// The whole tool on a generated application directory: a database with N
// attributes (file lists of varied sizes) and a view naming them with stale ids,
// a few hundred names the database lacks, and a tenth of the attributes missing.
// Prints the time of one run for N = 10,000 and 100,000 (peak memory: run the
// printed command under /usr/bin/time -v).
#include <chrono>
#include <cstdio>
#include <string>

#include "engine/database/adb.h"
#include "engine/database/adb_tools.h"
#include "platform/file.h"
#include "platform/process.h"
#include "tool/database_steps.h"

namespace {

bool MakeApp(const std::string& dir, int nAtts)
{
    platform::DirCreate(dir.c_str());
    platform::DirCreate((dir + "\\db").c_str());
    const std::string self = platform::OwnExecutablePath();
    const std::string tool = self.substr(0, self.find_last_of('\\') + 1) + "attview-restore" +
                             platform::kExecutableSuffix;
    if (platform::FileCopy(tool.c_str(), (dir + "\\attview-restore").c_str()) != platform::kFileOk)
        return false;
    const std::string db = dir + "\\db\\adb";
    if (velk::CreateDatabase(db.c_str(), velk::SDatabaseInfo()) != 0)
        return false;
    velk::CADB adb;
    if (adb.Associate(db.c_str(), kNoCaseAscendingId, nullptr) != 0 || adb.Open(1, 1000) == 0)
        return false;
    std::uint32_t nFile = 1;
    for (int i = 0; i < nAtts; ++i) {
        std::uint32_t nId = 0;
        const std::string name = "attribute " + std::to_string(i);
        adb.AddAtt(name.c_str(), &nId);
        for (int k = 0; k < i % 7; ++k)
            velk::LinkFile(adb, nId, nFile++);
    }
    adb.Close(1);

    std::string view = "<?xml version=\"1.0\" encoding=\"shift_jis\"?>\r\n<attview>\r\n\t<root>\r\n";
    for (int i = 0; i < nAtts; ++i) {
        if (i % 10 == 9)
            continue;  // missing from the view
        view += "\t\t<item category=\"0\" icon=\"1\" id_att=\"" + std::to_string(i + 100000) +
                "\" name=\"attribute " + std::to_string(i) + "\"/>\r\n";
    }
    for (int i = 0; i < 300; ++i)
        view += "\t\t<item category=\"0\" icon=\"1\" id_att=\"1\" name=\"unknown " +
                std::to_string(i) + "\"/>\r\n";
    view += "\t</root>\r\n</attview>\r\n";
    platform::CFileHandle file;
    std::uint32_t cb = 0;
    return platform::FileOpen((dir + "\\source.xml").c_str(), platform::kFileAccessWrite, 0,
                              platform::kFileCreateAlways, &file) == platform::kFileOk &&
           file.Write(view.data(), static_cast<std::uint32_t>(view.size()), &cb) == platform::kFileOk;
}

}  // namespace

int main()
{
    for (int nAtts : {10000, 100000}) {
        const std::string dir = platform::TempDirectory() + "attview-tool-bench-" + std::to_string(nAtts);
        if (!MakeApp(dir, nAtts)) {
            std::printf("could not make %s\n", dir.c_str());
            return 1;
        }
        platform::CChildProcess tool;
        const auto start = std::chrono::steady_clock::now();
        tool.Start(dir + "\\attview-restore", {"attview-restore", dir + "\\source.xml"});
        int nCode = -1;
        tool.Wait(-1, &nCode);
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%6d attributes: %.2f s, exit code %d  (%s)\n", nAtts, s, nCode, dir.c_str());
    }
    return 0;
}

// The whole tool on a generated application directory beside its floor: a
// database with N attributes (file lists of varied sizes) and a view naming them
// with stale ids, a few hundred names the database lacks, and a tenth of the
// attributes missing. For each N the tool runs once untimed (it registers the
// missing names) and each floor once untimed, then, at least five times in turn:
// the tool, the floor (tool_floor "all": every file list's three files opened,
// read and closed, the view read and written once, a commit's flushes), the
// header floor (only each list's "bptinfo"), and the tool on a view with 100 new
// names, which it registers (the database grows by 100 attributes a repetition).
// Prints the median time of each with its range, the ratios, and the tool's peak
// memory. "view" runs the tool instead on a view of 200,000 items in 10,000
// categories over 20,000 attributes (18.2 MB), the largest case of the benchmark.
//
//   tool_bench [repetitions [N...]]      default: 5 repetitions, N = 1000 10000 100000
//   tool_bench view [repetitions]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/runs.h"
#include "engine/database/adb.h"
#include "engine/database/adb_tools.h"
#include "engine/txstore/remove_tree.h"
#include "platform/file.h"
#include "platform/process.h"
#include "tool/database_steps.h"

namespace {

// Names each timed registering run adds to the database.
constexpr int kRegistered = 100;

std::string BesideMe(const char* szName)
{
    const std::string self = platform::OwnExecutablePath();
    return self.substr(0, self.find_last_of('\\') + 1) + szName + platform::kExecutableSuffix;
}

bool WriteView(const std::string& path, int nAtts, int nUnknown, const std::string& unknown);

// A fresh application directory: the tool, its database and a source view.
bool MakeApp(const std::string& dir, int nAtts)
{
    velk::RemoveTree(dir.c_str(), nullptr, 0, 0);
    platform::DirCreate(dir.c_str());
    platform::DirCreate((dir + "\\db").c_str());
    const std::string tool = dir + "\\attview-restore" + platform::kExecutableSuffix;
    if (platform::FileCopy(BesideMe("attview-restore").c_str(), tool.c_str()) != platform::kFileOk)
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

    return WriteView(dir + "\\source.xml", nAtts, 300, "unknown ");
}

// A view naming nAtts - nAtts / 10 of the database's attributes with stale ids,
// and nUnknown names the database lacks (unknown followed by a number).
bool WriteView(const std::string& path, int nAtts, int nUnknown, const std::string& unknown)
{
    std::string view = "<?xml version=\"1.0\" encoding=\"shift_jis\"?>\r\n<attview>\r\n\t<root>\r\n";
    for (int i = 0; i < nAtts; ++i) {
        if (i % 10 == 9)
            continue;  // missing from the view
        view += "\t\t<item category=\"0\" icon=\"1\" id_att=\"" + std::to_string(i + 100000) +
                "\" name=\"attribute " + std::to_string(i) + "\"/>\r\n";
    }
    for (int i = 0; i < nUnknown; ++i)
        view += "\t\t<item category=\"0\" icon=\"1\" id_att=\"1\" name=\"" + unknown +
                std::to_string(i) + "\"/>\r\n";
    view += "\t</root>\r\n</attview>\r\n";
    platform::CFileHandle file;
    std::uint32_t cb = 0;
    return platform::FileOpen(path.c_str(), platform::kFileAccessWrite, 0, platform::kFileCreateAlways,
                              &file) == platform::kFileOk &&
           file.Write(view.data(), static_cast<std::uint32_t>(view.size()), &cb) == platform::kFileOk;
}

// MakeApp in a process of its own: a child's peak memory as POSIX reports it
// includes what its parent held when it started it, and the database's making
// leaves this process holding up to hundreds of megabytes.
bool MakeAppApart(const std::string& dir, int nAtts)
{
    platform::CChildProcess child;
    int nCode = -1;
    return child.Start(BesideMe("tool_bench"), {"tool_bench", "make", dir, std::to_string(nAtts)}) == 0 &&
           child.Wait(-1, &nCode) && nCode == 0;
}

struct Run {
    double s = 0;
    int nCode = -1;
    std::uint64_t cbPeak = 0;
};

Run Time(const std::string& program, const std::vector<std::string>& vArgs)
{
    Run run;
    platform::CChildProcess child;
    const auto start = std::chrono::steady_clock::now();
    if (child.Start(program, vArgs) != 0)
        return run;
    child.Wait(-1, &run.nCode);
    run.s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cbPeak = child.PeakMemory();
    return run;
}

void PrintToolAndFloor(const bench::CSpread& tool_s, std::uint64_t cbPeak, const bench::CSpread& floor_s,
                       const bench::CSpread& ratio)
{
    std::printf("  tool          %8.3f s [%.3f - %.3f]   peak memory %.1f MB\n", tool_s.Median(), tool_s.Min(),
                tool_s.Max(), static_cast<double>(cbPeak) / 1e6);
    std::printf("  floor         %8.3f s [%.3f - %.3f]   tool / floor %.2f [%.2f - %.2f]\n", floor_s.Median(),
                floor_s.Min(), floor_s.Max(), ratio.Median(), ratio.Min(), ratio.Max());
}

// The largest view of the benchmark: kViewItems items in categories of 20 over
// the nAtts attributes of the database, each item with the five attributes the
// application writes (18.2 MB for 20,000 attributes).
constexpr int kViewItems = 200000;

bool WriteBigView(const std::string& path, int nAtts)
{
    platform::CFileHandle file;
    if (platform::FileOpen(path.c_str(), platform::kFileAccessWrite, 0, platform::kFileCreateAlways, &file) !=
        platform::kFileOk)
        return false;
    // Written in pieces, so that this process stays small (see MakeAppApart).
    std::string view = "<?xml version=\"1.0\" encoding=\"shift_jis\"?>\r\n<attview>\r\n\t<root>\r\n";
    auto write = [&](std::size_t cbAtLeast) {
        std::uint32_t cb = 0;
        if (view.size() < cbAtLeast)
            return true;
        const bool bOk = file.Write(view.data(), static_cast<std::uint32_t>(view.size()), &cb) == platform::kFileOk;
        view.clear();
        return bOk;
    };
    for (int k = 0; k < kViewItems; ++k) {
        if (k % 20 == 0)
            view += "\t\t<item category=\"1\" name=\"category " + std::to_string(k / 20) +
                    "\" icon=\"0\" expanded=\"1\" label=\"-1\">\r\n";
        const int a = k % nAtts;
        view += "\t\t\t<item category=\"0\" icon=\"1\" id_att=\"" + std::to_string(a + 100000) +
                "\" name=\"attribute " + std::to_string(a) + "\" ref_count=\"" + std::to_string(a % 7) +
                "\"/>\r\n";
        if (k % 20 == 19)
            view += "\t\t</item>\r\n";
        if (!write(1 << 16))
            return false;
    }
    view += "\t</root>\r\n</attview>\r\n";
    return write(0);
}

// "tool_bench view": the tool on the big view (written afresh before each run,
// since the tool rewrites it) over 20,000 attributes, beside the floor.
int RunBigView(int nRepetitions)
{
    const int nAtts = 20000;
    const std::string dir = platform::TempDirectory() + "attview-tool-bench-view";
    if (!MakeAppApart(dir, nAtts)) {
        std::printf("could not make %s\n", dir.c_str());
        return 1;
    }
    const std::string tool = dir + "\\attview-restore" + platform::kExecutableSuffix;
    const std::string floor = BesideMe("tool_floor");
    const std::string view = dir + "\\big.xml";
    bench::CSpread tool_s, floor_s, ratio;
    std::uint64_t cbPeak = 0;
    bool bFailed = false;
    for (int r = -1; r < nRepetitions; ++r) {  // the first run is not counted
        bFailed = bFailed || !WriteBigView(view, nAtts);
        const Run t = Time(tool, {"attview-restore", view});
        bFailed = bFailed || !WriteBigView(view, nAtts);
        const Run f = Time(floor, {"tool_floor", dir, view, "all"});
        bFailed = bFailed || t.nCode != 0 || f.nCode != 0;
        cbPeak = std::max(cbPeak, t.cbPeak);
        if (r < 0)
            continue;
        tool_s.Add(t.s);
        floor_s.Add(f.s);
        ratio.Add(t.s / f.s);
    }
    std::printf("view of %d items over %d attributes%s\n", kViewItems, nAtts,
                bFailed ? "  A RUN FAILED: figures are not valid" : "");
    PrintToolAndFloor(tool_s, cbPeak, floor_s, ratio);
    return bFailed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "make")
        return MakeApp(argv[2], std::atoi(argv[3])) ? 0 : 1;
    if (argc > 1 && std::string(argv[1]) == "view") {
        const int nRepetitions = bench::RunsFrom(argc > 2 ? argv[2] : nullptr);
        std::printf("wall time, median [min - max] of %d runs after a discarded one of each program\n",
                    nRepetitions);
        bench::PrintLoad("at start");
        const int nResult = RunBigView(nRepetitions);
        bench::PrintLoad("at end");
        return nResult;
    }
    const int nRepetitions = bench::RunsFrom(argc > 1 ? argv[1] : nullptr);
    std::vector<int> vSizes;
    for (int i = 2; i < argc; ++i)
        vSizes.push_back(std::atoi(argv[i]));
    if (vSizes.empty())
        vSizes = {1000, 10000, 100000};
    const std::string floor = BesideMe("tool_floor");
    std::printf("wall time, median [min - max] of %d runs after a discarded one of each program; "
                "ratio: tool / floor of the same repetition\n",
                nRepetitions);
    bench::PrintLoad("at start");
    for (int nAtts : vSizes) {
        const std::string dir = platform::TempDirectory() + "attview-tool-bench-" + std::to_string(nAtts);
        const auto made = std::chrono::steady_clock::now();
        if (!MakeAppApart(dir, nAtts)) {
            std::printf("could not make %s\n", dir.c_str());
            return 1;
        }
        const double sMake = std::chrono::duration<double>(std::chrono::steady_clock::now() - made).count();
        const std::string tool = dir + "\\attview-restore" + platform::kExecutableSuffix;
        const std::string source = dir + "\\source.xml";
        // The discarded runs: the tool registers the missing names in its first, and
        // each program finds the files in the system's cache afterwards.
        const Run warm = Time(tool, {"attview-restore", source});
        Time(floor, {"tool_floor", dir, source, "all"});
        Time(floor, {"tool_floor", dir, source, "headers"});
        bench::CSpread tool_s, floor_s, header_s, ratio, header_ratio, register_s, register_ratio;
        std::uint64_t cbPeak = warm.cbPeak;
        bool bFailed = warm.nCode != 0;
        for (int r = 0; r < nRepetitions; ++r) {
            const Run t = Time(tool, {"attview-restore", source});
            const Run f = Time(floor, {"tool_floor", dir, source, "all"});
            const Run h = Time(floor, {"tool_floor", dir, source, "headers"});
            // A view with kRegistered names the database lacks, new in every
            // repetition: the tool's run that registers them, beside the same floor.
            const std::string fresh = dir + "\\register.xml";
            bFailed = bFailed || !WriteView(fresh, nAtts, kRegistered, "new " + std::to_string(r) + " ");
            const Run g = Time(tool, {"attview-restore", fresh});
            register_s.Add(g.s);
            register_ratio.Add(g.s / f.s);
            cbPeak = std::max(cbPeak, g.cbPeak);
            bFailed = bFailed || t.nCode != 0 || f.nCode != 0 || h.nCode != 0 || g.nCode != 0;
            cbPeak = std::max(cbPeak, t.cbPeak);
            tool_s.Add(t.s);
            floor_s.Add(f.s);
            header_s.Add(h.s);
            ratio.Add(t.s / f.s);
            header_ratio.Add(t.s / h.s);
        }
        std::printf("%6d attributes (made in %.1f s)%s\n", nAtts, sMake,
                    bFailed ? "  A RUN FAILED: figures are not valid" : "");
        PrintToolAndFloor(tool_s, cbPeak, floor_s, ratio);
        std::printf("  header floor  %8.3f s [%.3f - %.3f]   tool / header floor %.2f [%.2f - %.2f]\n",
                    header_s.Median(), header_s.Min(), header_s.Max(), header_ratio.Median(),
                    header_ratio.Min(), header_ratio.Max());
        std::printf("  tool registering %d names %8.3f s [%.3f - %.3f]   / floor %.2f [%.2f - %.2f]\n",
                    kRegistered, register_s.Median(), register_s.Min(), register_s.Max(),
                    register_ratio.Median(), register_ratio.Min(), register_ratio.Max());
        std::printf("  tool per attribute %.1f us, floor per attribute %.1f us\n",
                    tool_s.Median() / nAtts * 1e6, floor_s.Median() / nAtts * 1e6);
        std::fflush(stdout);
    }
    bench::PrintLoad("at end");
    return 0;
}

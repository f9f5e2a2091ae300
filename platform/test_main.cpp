#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>

#include "platform/fault_injection.h"
#include "platform/file.h"
#include "platform/file_link.h"
#include "platform/test_support.h"

namespace platform {
namespace testing {
namespace {

std::map<std::string, ChildScenario>& Registry()
{
    static std::map<std::string, ChildScenario> registry;
    return registry;
}

}  // namespace

ChildRegistration::ChildRegistration(const char* szName, ChildScenario pfn)
{
    Registry()[szName] = pfn;
}

int StartChild(CChildProcess* pChild, const char* szScenario,
               const std::vector<std::string>& vArgs, const std::string* pInput)
{
    const std::string self = OwnExecutablePath();
    std::vector<std::string> args = {self, "--child", szScenario};
    args.insert(args.end(), vArgs.begin(), vArgs.end());
    return pChild->Start(self, args, pInput);
}

int RunChild(const char* szScenario, const std::vector<std::string>& vArgs, int nTimeoutMs)
{
    CChildProcess child;
    if (StartChild(&child, szScenario, vArgs) != 0)
        return -1001;
    int nCode = 0;
    if (!child.Wait(nTimeoutMs, &nCode)) {
        child.Kill();
        child.Wait(-1, &nCode);
        return -1000;
    }
    return nCode;
}

std::string BinaryDirectory()
{
    std::string path = OwnExecutablePath();
    const size_t n = path.find_last_of('\\');
    return n == std::string::npos ? std::string() : path.substr(0, n + 1);
}

bool RemoveTree(const std::string& strPath)
{
    unsigned nAttributes = 0;
    if (FileGetAttributes(strPath.c_str(), &nAttributes) != kFileOk)
        return true;
    if ((nAttributes & kFileAttrReparsePoint) != 0)
        return LinkDelete(strPath.c_str()) == kFileOk;
    if ((nAttributes & kFileAttrReadOnly) != 0)
        FileSetAttributes(strPath.c_str(), nAttributes & ~static_cast<unsigned>(kFileAttrReadOnly));
    if ((nAttributes & kFileAttrDirectory) == 0)
        return FileRemove(strPath.c_str()) == kFileOk;
    std::vector<DirEntry> entries;
    DirList(strPath.c_str(), &entries);
    std::string strDir = strPath;
    if (strDir.back() != '\\')
        strDir += '\\';
    bool bAll = true;
    for (const DirEntry& entry : entries)
        bAll = RemoveTree(strDir + entry.strName) && bAll;
    return DirRemove(strPath.c_str()) == kFileOk && bAll;
}

CScratchDir::CScratchDir()
{
    static std::atomic<unsigned> s_nCount{0};
    std::random_device random;
    const std::string strTemp = TempDirectory();
    for (int nTry = 0; nTry < 100 && m_strPath.empty(); ++nTry) {
        const std::string strDir = strTemp + "attview-test-" + std::to_string(random()) + "-" +
                                   std::to_string(++s_nCount);
        const FileResult result = DirCreate(strDir.c_str());
        if (result == kFileOk)
            m_strPath = strDir + "\\";
        else if (result != kFileExists)
            break;
    }
    EXPECT_FALSE(m_strPath.empty()) << "no scratch directory under " << strTemp;
}

std::string ReadFileBytes(const std::string& strPath)
{
    CFileHandle file;
    if (FileOpen(strPath.c_str(), kFileAccessRead, kFileShareRead | kFileShareWrite,
                 kFileOpenExisting, &file) != kFileOk)
        return "<unreadable>";
    std::uint64_t cb = 0;
    file.GetSize(&cb);
    std::string data(static_cast<size_t>(cb), '\0');
    std::uint32_t cbRead = 0;
    if (cb > 0)
        file.Read(&data[0], static_cast<std::uint32_t>(cb), &cbRead);
    data.resize(cbRead);
    return data;
}

void WriteFileBytes(const std::string& strPath, const std::string& strData)
{
    CFileHandle file;
    std::uint32_t cb = 0;
    const bool bOk =
        FileOpen(strPath.c_str(), kFileAccessWrite, 0, kFileCreateAlways, &file) == kFileOk &&
        file.Write(strData.data(), static_cast<std::uint32_t>(strData.size()), &cb) == kFileOk &&
        cb == strData.size();
    EXPECT_TRUE(bOk) << "cannot write " << strPath;
}

namespace {

void AddTree(const std::string& strRoot, const std::string& strRelative,
             std::map<std::string, std::string>* pTree)
{
    std::vector<DirEntry> vEntries;
    DirList((strRoot + strRelative).c_str(), &vEntries);
    for (const DirEntry& entry : vEntries) {
        const std::string path = strRelative + "\\" + entry.strName;
        if (entry.nAttributes & kFileAttrReparsePoint) {
            (*pTree)[path] = "->";
        } else if (entry.nAttributes & kFileAttrDirectory) {
            (*pTree)[path] = "/";
            AddTree(strRoot, path, pTree);
        } else {
            (*pTree)[path] = ReadFileBytes(strRoot + path);
        }
    }
}

}  // namespace

std::map<std::string, std::string> SnapshotTree(const std::string& strRoot)
{
    std::map<std::string, std::string> tree;
    AddTree(strRoot, "", &tree);
    return tree;
}

bool MakeLink(const std::string& strLink, const std::string& strTarget, LinkKind kind)
{
    const FileResult result = LinkCreate(strLink.c_str(), strTarget.c_str(), kind);
    EXPECT_TRUE(result == kFileOk || result == kFileInvalidArgument)
        << strLink << " -> " << strTarget << ": " << result;
    return result == kFileOk;
}

bool LinksBehaveAsLinks()
{
    static const bool s_bFaithful = [] {
        CScratchDir dir;
        const std::string target = dir.Sub("target"), link = dir.Sub("link");
        const std::string moved = dir.Sub("moved"), file = dir.Sub("target\\file");
        DirCreate(target.c_str());
        WriteFileBytes(file, "");
        if (LinkCreate(link.c_str(), target.c_str(), kLinkToDirectory) != kFileOk ||
            FileMove(link.c_str(), moved.c_str()) != kFileOk)
            return false;
        if (!PathExists(file.c_str())) {
            FileMove(moved.c_str(), target.c_str());  // the target moved: put it back
            return false;
        }
        unsigned nAttributes = 0;
        return FileGetAttributes(moved.c_str(), &nAttributes) == kFileOk &&
               (nAttributes & kFileAttrReparsePoint) != 0 &&
               LinkRemove(moved.c_str()) == kFileOk && PathExists(file.c_str());
    }();
    return s_bFaithful;
}

CScratchDir::~CScratchDir()
{
    if (!m_strPath.empty()) {
        EXPECT_TRUE(RemoveTree(m_strPath.substr(0, m_strPath.size() - 1))) << m_strPath;
    }
}

int PrintWritesAndFlushes(void (*pfnWork)(const std::vector<std::string>& vArgs),
                          const std::vector<std::string>& vArgs)
{
    CFaultInjector counter;
    SetFaultInjector(&counter);
    try {
        pfnWork(vArgs);
    } catch (...) {
        SetFaultInjector(nullptr);
        return 97;
    }
    SetFaultInjector(nullptr);
    std::printf("%u %u\n", counter.Writes(), counter.Flushes());
    return 0;
}

bool CountWritesAndFlushes(const char* szScenario, const std::vector<std::string>& vArgs,
                           SRunCounts* pCounts)
{
    CChildProcess child;
    int nCode = -1;
    return StartChild(&child, szScenario, vArgs) == 0 && child.Wait(120000, &nCode) &&
           nCode == 0 &&
           std::sscanf(child.Output().c_str(), "%u %u", &pCounts->nWrites, &pCounts->nFlushes) == 2;
}

std::vector<std::string> CrashPlans(const SRunCounts& counts, unsigned nWriteSteps,
                                    unsigned nTornSteps, unsigned nFlushSteps,
                                    const std::vector<std::string>& vPoints)
{
    std::vector<std::string> vPlans;
    auto sweep = [&](const char* szKind, unsigned nCount, unsigned nSteps) {
        if (nSteps == 0)
            return;
        const unsigned nStride = LongRuns() ? 1 : std::max(1u, nCount / nSteps);
        for (unsigned k = 1; k <= nCount; k += nStride)
            vPlans.push_back(std::string(szKind) + "=" + std::to_string(k));
    };
    sweep("exit-write", counts.nWrites, nWriteSteps);
    sweep("torn-write", counts.nWrites, nTornSteps);
    sweep("exit-flush", counts.nFlushes, nFlushSteps);
    for (const std::string& point : vPoints)
        vPlans.push_back("exit-at=" + point);
    return vPlans;
}

bool LongRuns()
{
    return ATTVIEW_LONG_TESTS != 0;
}

}  // namespace testing
}  // namespace platform

int main(int argc, char** argv)
{
    const char* szFaults = std::getenv("ATTVIEW_FAULTS");
    if (szFaults != nullptr && szFaults[0] != '\0' && !platform::ArmFaults(szFaults))
        return 98;
    if (argc >= 3 && std::strcmp(argv[1], "--child") == 0) {
        const auto& registry = platform::testing::Registry();
        const auto it = registry.find(argv[2]);
        if (it == registry.end())
            return 99;
        std::vector<std::string> args(argv + 3, argv + argc);
        return it->second(args);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// libFuzzer over whole damaged databases (database_damage.h): each input damages
// one of three small databases field by field and runs the open, the enumeration,
// the integrity check and the tool's steps 3 to 7 on it. A crash, a sanitizer
// report, a wrong result (a trap) or a run longer than -timeout is a finding; keep
// it in damage_inputs/, where the normal test run replays it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/file.h"
#include "tool/fuzz/database_damage.h"
#include "tool/fuzz/database_writes.h"

namespace {

std::string g_strScratch;

void RemoveScratch()
{
    if (!g_strScratch.empty())
        RemoveTree(g_strScratch.substr(0, g_strScratch.size() - 1));
}

CDamageRun& Bench()
{
    static CDamageRun* s_pRun = [] {
        std::random_device random;
        for (int nTry = 0; nTry < 100 && g_strScratch.empty(); ++nTry) {
            const std::string strDir =
                platform::TempDirectory() + "attview-dbfuzz-" + std::to_string(random());
            if (platform::DirCreate(strDir.c_str()) == platform::kFileOk)
                g_strScratch = strDir + "\\";
        }
        if (g_strScratch.empty())
            std::abort();
        std::atexit(RemoveScratch);
        return new CDamageRun(g_strScratch);
    }();
    return *s_pRun;
}

}  // namespace

// The databases are made before the first input, outside -timeout.
// DATABASE_FUZZ_WRITES=0 leaves out the writes on each damaged database.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    CDamageRun& run = Bench();
    const char* szWrites = std::getenv("DATABASE_FUZZ_WRITES");
    if (szWrites != nullptr && std::strcmp(szWrites, "0") == 0)
        run.SetWrites(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cb)
{
    const std::string strWrong = Bench().Run(pData, cb);
    if (!strWrong.empty()) {
        std::fprintf(stderr, "%s%s\n", Bench().Describe(pData, cb).c_str(), strWrong.c_str());
        __builtin_trap();
    }
    return 0;
}

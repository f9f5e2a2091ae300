#include <gtest/gtest.h>

#include <cstring>
#include <map>

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

}  // namespace testing
}  // namespace platform

int main(int argc, char** argv)
{
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

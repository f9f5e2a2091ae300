#include "adbtool/adb_arguments.h"

#include <cstdio>
#include <cstring>

#include "platform/file.h"
#include "platform/process.h"

namespace adbtool {

std::string DatabaseDirectory(const std::string& strArgument)
{
    const std::string strPath = platform::EnginePathFromUser(strArgument);
    std::string strFull;
    if (platform::FullPathName(strPath.c_str(), &strFull, nullptr) != platform::kFileOk)
        return strPath;
    return strFull;
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

const char* OrderName(const unsigned char* pGuid)
{
    for (const SOrder& order : kOrders)
        if (std::memcmp(order.pGuid, pGuid, 16) == 0)
            return order.szName;
    return "unknown";
}

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

}  // namespace adbtool

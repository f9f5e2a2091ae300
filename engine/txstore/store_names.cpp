#include "engine/txstore/store_names.h"

#include <cstdint>
#include <cstring>

#include "engine/base/fault.h"
#include "engine/hash/hash.h"

namespace velk {

std::string FileLogName(const char* szPath)
{
    char szHex[65];
    if (CHash::DigestData(szPath, static_cast<std::uint32_t>(std::strlen(szPath)), CHash::kSHA256,
                          szHex, sizeof(szHex), 0) != 0)
        ThrowFault();
    return szHex;
}

}  // namespace velk

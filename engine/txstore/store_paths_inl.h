// Template part of store_paths.h.
#pragma once

#include <string>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/base/fault.h"
#include "engine/txstore/log_records.h"
#include "platform/file.h"

namespace velk {

// The whole list file in memory, or empty when it does not exist.
std::vector<unsigned char> ReadListFile(const char* szList);

template <class F>
void ForEachListRecord(const char* szList, F pfn)
{
    const std::vector<unsigned char> vList = ReadListFile(szList);
    size_t nOffset = 0;
    while (vList.size() - nOffset >= 4) {
        const std::uint32_t n = GetU32LE(&vList[nOffset]);
        if (n == 0 || n > kMaxPathRecord)
            ThrowFault();
        if (vList.size() - nOffset - 4 < n)
            return;  // torn by a crash while it was appended
        const char* pText = reinterpret_cast<const char*>(&vList[nOffset + 4]);
        if (pText[n - 1] != 0)
            ThrowFault();
        if (!pfn(static_cast<std::int64_t>(nOffset), std::string(pText, n - 1)))
            return;
        nOffset += 4 + n;
    }
}

}  // namespace velk

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

// The length of the whole record at nOffset of vList (its length field, then a
// text of at least one byte that holds no NUL but its last byte), or 0.
size_t WholeListRecordAt(const std::vector<unsigned char>& vList, size_t nOffset);

// True when the bytes from nOffset on, which do not start a whole record, are what
// a power cut leaves of the record being appended: no longer than one record, and
// no whole record starts inside them. A disk may write the sectors of one write in
// any order, so the record may read as zeros with its tail behind them. That
// record was not flushed, so the object it names was never made.
bool IsUnflushedListTail(const std::vector<unsigned char>& vList, size_t nOffset);

template <class F>
void ForEachListRecord(const char* szList, F pfn)
{
    const std::vector<unsigned char> vList = ReadListFile(szList);
    size_t nOffset = 0;
    while (nOffset < vList.size()) {
        const size_t cb = WholeListRecordAt(vList, nOffset);
        if (cb == 0) {
            if (!IsUnflushedListTail(vList, nOffset))
                ThrowFault();
            return;
        }
        const char* pText = reinterpret_cast<const char*>(&vList[nOffset + 4]);
        if (!pfn(static_cast<std::int64_t>(nOffset), std::string(pText, cb - 5)))
            return;
        nOffset += cb;
    }
}

}  // namespace velk

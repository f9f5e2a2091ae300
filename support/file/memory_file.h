// A file object over a string in memory, for the tests, fuzzers and benchmarks of
// the support library: reads come from the string and advance the position,
// writes append (up to m_cbLimit bytes in all) and move the position to the end.
// Seek is not supported. Header only; nothing in the library uses it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "support/file/file_object.h"

class EMemoryFile : public VOKFileObject {
public:
    EMemoryFile() {}
    explicit EMemoryFile(std::string str) : m_str(std::move(str)) {}

    VOKFileObject* Duplicate() override { return nullptr; }
    uint32_t Read(void* p, uint32_t cb) override
    {
        ++m_nReads;
        const size_t n = std::min<size_t>(cb, m_str.size() - m_nPosition);
        std::memcpy(p, m_str.data() + m_nPosition, n);
        m_nPosition += n;
        return static_cast<uint32_t>(n);
    }
    uint32_t Write(const void* p, uint32_t cb) override
    {
        const size_t n = std::min<size_t>(cb, m_cbLimit - m_str.size());
        m_str.append(static_cast<const char*>(p), n);
        m_nPosition = m_str.size();
        return static_cast<uint32_t>(n);
    }
    uint32_t GetLength() override { return static_cast<uint32_t>(m_str.size()); }
    uint32_t Seek(int32_t, int) override { return 0; }
    uint32_t GetPosition() override { return static_cast<uint32_t>(m_nPosition); }

    std::string m_str;                            // the file's bytes
    size_t m_cbLimit = static_cast<size_t>(-1);  // writes stop at this length
    int m_nReads = 0;                             // calls of Read

private:
    size_t m_nPosition = 0;
};

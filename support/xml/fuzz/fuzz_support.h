// Shared by the document fuzzers: a file object that keeps what is written, and a
// comparison of trees that ignores what a rewrite changes by design.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/file/file_object.h"
#include "support/xml/description.h"

class CStringFile : public VOKFileObject {
public:
    VOKFileObject* Duplicate() override { return nullptr; }
    uint32_t Read(void*, uint32_t) override { return 0; }
    uint32_t Write(const void* p, uint32_t cb) override
    {
        m_str.append(static_cast<const char*>(p), cb);
        return cb;
    }
    uint32_t GetLength() override { return static_cast<uint32_t>(m_str.size()); }
    uint32_t Seek(int32_t, int) override { return 0; }
    uint32_t GetPosition() override { return static_cast<uint32_t>(m_str.size()); }

    std::string m_str;
};

// Reads cb bytes into pRoot.
intptr_t ReadBytes(EDescription* pRoot, const void* p, size_t cb, int nFlag, int nEncoding);

// The tree as text in which adjacent text nodes are one and every comment ends in
// "-->": the two things a write and a read change. False when some element's tag
// is not a word of the token reader (such tags need not survive a rewrite).
bool Canonical(const EDescription& node, std::u16string* pOut);

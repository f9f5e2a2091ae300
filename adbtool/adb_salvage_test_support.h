// What the salvage tests compare: everything a sound database holds about its
// attributes, read by id, and the geometry of the trees' leaves for planting
// damage at an entry.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/bptree/bptree.h"
#include "engine/bptree/key_order.h"
#include "engine/base/byte_order.h"
#include "engine/bptree/record_file.h"
#include "engine/database/adb_impl.h"
#include "engine/database/adb_test_support.h"
#include "engine/txstore/fs_context.h"

namespace velk {
namespace testing {

struct SAtt {
    std::string strName;
    std::uint32_t nState;
    std::uint32_t nForward;
    std::vector<std::uint32_t> vFiles;
    bool operator==(const SAtt& o) const
    {
        return strName == o.strName && nState == o.nState && nForward == o.nForward &&
               vFiles == o.vFiles;
    }
};
using Content = std::map<std::uint32_t, SAtt>;

// Makes a new database in strDir with attributes 1 .. nAttributes, attribute i
// named name(i) with file ids file(i, 0) .. file(i, count(i) - 1), in one
// transaction written straight into the lists (quicker than linking one by one).
inline void MakeDatabase(const std::string& strDir, std::uint32_t nAttributes,
                         const std::function<std::string(std::uint32_t)>& name,
                         const std::function<std::uint32_t(std::uint32_t)>& count,
                         const std::function<std::uint32_t(std::uint32_t, std::uint32_t)>& file)
{
    ASSERT_EQ(0, CreateDatabase(strDir.c_str(), SDatabaseInfo()));
    CADB db;
    ASSERT_EQ(0, AssociateDefault(&db, strDir));
    ASSERT_EQ(1, db.Open(1, 30000));
    CADBImpl* pImpl = db.GetImpl();
    for (std::uint32_t nId = 1; nId <= nAttributes; ++nId) {
        std::uint32_t nGot = 0;
        ASSERT_EQ(0, db.AddAtt(name(nId).c_str(), &nGot));
        ASSERT_EQ(nId, nGot);
        CBPTree list;
        list.Open(pImpl->m_pContext, pImpl->FileListPath(nId).c_str(), 1, kGuidBinaryAscending,
                  nullptr);
        for (std::uint32_t j = 0; j < count(nId); ++j) {
            unsigned char abFile[4];
            PutU32LE(abFile, file(nId, j));
            ASSERT_EQ(0, list.Insert(abFile, 4, nullptr, 0, nullptr));
        }
        list.Close();
    }
    db.Close(1);
}

// Everything a sound database holds about its attributes, read by id.
inline Content Dump(const std::string& strDir)
{
    Content content;
    CFSContext context(0, DestroyObject);
    CRecordFile records;
    records.Open(&context, (strDir + "\\attinfo_db").c_str(), 0);
    for (std::uint32_t nId = 1; nId <= records.GetRecordCount(); ++nId) {
        if (!records.IsAllocated(nId))
            continue;
        const unsigned char* p = static_cast<const unsigned char*>(records.Get(nId, 0));
        SAtt att = {reinterpret_cast<const char*>(p + 4), GetU32LE(p), GetU32LE(p + 264), {}};
        records.Release(const_cast<unsigned char*>(p));
        if (att.nState == kAttStateLive) {
            CBPTree list;
            list.Open(&context, (strDir + "\\fidlists\\" + std::to_string(nId)).c_str(), 0,
                      kGuidBinaryAscending, nullptr);
            if (list.GetCount() > 0) {
                CBPTree::Cursor cursor;
                list.First(&cursor);
                do {
                    unsigned char abFile[4];
                    list.GetKey(&cursor, abFile, 4);
                    att.vFiles.push_back(GetU32LE(abFile));
                } while (list.Next(&cursor, 1, 0) == 0);
            }
        }
        content[nId] = att;
    }
    return content;
}

inline std::uint32_t Peek(const std::string& strFile, std::size_t nOffset)
{
    const std::string s = ReadWhole(strFile);
    return s.size() >= nOffset + 4 ? GetU32LE(s.data() + nOffset) : 0;
}

// Node geometry: a leaf of key size K, value size V and order L.
struct SLeafShape {
    std::uint32_t cbEntry, cbNode, nPrevAt, nNextAt;
    SLeafShape(std::uint32_t k, std::uint32_t v, std::uint32_t l)
        : cbEntry(k + v + 8), cbNode((k + v + 8) * (l + 1) + 16), nPrevAt(4 + (l + 1) * (k + v + 8)),
          nNextAt(8 + (l + 1) * (k + v + 8)) {}
    std::size_t At(std::uint32_t nLeaf) const { return 16 + std::size_t(nLeaf - 1) * cbNode; }
};
const SLeafShape kNameLeaf(256, 4, 32);
const SLeafShape kListLeaf(4, 0, 256);
const std::size_t kRecordSize = 336;  // 80 + name size 256 + extra 0

// The leaf chain of a tree, first to last.
inline std::vector<std::uint32_t> Chain(const std::string& strTree, const SLeafShape& shape)
{
    std::vector<std::uint32_t> v;
    for (std::uint32_t n = Peek(strTree + "\\bptinfo", 56); n != 0 && v.size() < 100000;
         n = Peek(strTree + "\\leaf", shape.At(n) + shape.nNextAt))
        v.push_back(n);
    return v;
}

}  // namespace testing
}  // namespace velk

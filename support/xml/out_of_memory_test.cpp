// Reading, writing, copying and merging documents with each allocation failing in
// turn: every failure ends in the documented result, the tree stays usable, and
// every block goes back to the heap.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "support/file/stream_buffer.h"
#include "support/runtime/heap.h"
#include "support/xml/description.h"

namespace {

const char kDocument[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<attview version=\"2\">\r\n"
    "\t<!-- categories -->\r\n"
    "\t<root name=\"top &amp; more\" icon=\"3\">\r\n"
    "\t\t<item category=\"0\" icon=\"1\" id_att=\"7\" name=\"\xE5\x86\x99\xE7\x9C\x9F\"/>\r\n"
    "\t\t<item category=\"1\" name=\"cat\">\r\n"
    "\t\t\t<item category=\"0\" id_att=\"8\" name=\"a &lt;b&gt;\" ref_count=\"12\"/>\r\n"
    "\t\t\ttext inside\r\n"
    "\t\t</item>\r\n"
    "\t</root>\r\n"
    "\t<extra flag=\"yes\"><deep><deeper x=\"1\"/></deep></extra>\r\n"
    "</attview>\r\n";

const char kOther[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<attview version=\"1\" owner=\"me\">\r\n"
    "\t<root name=\"old\"><item name=\"kept\"/></root>\r\n"
    "\t<other/>\r\n"
    "</attview>\r\n";

class CMemoryFile : public VOKFileObject {
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

VOKRESULT Read(EDescription* pRoot, const char* szText)
{
    EStreamBuffer stream;
    stream.Write(szText, static_cast<uint32_t>(std::string(szText).size()));
    return pRoot->ReadDocument(&stream, 2, 0);
}

// The tree as the writer puts it, written with no failure armed; "<unwritable>"
// when even that fails.
std::string Text(const EDescription& root)
{
    CMemoryFile file;
    return root.WriteDocument(&file, 0, 2, 0) == kVokOk ? file.m_str : "<unwritable>";
}

// One operation on fresh trees with the switch armed at nFailAt around the call
// itself; *pstrTree receives the resulting tree's (or output's) text.
using Operation = std::function<VOKRESULT(std::size_t nFailAt, std::size_t* pnCounted, std::string* pstrTree)>;

template <class F>
VOKRESULT Armed(std::size_t nFailAt, std::size_t* pnCounted, F f)
{
    vokHeapFailAllocation(nFailAt);
    const VOKRESULT r = f();
    *pnCounted = vokHeapGetAllocationCount();
    vokHeapFailAllocation(0);
    return r;
}

TEST(OutOfMemory, EveryFailedAllocationEndsInTheDocumentedResult)
{
    struct Case {
        const char* what;
        Operation run;
    };
    const Case kCases[] = {
        {"read", [](std::size_t k, std::size_t* pn, std::string* pstr) {
             EDescription root;
             EStreamBuffer stream;
             stream.Write(kDocument, sizeof(kDocument) - 1);
             const VOKRESULT r = Armed(k, pn, [&] { return root.ReadDocument(&stream, 2, 0); });
             *pstr = Text(root);  // what was parsed stays, and is a tree
             return r;
         }},
        {"read of many arena chunks", [](std::size_t k, std::size_t* pn, std::string* pstr) {
             std::string strDocument = "<view>";
             for (int i = 0; i < 300; ++i)
                 strDocument += "<item id=\"" + std::to_string(i) + "\" name=\"item\"/>";
             strDocument += "</view>";
             EDescription root;
             EStreamBuffer stream;
             stream.Write(strDocument.data(), static_cast<uint32_t>(strDocument.size()));
             const VOKRESULT r = Armed(k, pn, [&] { return root.ReadDocument(&stream, 0, 1); });
             *pstr = Text(root);
             return r;
         }},
        {"read shift_jis", [](std::size_t k, std::size_t* pn, std::string* pstr) {
             EDescription source, root;
             EXPECT_EQ(kVokOk, Read(&source, kDocument));
             const std::string strShiftJis = Text(source);
             EStreamBuffer stream;
             stream.Write(strShiftJis.data(), static_cast<uint32_t>(strShiftJis.size()));
             const VOKRESULT r = Armed(k, pn, [&] { return root.ReadDocument(&stream, 2, 0); });
             *pstr = Text(root);
             return r;
         }},
        {"write utf-8", [](std::size_t k, std::size_t* pn, std::string* pstr) {
             EDescription root;
             EXPECT_EQ(kVokOk, Read(&root, kDocument));
             CMemoryFile file;
             const VOKRESULT r = Armed(k, pn, [&] { return root.WriteDocument(&file, 0, 2, 1); });
             *pstr = r == kVokOk ? file.m_str : Text(root);
             return r;
         }},
        {"write", [](std::size_t k, std::size_t* pn, std::string* pstr) {
             EDescription root;
             EXPECT_EQ(kVokOk, Read(&root, kDocument));
             CMemoryFile file;
             const VOKRESULT r = Armed(k, pn, [&] { return root.WriteDocument(&file, 0, 2, 0); });
             *pstr = r == kVokOk ? file.m_str : Text(root);
             return r;
         }},
        {"copy", [](std::size_t k, std::size_t* pn, std::string* pstr) {
             EDescription source, root;
             EXPECT_EQ(kVokOk, Read(&source, kDocument));
             EXPECT_EQ(kVokOk, Read(&root, kOther));
             const std::string strSource = Text(source);
             const VOKRESULT r = Armed(k, pn, [&] { return root.CopyFrom(&source); });
             if (r != kVokOk) {
                 EXPECT_EQ(0, root.GetChildCount());
             }
             EXPECT_EQ(strSource, Text(source));
             *pstr = Text(root);
             return r;
         }},
        {"merge", [](std::size_t k, std::size_t* pn, std::string* pstr) {
             EDescription source, root;
             EXPECT_EQ(kVokOk, Read(&source, kDocument));
             EXPECT_EQ(kVokOk, Read(&root, kOther));
             const std::string strSource = Text(source);
             const VOKRESULT r = Armed(k, pn, [&] { return root.MergeFrom(&source); });
             EXPECT_EQ(strSource, Text(source));
             *pstr = Text(root);
             return r;
         }},
    };
    for (const Case& c : kCases) {
        const std::size_t nBlocks = vokHeapGetBlockCount(nullptr);
        std::size_t nAllocations = 0;
        std::string strExpected;
        ASSERT_EQ(kVokOk, c.run(SIZE_MAX, &nAllocations, &strExpected)) << c.what;
        ASSERT_GT(nAllocations, 0u) << c.what;
        ASSERT_EQ(nBlocks, vokHeapGetBlockCount(nullptr)) << c.what;
        for (std::size_t k = 1; k <= nAllocations; ++k) {
            std::size_t nCounted = 0;
            std::string strTree;
            const VOKRESULT r = c.run(k, &nCounted, &strTree);
            const std::string what = std::string(c.what) + " failing allocation " + std::to_string(k);
            if (r == kVokOk)
                EXPECT_EQ(strExpected, strTree) << what;  // the failure was absorbed
            else
                EXPECT_EQ(1, r) << what;
            EXPECT_NE("<unwritable>", strTree) << what;
            EXPECT_EQ(nBlocks, vokHeapGetBlockCount(nullptr)) << what;
            EXPECT_EQ(kVokOk, vokVerifyHeapChain(nullptr)) << what;
            if (::testing::Test::HasFailure())
                return;
        }
    }
}

}  // namespace

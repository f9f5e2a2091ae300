// Damaged name indexes and file lists, end to end through adbtool: listing and
// checking stop with a failure in bounded time instead of looping or printing a
// shortened list, and a registration never commits on top of the damage.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/database/adb_test_support.h"
#include "engine/salvage/salvage_log.h"

namespace velk {
namespace {

using testing::CScratchDatabase;
using testing::CTreeDamage;
using testing::ReadWhole;
using testing::SRun;
using testing::Tool;

// A database of 70 names: the name index has a root over five leaves.
std::unique_ptr<CScratchDatabase> MakeDatabase()
{
    std::unique_ptr<CScratchDatabase> pDb(new CScratchDatabase);
    CADB db;
    EXPECT_EQ(0, testing::AssociateDefault(&db, pDb->Dir()));
    EXPECT_EQ(1, db.Open(1, 5000));
    for (int i = 0; i < 70; ++i) {
        std::uint32_t nId = 0;
        EXPECT_EQ(0, db.AddAtt(("name" + std::to_string(100 + i)).c_str(), &nId));
        if (i < 3) {
            EXPECT_EQ(0, LinkFile(db, nId, 7));
        }
    }
    db.Close(1);
    return pDb;
}

// What a write must leave alone: the name index and the attribute records.
std::string Stores(const CScratchDatabase& db)
{
    std::string s;
    for (const char* szFile : {"attname_db\\bptinfo", "attname_db\\index", "attname_db\\leaf",
                               "attinfo_db"})
        s += ReadWhole(db.Sub(szFile));
    return s;
}

TEST(DamagedDatabase, NameIndexDamageFailsListCheckAndAdd)
{
    struct Case {
        const char* szWhat;
        std::function<void(CTreeDamage&)> damage;
        int nList;      // exit code of list
        bool bAdd;      // add must fail and change nothing
    };
    const Case kCases[] = {
        {"a count one lower than the leaves hold",
         [](CTreeDamage& t) { t.SetHeader(44, t.Count() - 1); }, 1, true},
        {"a count one higher than the leaves hold",
         [](CTreeDamage& t) { t.SetHeader(44, t.Count() + 1); }, 1, true},
        {"a huge count and a chain that comes back to its head",
         [](CTreeDamage& t) {
             t.SetHeader(44, 0xFFFFFFFF);
             t.ChangeLeaf(t.Leaves().back(), [&](CLeafNode& l) { l.SetNext(t.Leaves()[0]); });
         },
         1, true},
        {"a leaf linked to itself",
         [](CTreeDamage& t) {
             t.ChangeLeaf(t.Leaves()[1], [&](CLeafNode& l) { l.SetNext(t.Leaves()[1]); });
         },
         1, false},
        {"the last two leaves in a circle",
         [](CTreeDamage& t) {
             const std::size_t n = t.Leaves().size();
             t.ChangeLeaf(t.Leaves()[n - 1], [&](CLeafNode& l) { l.SetNext(t.Leaves()[n - 2]); });
         },
         1, false},
        {"three leaves in a circle",
         [](CTreeDamage& t) {
             t.ChangeLeaf(t.Leaves()[3], [&](CLeafNode& l) { l.SetNext(t.Leaves()[1]); });
         },
         1, false},
        {"the first leaf set to the last",
         [](CTreeDamage& t) { t.SetHeader(56, t.Leaves().back()); }, 1, false},
        {"no entries while the root and the height are set",
         [](CTreeDamage& t) { t.SetHeader(44, 0); }, 1, true},
        // The root's id is also a leaf's: the link leads to a real leaf, one that
        // holds the smallest names. The chain is sound, so the listing is right.
        {"the root's last child pointing back at the root",
         [](CTreeDamage& t) {
             t.ChangeIndex(t.Root(), [&](CIndexNode& node) {
                 node.SetChild(node.GetCount(), t.Root());
             });
         },
         0, true},
    };
    std::unique_ptr<CScratchDatabase> pDb = MakeDatabase();
    const std::vector<std::string> vFiles = {pDb->Sub("attname_db\\bptinfo"),
                                             pDb->Sub("attname_db\\index"),
                                             pDb->Sub("attname_db\\leaf")};
    std::vector<std::string> vSound;
    for (const std::string& strFile : vFiles)
        vSound.push_back(ReadWhole(strFile));
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szWhat);
        for (std::size_t i = 0; i < vFiles.size(); ++i)
            testing::WriteWhole(vFiles[i], vSound[i]);
        {
            CTreeDamage tree(pDb->Sub("attname_db"));
            ASSERT_EQ(1u, tree.Height());
            ASSERT_GE(tree.Leaves().size(), 4u);
            c.damage(tree);
        }
        EXPECT_EQ(c.nList, Tool({"list", pDb->Dir()}).nCode);
        const SRun check = Tool({"check", pDb->Dir()});
        EXPECT_EQ(1, check.nCode);
        EXPECT_NE(std::string::npos, check.strOutput.find("attname_db: ")) << check.strOutput;
        if (c.bAdd) {
            const std::string strBefore = Stores(*pDb);
            // Sorts after every name, so the descent takes the last child.
            EXPECT_EQ(1, Tool({"add", pDb->Dir(), "zzz"}).nCode);
            EXPECT_EQ(strBefore, Stores(*pDb));
        }
    }
}

// An id that the record file calls free but that is still in use is damage: the
// registration fails and changes nothing, and the other attribute's list stays.
TEST(DamagedDatabase, AddNeverTakesAnIdInUse)
{
    const std::size_t kRecord = 336;
    struct Case {
        const char* szWhat;
        std::function<void(const CScratchDatabase&, std::string*)> damage;
    };
    const Case kCases[] = {
        {"the free list names a live record (70: named, no files)",
         [&](const CScratchDatabase&, std::string* pRecords) {
             pRecords->replace(pRecords->size() - 4, 4, std::string("\x01\0\0\0\x46\0\0\0", 8));
         }},
        {"the file cut short: records 69 and 70 gone, the index still names them",
         [&](const CScratchDatabase&, std::string* pRecords) {
             pRecords->resize(16 + 68 * kRecord);
             pRecords->append(4, '\0');
             (*pRecords)[12] = 68;
         }},
        {"a free id whose list still has entries",
         [&](const CScratchDatabase& db, std::string* pRecords) {
             // A free record 71, with a copy of list 1 (one entry) under its name.
             ASSERT_TRUE(CopyEntry(CPath(db.Sub("fidlists\\1").c_str()),
                                   CPath(db.Sub("fidlists\\71").c_str())));
             (*pRecords)[12] = 71;
             pRecords->insert(16 + 70 * kRecord, std::string(kRecord, '\0'));
             pRecords->replace(pRecords->size() - 4, 4, std::string("\x01\0\0\0\x47\0\0\0", 8));
         }},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szWhat);
        std::unique_ptr<CScratchDatabase> pDb = MakeDatabase();
        std::string strRecords = ReadWhole(pDb->Sub("attinfo_db"));
        c.damage(*pDb, &strRecords);
        testing::WriteWhole(pDb->Sub("attinfo_db"), strRecords);
        const std::string strBefore = Stores(*pDb);
        const auto lists = platform::testing::SnapshotTree(pDb->Sub("fidlists"));
        const SRun add = Tool({"add", pDb->Dir(), "new"});
        EXPECT_EQ(1, add.nCode) << add.strOutput;
        EXPECT_EQ(strBefore, Stores(*pDb));
        EXPECT_EQ(lists, platform::testing::SnapshotTree(pDb->Sub("fidlists")));
    }
}

TEST(DamagedDatabase, CheckComparesFileListNodesWithTheirOrders)
{
    std::unique_ptr<CScratchDatabase> pDb = MakeDatabase();
    ASSERT_EQ(0, Tool({"check", pDb->Dir()}).nCode);
    CTreeDamage(pDb->Sub("fidlists\\1")).SetHeader(8, 255);
    const SRun check = Tool({"check", pDb->Dir()});
    EXPECT_EQ(1, check.nCode);
    for (const char* szLine : {"fidlists\\1: index file: records of 6168 bytes, but d and K give 6144",
                               "fidlists\\1\\bptinfo: index order 255, but the parameters give 256"})
        EXPECT_NE(std::string::npos, check.strOutput.find(szLine)) << check.strOutput;
}

// Every field of a tree header that the parameters fix is compared, and its length.
TEST(DamagedDatabase, CheckComparesTreeHeadersWithTheLayout)
{
    struct Case {
        const char* szFile;
        std::function<void(std::string*)> damage;
        const char* szLine;
    };
    const Case kCases[] = {
        {"attname_db\\bptinfo", [](std::string* p) { (*p)[24] = 1; },
         "attname_db\\bptinfo: duplicates 1, but the parameters give 0"},
        {"attname_db\\bptinfo", [](std::string* p) { p->push_back('\0'); },
         "attname_db\\bptinfo: longer than the 60 bytes of a tree header"},
        {"hash_db\\bptinfo", [](std::string* p) { (*p)[24] = 2; },
         "hash_db\\bptinfo: duplicates 2, but the parameters give 1"},
    };
    std::unique_ptr<CScratchDatabase> pDb = MakeDatabase();
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szLine);
        const std::string strSound = ReadWhole(pDb->Sub(c.szFile));
        std::string s = strSound;
        c.damage(&s);
        testing::WriteWhole(pDb->Sub(c.szFile), s);
        const SRun check = Tool({"check", pDb->Dir()});
        EXPECT_EQ(1, check.nCode);
        EXPECT_NE(std::string::npos, check.strOutput.find(c.szLine)) << check.strOutput;
        testing::WriteWhole(pDb->Sub(c.szFile), strSound);
    }
    EXPECT_EQ(0, Tool({"check", pDb->Dir()}).nCode);
}

}  // namespace
}  // namespace velk

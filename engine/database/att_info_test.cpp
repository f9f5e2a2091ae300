#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/base/fault.h"
#include "engine/bptree/bptree.h"
#include "engine/bptree/record_file.h"
#include "engine/database/adb.h"
#include "engine/database/adb_test_support.h"
#include "engine/txstore/fs_context.h"

namespace velk {
namespace {

using testing::AssociateDefault;
using testing::CScratchDatabase;

struct SInfoDeleter {
    void operator()(CADB::IAttInfo* p) const { delete p; }
};
typedef std::unique_ptr<CADB::IAttInfo, SInfoDeleter> InfoPtr;
struct SFindDeleter {
    void operator()(CADB::IFind* p) const { delete p; }
};
typedef std::unique_ptr<CADB::IFindAtt, SFindDeleter> FindPtr;

// A database open for writing, with X bytes of extra data per record.
class AttTest : public ::testing::Test {
protected:
    explicit AttTest(std::uint32_t cbExtra = 8) : m_db(Info(cbExtra))
    {
        EXPECT_EQ(0, AssociateDefault(&m_adb, m_db.Dir()));
        EXPECT_EQ(1, m_adb.Open(1, 0));
    }
    static SDatabaseInfo Info(std::uint32_t cbExtra)
    {
        SDatabaseInfo info;
        info.nExtraSize = cbExtra;
        return info;
    }
    std::uint32_t Add(const std::string& strName)
    {
        std::uint32_t nId = 0;
        EXPECT_EQ(0, m_adb.AddAtt(strName.c_str(), &nId)) << strName;
        return nId;
    }
    InfoPtr Att(std::uint32_t nId, int nWritable = 1)
    {
        return InfoPtr(m_adb.GetAttInfo(nId, nWritable));
    }
    std::string Name(std::uint32_t nId)
    {
        char sz[256];
        return Att(nId, 0)->GetName(sz, sizeof(sz)) != 0 ? sz : "<none>";
    }
    void Link(std::uint32_t nId, std::vector<std::uint32_t> vFiles)
    {
        for (std::uint32_t n : vFiles)
            ASSERT_EQ(0, LinkFile(m_adb, nId, n));
    }
    // The bytes of attribute record nId as committed on disk.
    std::string CommittedRecord(std::uint32_t nId)
    {
        m_adb.Close(1);
        CFSContext context(0, DestroyObject);
        CRecordFile file;
        file.Open(&context, m_db.Sub("attinfo_db").c_str(), 0);
        void* p = file.Get(nId, 0);
        std::string s(static_cast<const char*>(p), file.GetRecordSize());
        file.Release(p);
        file.Close();
        EXPECT_EQ(1, m_adb.Open(1, 0));
        return s;
    }

    // Damage made while the database is closed: the name index's entry of
    // szName gives nId.
    void GiveName(const char* szName, std::uint32_t nId)
    {
        CFSContext context(1, DestroyObject);
        CBPTree names;
        names.Open(&context, m_db.Sub("attname_db").c_str(), 1, kGuidStringAscending, nullptr);
        CBPTree::Cursor cursor;
        ASSERT_NE(0, names.Find(szName, static_cast<std::uint32_t>(std::strlen(szName) + 1), &cursor,
                                CBPTree::kFindAny));
        unsigned char abId[4];
        PutU32LE(abId, nId);
        names.SetValue(&cursor, abId, sizeof(abId));
        names.Close();
    }

    CScratchDatabase m_db;
    CADB m_adb;
};

TEST_F(AttTest, AddAttRegistersOnceAndBoundsTheName)
{
    EXPECT_EQ(1u, Add("alpha"));
    EXPECT_EQ(2u, Add("beta"));
    std::uint32_t nId = 0;
    EXPECT_EQ(0x20, m_adb.AddAtt("alpha", &nId));
    EXPECT_EQ(1u, nId);
    EXPECT_EQ(0x20, m_adb.AddAtt("alpha", nullptr));
    EXPECT_EQ(3u, Add(std::string(255, 'n')));                      // 255 + NUL = N
    EXPECT_EQ(1, m_adb.AddAtt(std::string(256, 'n').c_str(), &nId));  // one byte too many
    EXPECT_EQ(3u, FindAttribute(m_adb, std::string(255, 'n').c_str()));
    EXPECT_EQ(0u, FindAttribute(m_adb, std::string(256, 'n').c_str()));
}

TEST_F(AttTest, NewRecordIsZeroApartFromItsName)
{
    const std::uint32_t nId = Add("日本語の属性");
    EXPECT_EQ(0u, Att(nId, 0)->GetRefCount());
    std::string strExpected(80 + 256 + 8, '\0');
    std::memcpy(&strExpected[4], "日本語の属性", std::strlen("日本語の属性"));
    EXPECT_EQ(strExpected, CommittedRecord(nId));
}

TEST_F(AttTest, EnumeratorBlocksChangesWhileAlive)
{
    Add("a");
    FindPtr pFind(m_adb.CreateFindAtt());
    EXPECT_EQ(1, m_adb.AddAtt("a", nullptr));
    EXPECT_EQ(1, m_adb.AddAtt("new", nullptr));
    EXPECT_THROW(m_adb.GetAttInfo(1, 1), CFault);
    EXPECT_EQ(0, Att(1, 0)->IsWritable());
    pFind.reset();
    EXPECT_EQ(0, m_adb.AddAtt("new", nullptr));
    EXPECT_THROW(m_adb.GetAttInfo(99, 0), CFault);  // not allocated
}

TEST_F(AttTest, EnumeratorWalksInNameOrder)
{
    {
        FindPtr pEmpty(m_adb.CreateFindAtt());
        EXPECT_EQ(0u, pEmpty->GetCount());
        EXPECT_EQ(-1, pEmpty->GetPosition());
        EXPECT_EQ(4, pEmpty->Next(1, 1));
        EXPECT_EQ(4, pEmpty->Prev(1, 1));
        EXPECT_EQ(1, pEmpty->MoveTo(0));
    }
    const std::uint32_t nB = Add("b");
    const std::uint32_t nA = Add("a");
    const std::uint32_t nLower = Add("B");  // byte order: "B" < "a" < "b"
    FindPtr pFind(m_adb.CreateFindAtt());
    EXPECT_EQ(3u, pFind->GetCount());
    std::vector<std::uint32_t> vIds;
    std::vector<int> vPositions;
    std::vector<int> vResults;
    for (int i = 0; i < 3; ++i) {
        vIds.push_back(pFind->GetId());
        vPositions.push_back(pFind->GetPosition());
        vResults.push_back(pFind->Next(1, 1));
    }
    EXPECT_EQ((std::vector<std::uint32_t>{nLower, nA, nB}), vIds);
    EXPECT_EQ((std::vector<int>{0, 1, 2}), vPositions);
    EXPECT_EQ((std::vector<int>{0, 0, 4}), vResults);
    EXPECT_EQ(2, pFind->GetPosition());
    EXPECT_EQ(0, pFind->Prev(2, 0));
    EXPECT_EQ(0, pFind->GetPosition());
    EXPECT_EQ(4, pFind->Prev(1, 1));
    EXPECT_EQ(0, pFind->MoveTo(1));
    EXPECT_EQ(1, pFind->GetPosition());
    EXPECT_EQ(nA, pFind->GetId());
    EXPECT_EQ(1, pFind->MoveTo(3));
    EXPECT_EQ(1, pFind->GetPosition());
    CADB::IAttInfo* pInfo = pFind->GetAttInfo();
    EXPECT_EQ(0, pInfo->IsWritable());
    EXPECT_EQ(nA, pInfo->GetId());
    pFind->ReleaseAttInfo(pInfo);
}

TEST_F(AttTest, GetNameCopiesOnlyIntoABufferThatFits)
{
    const std::string strName(255, 'x');
    const std::uint32_t nId = Add(strName);
    InfoPtr pInfo = Att(nId, 0);
    EXPECT_EQ(256u, pInfo->GetName(nullptr, 0));
    std::vector<char> vBuffer(256, '#');
    EXPECT_EQ(0u, pInfo->GetName(vBuffer.data(), 255));
    EXPECT_EQ('#', vBuffer[0]);
    EXPECT_EQ(256u, pInfo->GetName(vBuffer.data(), 256));
    EXPECT_EQ(strName, std::string(vBuffer.data()));
}

TEST_F(AttTest, NameFieldWithoutTerminatorIsDamage)
{
    const std::uint32_t nId = Add("name");
    m_adb.Close(1);
    {
        CFSContext context(1, DestroyObject);
        CRecordFile file;
        file.Open(&context, m_db.Sub("attinfo_db").c_str(), 1);
        unsigned char* p = static_cast<unsigned char*>(file.Get(nId, 1));
        std::memset(p + 4, 'A', 256);
        file.Release(p);
        file.Close();
    }
    ASSERT_EQ(1, m_adb.Open(1, 0));
    InfoPtr pInfo = Att(nId);
    char sz[300];
    EXPECT_THROW(pInfo->GetName(sz, sizeof(sz)), CFault);
    EXPECT_THROW(pInfo->Rename("other"), CFault);
}

TEST_F(AttTest, RenameMovesTheNameIndexEntry)
{
    const std::uint32_t nId = Add("old");
    Add("taken");
    EXPECT_EQ(1, Att(nId, 0)->Rename("new"));
    InfoPtr pInfo = Att(nId);
    EXPECT_EQ(5, pInfo->Rename("old"));
    EXPECT_EQ(5, pInfo->Rename("taken"));
    EXPECT_EQ(2, pInfo->Rename(nullptr));
    EXPECT_EQ(1, pInfo->Rename(std::string(256, 'n').c_str()));
    EXPECT_EQ(0, pInfo->Rename("new"));
    pInfo.reset();
    EXPECT_EQ("new", Name(nId));
    EXPECT_EQ(nId, FindAttribute(m_adb, "new"));
    EXPECT_EQ(0u, FindAttribute(m_adb, "old"));
    FindPtr pFind(m_adb.CreateFindAtt());
    EXPECT_EQ(2u, pFind->GetCount());
}

// The record counts the files that merging brought in; removing files never
// leaves it above what the list holds.
TEST_F(AttTest, UnlinkKeepsTheMergedFileCountWithinTheList)
{
    const std::uint32_t nKeep = Add("keep");
    const std::uint32_t nGone = Add("gone");
    Link(nKeep, {1});
    Link(nGone, {2, 3});
    EXPECT_EQ(0, Att(nKeep)->Merge(nGone));
    EXPECT_EQ(2u, GetU32LE(&CommittedRecord(nKeep)[4 + 256]));  // merged-in files
    EXPECT_EQ(CADB::kOk, UnlinkFile(m_adb, nKeep, 2));
    EXPECT_EQ(CADB::kFailed, UnlinkFile(m_adb, nKeep, 2));
    EXPECT_EQ(2u, GetU32LE(&CommittedRecord(nKeep)[4 + 256]));
    EXPECT_EQ(CADB::kOk, UnlinkFile(m_adb, nKeep, 1));
    EXPECT_EQ(1u, Att(nKeep, 0)->GetRefCount());
    EXPECT_EQ(1u, GetU32LE(&CommittedRecord(nKeep)[4 + 256]));
}

TEST_F(AttTest, MergeOfAnAttributeWithoutFilesFreesIt)
{
    const std::uint32_t nKeep = Add("keep");
    const std::uint32_t nGone = Add("gone");
    Link(nKeep, {7});
    EXPECT_EQ(0, Att(nKeep)->Merge(nGone));
    EXPECT_EQ(0u, FindAttribute(m_adb, "gone"));
    EXPECT_THROW(m_adb.GetAttInfo(nGone, 0), CFault);
    EXPECT_FALSE(platform::PathExists(m_db.Sub("fidlists\\2").c_str()));
    EXPECT_EQ(nGone, Add("reused"));  // the freed id is handed out again
    EXPECT_EQ(1u, Att(nKeep, 0)->GetRefCount());
}

// An attribute with files of its own stays as a forwarder even though its file
// count (which counts only merged-in files) is 0; only new file ids are added.
TEST_F(AttTest, MergeOfAnAttributeWithFilesLeavesAForwarder)
{
    const std::uint32_t nKeep = Add("keep");
    const std::uint32_t nGone = Add("gone");
    Link(nKeep, {1, 2, 3});
    Link(nGone, {3, 4});
    EXPECT_EQ(0, Att(nKeep)->Merge(nGone));
    EXPECT_EQ(4u, Att(nKeep, 0)->GetRefCount());
    EXPECT_EQ(0u, FindAttribute(m_adb, "gone"));
    EXPECT_FALSE(platform::PathExists(m_db.Sub("fidlists\\2").c_str()));
    EXPECT_EQ(3u, Add("new"));  // the forwarder's id stays taken
    const std::string strGone = CommittedRecord(nGone);
    EXPECT_EQ(2u, GetU32LE(&strGone[0]));               // state: merged
    EXPECT_EQ(nKeep, GetU32LE(&strGone[4 + 256 + 4]));  // forward id
    const std::string strKeep = CommittedRecord(nKeep);
    EXPECT_EQ(1u, GetU32LE(&strKeep[4 + 256]));  // file count: the one new id

    // A forwarder cannot be merged again, nor can an attribute merge itself.
    EXPECT_EQ(1, Att(nKeep)->Merge(nGone));
    EXPECT_EQ(1, Att(nKeep)->Merge(nKeep));
    EXPECT_EQ(1, Att(nKeep)->Merge(99));
    EXPECT_EQ(1, Att(3, 0)->Merge(nKeep));
    InfoPtr pHeld = Att(3, 0);
    EXPECT_EQ(1, Att(nKeep)->Merge(3));  // pinned by another object
}

// The name index must name the attribute by its record's name before a merge
// removes that name or a rename moves it; otherwise the write would erase
// another attribute's name or leave a stale one behind.
TEST_F(AttTest, MergeAndRenameRefuseANameIndexThatDoesNotNameTheAttribute)
{
    const std::uint32_t nKeep = Add("keep");
    const std::uint32_t nGone = Add("gone");
    const std::uint32_t nThird = Add("third");
    Link(nGone, {5});
    m_adb.Close(1);
    struct Case {
        const char* szWhat;
        const char* szRecordName;
    };
    const Case kCases[] = {
        {"a record name the index lacks", "absent"},
        {"a record name the index gives to another attribute", "third"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szWhat);
        {
            CFSContext context(1, DestroyObject);
            CRecordFile file;
            file.Open(&context, m_db.Sub("attinfo_db").c_str(), 1);
            unsigned char* p = static_cast<unsigned char*>(file.Get(nGone, 1));
            std::memset(p + 4, 0, 256);
            std::memcpy(p + 4, c.szRecordName, std::strlen(c.szRecordName));
            file.Release(p);
            file.Close();
        }
        ASSERT_EQ(1, m_adb.Open(1, 0));
        EXPECT_THROW(Att(nKeep)->Merge(nGone), CFault);
        m_adb.Close(0);
        ASSERT_EQ(1, m_adb.Open(1, 0));
        EXPECT_THROW(Att(nGone)->Rename("renamed"), CFault);
        m_adb.Close(0);
        ASSERT_EQ(1, m_adb.Open(0, 0));
        EXPECT_EQ(nGone, FindAttribute(m_adb, "gone"));
        EXPECT_EQ(nThird, FindAttribute(m_adb, "third"));
        EXPECT_EQ(0u, FindAttribute(m_adb, "renamed"));
        EXPECT_EQ(1u, Att(nGone, 0)->GetRefCount());
        m_adb.Close(0);
    }
    ASSERT_EQ(1, m_adb.Open(1, 0));
}

// A second name entry that gives the other attribute's id would outlive the merge
// and name a forwarder or a freed record that the next add hands out again.
TEST_F(AttTest, MergeRefusesASecondNameForTheOtherAttribute)
{
    const std::uint32_t nKeep = Add("keep");
    const std::uint32_t nGone = Add("gone");
    const std::uint32_t nThird = Add("third");
    for (bool bWithFiles : {false, true}) {
        SCOPED_TRACE(bWithFiles ? "the other has files" : "the other has none");
        if (bWithFiles)
            Link(nGone, {5});
        m_adb.Close(1);
        GiveName("third", nGone);
        ASSERT_EQ(1, m_adb.Open(1, 0));
        EXPECT_THROW(Att(nKeep)->Merge(nGone), CFault);
        m_adb.Close(0);
        ASSERT_EQ(1, m_adb.Open(0, 0));
        EXPECT_EQ(nGone, FindAttribute(m_adb, "gone"));
        EXPECT_EQ(nGone, FindAttribute(m_adb, "third"));
        EXPECT_EQ(bWithFiles ? 1u : 0u, Att(nGone, 0)->GetRefCount());
        m_adb.Close(0);
        GiveName("third", nThird);  // for the next case
        ASSERT_EQ(1, m_adb.Open(1, 0));
    }
}

// A transaction reads the ids the name index gives once and keeps them in step
// with its own writes: an add, a rename and a merge after the first add still
// see every entry that gives an id.
TEST_F(AttTest, IdsGivenByTheNameIndexAreSeenByEveryWriteOfATransaction)
{
    const std::uint32_t nKeep = Add("keep");
    const std::uint32_t nGone = Add("gone");
    const std::uint32_t nThird = Add("third");
    m_adb.Close(1);
    // The id the second add of a transaction gets is named already.
    GiveName("third", nThird + 2);
    ASSERT_EQ(1, m_adb.Open(1, 0));
    EXPECT_EQ(nThird + 1, Add("first"));
    std::uint32_t nId = 0;
    EXPECT_THROW(m_adb.AddAtt("second", &nId), CFault);
    m_adb.Close(0);
    // A second name of the attribute merged away, after an add and a rename.
    GiveName("third", nGone);
    ASSERT_EQ(1, m_adb.Open(1, 0));
    Add("first");
    ASSERT_EQ(0, Att(nGone)->Rename("gone again"));
    EXPECT_THROW(Att(nKeep)->Merge(nGone), CFault);
    m_adb.Close(0);
    GiveName("third", nThird);
    // Sound, the same writes pass.
    ASSERT_EQ(1, m_adb.Open(1, 0));
    Add("first");
    ASSERT_EQ(0, Att(nGone)->Rename("gone again"));
    EXPECT_EQ(0, Att(nKeep)->Merge(nGone));
    EXPECT_EQ(nGone, Add("second"));  // its record was freed
}

// The other attribute's list is removed after its files were copied: a list
// whose count disagrees with its leaves would lose the files past the count.
TEST_F(AttTest, MergeRefusesAListWhoseCountDisagreesWithItsLeaves)
{
    const std::uint32_t nKeep = Add("keep");
    const std::uint32_t nGone = Add("gone");
    Link(nGone, {3, 4, 5});
    m_adb.Close(1);
    for (const std::uint32_t nCount : {2u, 4u}) {
        SCOPED_TRACE(nCount);
        testing::CTreeDamage(m_db.Sub("fidlists\\2")).SetHeader(44, nCount);
        ASSERT_EQ(1, m_adb.Open(1, 0));
        EXPECT_THROW(Att(nKeep)->Merge(nGone), CFault);
        m_adb.Close(0);
        ASSERT_EQ(1, m_adb.Open(0, 0));
        EXPECT_EQ(nGone, FindAttribute(m_adb, "gone"));
        EXPECT_EQ(0u, Att(nKeep, 0)->GetRefCount());
        EXPECT_EQ(nCount, Att(nGone, 0)->GetRefCount());
        m_adb.Close(0);
    }
    ASSERT_EQ(1, m_adb.Open(1, 0));
}

TEST_F(AttTest, ExtraDataAndReservedSlots)
{
    const std::uint32_t nId = Add("x");
    InfoPtr pInfo = Att(nId);
    const unsigned char abData[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    unsigned char abRead[8] = {};
    EXPECT_EQ(0, pInfo->SetExtra(abData));
    EXPECT_EQ(1, pInfo->GetExtra(abRead, 7));
    EXPECT_EQ(0, pInfo->GetExtra(abRead, 8));
    EXPECT_EQ(0, std::memcmp(abData, abRead, 8));
    EXPECT_EQ(0, pInfo->Reserved3());
    EXPECT_EQ(0, pInfo->Reserved4(1));
    EXPECT_EQ(-1, pInfo->Reserved5(1));
    pInfo.reset();
    InfoPtr pReadOnly = Att(nId, 0);
    EXPECT_EQ(1, pReadOnly->SetExtra(abData));
    EXPECT_EQ(1, pReadOnly->Reserved5(1));
    pReadOnly.reset();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(abData), 8),
              CommittedRecord(nId).substr(80 + 256));
}

class AttNoExtraTest : public AttTest {
protected:
    AttNoExtraTest() : AttTest(0) {}
};

TEST_F(AttNoExtraTest, WithoutExtraDataBothAccessesFail)
{
    InfoPtr pInfo = Att(Add("x"));
    unsigned char ab[8];
    EXPECT_EQ(1, pInfo->GetExtra(ab, sizeof(ab)));
    EXPECT_EQ(1, pInfo->SetExtra(ab));
}

}  // namespace
}  // namespace velk

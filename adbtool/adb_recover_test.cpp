#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/bptree/bptree.h"
#include "engine/base/byte_order.h"
#include "engine/bptree/record_file.h"
#include "engine/database/adb_impl.h"
#include "engine/database/adb_test_support.h"
#include "adbtool/adb_salvage_test_support.h"
#include "engine/salvage/salvage_log.h"
#include "engine/txstore/fs_context.h"
#include "platform/file_link.h"
#include "platform/fault_injection.h"

namespace velk {
namespace {

using testing::Printed;
using testing::ReadWhole;
using testing::SRun;
using testing::Tool;
using testing::WriteWhole;
using testing::Chain;
using testing::Content;
using testing::Dump;
using testing::kListLeaf;
using testing::kNameLeaf;
using testing::kRecordSize;
using testing::Peek;
using testing::SAtt;

// The sample: 200 attributes, the first two with Shift_JIS names (one with a 5C
// trail byte), most with a few files, five with long lists of several leaves,
// one merged away with its files (a forwarder) and one merged without files (its
// record freed).
const std::uint32_t kAttributes = 200;
const std::uint32_t kLongLists[] = {3, 50, 120, 150, 180};
const std::uint32_t kLongListFiles = 1500;
const std::uint32_t kMergedWithFiles = 11;   // into 12
const std::uint32_t kMergedEmpty = 20;       // into 21: 20 % 5 == 0, no files

std::string SampleName(std::uint32_t nId)
{
    if (nId == 1)
        return "赤";
    if (nId == 2)
        return "表示";
    char ach[16];
    std::snprintf(ach, sizeof(ach), "att%03u", nId);
    return ach;
}

std::uint32_t SampleFileCount(std::uint32_t nId)
{
    for (std::uint32_t nLong : kLongLists)
        if (nId == nLong)
            return kLongListFiles;
    return nId % 5;
}

void MakeSample(const std::string& strDir)
{
    testing::MakeDatabase(strDir, kAttributes, SampleName, SampleFileCount,
                          [](std::uint32_t nId, std::uint32_t j) { return nId * 10000 + j * 7 + 1; });
    CADB db;
    ASSERT_EQ(0, testing::AssociateDefault(&db, strDir));
    ASSERT_EQ(1, db.Open(1, 30000));
    for (std::uint32_t nFrom : {kMergedWithFiles, kMergedEmpty}) {
        std::unique_ptr<CADB::IAttInfo> pInto(db.GetAttInfo(nFrom + 1, 1));
        ASSERT_EQ(0, pInto->Merge(nFrom));
    }
    db.Close(1);
}

void Patch(const std::string& strFile, std::size_t nOffset, std::uint32_t nValue)
{
    std::string s = ReadWhole(strFile);
    ASSERT_LE(nOffset + 4, s.size()) << strFile;
    PutU32LE(&s[nOffset], nValue);
    WriteWhole(strFile, s);
}

// What a damage costs: the attributes lost, the entries of file lists lost
// (-1: an unknown number) and the stores left empty; the expected content
// follows from the sound one.
struct SExpected {
    int nCode = 0;
    std::set<std::uint32_t> setLost;
    std::map<std::uint32_t, long> mapListLosses;
    std::vector<std::string> vLeftEmpty;
    std::string strReportPart;  // a text the report must hold
    std::function<void(Content*)> adjust;  // how the content differs beyond the losses
};

class RecoverTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_pSample = new platform::testing::CScratchDir;
        MakeSample(s_pSample->Sub("sound"));
        s_pContent = new Content(Dump(s_pSample->Sub("sound")));
    }
    static void TearDownTestSuite()
    {
        delete s_pContent;
        delete s_pSample;
    }

    RecoverTest() : m_strDir(m_scratch.Sub("db")), m_strNew(m_scratch.Sub("new\\db")) {}
    void SetUp() override
    {
        ASSERT_TRUE(CopyEntry(CPath(s_pSample->Sub("sound").c_str()), CPath(m_strDir.c_str())));
    }

public:
    // A file of the database under test.
    std::string In(const std::string& strName) const { return m_strDir + "\\" + strName; }

protected:

    // Recovers m_strDir into m_strNew and checks the outcome against the sound
    // sample and what the damage should cost.
    void RecoverAndVerify(const SExpected& expected, const std::string& strWhat)
    {
        const auto before = platform::testing::SnapshotTree(m_strDir);
        const SRun run = Tool({"recover", m_strDir, m_strNew});
        EXPECT_EQ(before, platform::testing::SnapshotTree(m_strDir)) << strWhat << ": DIR changed";
        ASSERT_EQ(expected.nCode, run.nCode) << strWhat << "\n" << run.strOutput;
        const SRun check = Tool({"check", m_strNew});
        EXPECT_EQ(0, check.nCode) << strWhat << "\n" << check.strOutput;

        Content want = *s_pContent;
        for (std::uint32_t nId : expected.setLost)
            want.erase(nId);
        if (expected.adjust)
            expected.adjust(&want);
        const Content got = Dump(m_strNew);
        EXPECT_EQ(want.size(), got.size()) << strWhat;
        for (const auto& att : want) {
            const auto it = got.find(att.first);
            if (it == got.end()) {
                ADD_FAILURE() << strWhat << ": attribute " << att.first << " missing";
            } else if (expected.mapListLosses.count(att.first) == 0) {
                EXPECT_TRUE(att.second == it->second) << strWhat << ": attribute " << att.first;
            } else {
                EXPECT_EQ(att.second.strName, it->second.strName) << strWhat;
                const long nLost = expected.mapListLosses.at(att.first);
                if (nLost >= 0) {
                    EXPECT_EQ(att.second.vFiles.size() - static_cast<std::size_t>(nLost),
                              it->second.vFiles.size())
                        << strWhat << ": attribute " << att.first;
                }
            }
        }

        const std::string& out = run.strOutput;
        std::size_t nLostLines = 0;
        for (std::size_t n = out.find("lost attribute "); n != std::string::npos;
             n = out.find("lost attribute ", n + 1))
            ++nLostLines;
        EXPECT_EQ(expected.setLost.size(), nLostLines) << strWhat << "\n" << out;
        for (std::uint32_t nId : expected.setLost)
            EXPECT_NE(std::string::npos,
                      out.find(Printed("lost attribute " + std::to_string(nId) + " \"" +
                                       SampleName(nId) + "\"")))
                << strWhat << ": " << nId << "\n" << out;
        for (const auto& loss : expected.mapListLosses)
            EXPECT_NE(std::string::npos,
                      out.find(Printed("lost file-list entries of attribute " +
                                       std::to_string(loss.first) + " \"" +
                                       SampleName(loss.first) + "\": " +
                                       (loss.second < 0 ? std::string("an unknown number")
                                                        : std::to_string(loss.second)))))
                << strWhat << "\n" << out;
        std::string strEmpty;
        for (const std::string& s : expected.vLeftEmpty)
            strEmpty += (strEmpty.empty() ? "" : ", ") + s;
        EXPECT_NE(std::string::npos,
                  out.find(Printed("stores left empty (damaged or missing): " +
                                   (strEmpty.empty() ? std::string("none") : strEmpty) + "\n")))
            << strWhat << "\n" << out;
        EXPECT_NE(std::string::npos, out.find(Printed(expected.strReportPart)))
            << strWhat << "\n" << out;
    }

    static platform::testing::CScratchDir* s_pSample;
    static Content* s_pContent;
    platform::testing::CScratchDir m_scratch;
    std::string m_strDir;
    std::string m_strNew;
};

platform::testing::CScratchDir* RecoverTest::s_pSample = nullptr;
Content* RecoverTest::s_pContent = nullptr;

TEST_F(RecoverTest, SoundDatabaseRecoversToTheSameContent)
{
    SExpected expected;
    expected.strReportPart =
        "attributes: " + std::to_string(kAttributes - 1) + " recovered, 0 lost\n";
    RecoverAndVerify(expected, "sound");
    const SRun before = Tool({"list", m_strDir});
    EXPECT_EQ(0, before.nCode);
    EXPECT_EQ(before.strOutput, Tool({"list", m_strNew}).strOutput);
}

// Damage of the name index, the attribute records and the file lists, and missing
// files. Damages that do not touch one another share a case, so that the matrix
// stays quick on both targets.
TEST_F(RecoverTest, DamageMatrix)
{
    struct Case {
        const char* szWhat;
        std::function<void(RecoverTest*, SExpected*)> damage;
    };
    const Case kCases[] = {
        {"name index: count 0xFFFFFFFF and a cycle; attribute records: a name without its "
         "end, an unknown state (a new record from the name index and the list); file lists: "
         "a leaf that does not read, a count raised, a cycle, a lost header (every leaf read)",
         [](RecoverTest* t, SExpected* e) {
             const std::string strNames = t->In("attname_db");
             const std::vector<std::uint32_t> vNames = Chain(strNames, kNameLeaf);
             ASSERT_GT(vNames.size(), 3u);
             Patch(strNames + "\\bptinfo", 44, 0xFFFFFFFF);
             Patch(strNames + "\\leaf", kNameLeaf.At(vNames[3]) + kNameLeaf.nNextAt, vNames[1]);

             std::string s = ReadWhole(t->In("attinfo_db"));
             s.replace(16 + 39 * kRecordSize + 4, 256, std::string(256, 'x'));  // id 40
             PutU32LE(&s[16 + 76 * kRecordSize], 9);                           // id 77
             WriteWhole(t->In("attinfo_db"), s);

             const std::string strList = t->In("fidlists\\50");
             const std::vector<std::uint32_t> v50 = Chain(strList, kListLeaf);
             ASSERT_GT(v50.size(), 3u);
             const std::uint32_t nInLeaf = Peek(strList + "\\leaf", kListLeaf.At(v50[2]));
             Patch(strList + "\\leaf", kListLeaf.At(v50[2]), 0xFFFF);
             Patch(t->In("fidlists\\120\\bptinfo"), 44, kLongListFiles + 9);
             const std::string strCycle = t->In("fidlists\\150");
             const std::vector<std::uint32_t> v150 = Chain(strCycle, kListLeaf);
             Patch(strCycle + "\\leaf", kListLeaf.At(v150.back()) + kListLeaf.nNextAt, v150[0]);
             platform::FileRemove(t->In("fidlists\\180\\bptinfo").c_str());

             e->nCode = 1;
             e->mapListLosses[50] = nInLeaf;
             e->strReportPart = "note: attinfo_db: the name in the record of attribute 40 has "
                                "no end; the name index's \"att040\" was kept\n";
         }},
        {"name index: a key out of order and a cut link; attribute records: the state of the "
         "attribute a forwarder points to (it and the forwarder kept); missing files: libid, a "
         "file list, the hash index's leaves",
         [](RecoverTest* t, SExpected* e) {
             const std::string strNames = t->In("attname_db");
             const std::vector<std::uint32_t> v = Chain(strNames, kNameLeaf);
             std::string s = ReadWhole(strNames + "\\leaf");
             s[kNameLeaf.At(v[1]) + 4 + 4] = '\x01';  // the first key of the second leaf
             WriteWhole(strNames + "\\leaf", s);
             Patch(strNames + "\\leaf", kNameLeaf.At(v[2]) + kNameLeaf.nNextAt, 0);

             Patch(t->In("attinfo_db"), 16 + 11 * kRecordSize, 7);  // id 12

             platform::FileRemove(t->In("libid").c_str());
             platform::testing::RemoveTree(t->In("fidlists\\3"));
             platform::FileRemove(t->In("hash_db\\leaf").c_str());

             e->nCode = 1;
             e->mapListLosses[3] = -1;
             e->vLeftEmpty = {"hash_db"};
             e->strReportPart = "stores rebuilt: libid, ";
             e->adjust = [](Content* p) { (*p)[3].vFiles.clear(); };
         }},
        {"attribute records: the header's count; name index: root and first leaf gone",
         [](RecoverTest* t, SExpected* e) {
             Patch(t->In("attinfo_db"), 12, 0x7FFFFFFF);
             Patch(t->In("attname_db\\bptinfo"), 52, 0);
             Patch(t->In("attname_db\\bptinfo"), 56, 0);
             // The free list at the file's end still says the record freed by the
             // merge is free.
             e->strReportPart = "note: attinfo_db: the header is damaged; the records were "
                                "read one by one\n";
         }},
        {"attribute records: the header's count and the free list's last id; name index: "
         "root and first leaf gone",
         [](RecoverTest* t, SExpected* e) {
             Patch(t->In("attinfo_db"), 12, 0x7FFFFFFF);
             const std::size_t cbRecords = ReadWhole(t->In("attinfo_db")).size();
             Patch(t->In("attinfo_db"), cbRecords - 4, 0xFFFFFFFF);
             Patch(t->In("attname_db\\bptinfo"), 52, 0);
             Patch(t->In("attname_db\\bptinfo"), 56, 0);
             // The record freed by the merge reads like a live one now.
             e->nCode = 1;
             e->setLost = {kMergedEmpty};
             e->strReportPart = "cannot be told from a freed one";
         }},
        {"missing files: the attribute records (every live attribute from the name index "
         "and its list; the forwarder, which only its record knew, is gone)",
         [](RecoverTest* t, SExpected* e) {
             platform::FileRemove(t->In("attinfo_db").c_str());
             e->nCode = 1;
             e->strReportPart = "attributes: " + std::to_string(kAttributes - 2) +
                                " recovered, 0 lost\nfile-list entries: ";
             e->adjust = [](Content* p) { p->erase(kMergedWithFiles); };
         }},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szWhat);
        platform::testing::RemoveTree(m_strDir);
        platform::testing::RemoveTree(m_scratch.Sub("new"));
        ASSERT_TRUE(CopyEntry(CPath(s_pSample->Sub("sound").c_str()), CPath(m_strDir.c_str())));
        SExpected expected;
        c.damage(this, &expected);
        RecoverAndVerify(expected, c.szWhat);
    }
}

// A name comes back only when the record and the name index agree on it, or when
// one of them is damaged and the other whole; otherwise the attribute is lost.
TEST(RecoverNamesTest, NoNameIsInvented)
{
    const std::size_t kRecord1 = 16, kName = 4;
    struct Case {
        const char* szWhat;
        std::function<void(const std::string&)> damage;
        const char* szList;  // what "list" shows of the new database
        const char* szLost;  // the lost-attribute lines, in order
    };
    // The key "beta" in the name index's leaf, its second byte made a control byte.
    const auto damageIndexedBeta = [](const std::string& strDir) {
        std::string s = ReadWhole(strDir + "\\attname_db\\leaf");
        const std::size_t n = s.find(std::string("beta", 5));
        ASSERT_NE(std::string::npos, n);
        s[n + 1] = '\x01';
        WriteWhole(strDir + "\\attname_db\\leaf", s);
    };
    const auto zeroRecordName = [](const std::string& strDir, std::uint32_t nId) {
        std::string s = ReadWhole(strDir + "\\attinfo_db");
        s.replace(kRecord1 + (nId - 1) * kRecordSize + kName, 256, std::string(256, '\0'));
        WriteWhole(strDir + "\\attinfo_db", s);
    };
    const Case kCases[] = {
        {"record 2 zeroed, record 3 cut after five bytes of its name, record 1's name made "
         "control bytes",
         [](const std::string& strDir) {
             std::string s = ReadWhole(strDir + "\\attinfo_db");
             s.replace(kRecord1 + kRecordSize, kRecordSize, std::string(kRecordSize, '\0'));
             s.replace(kRecord1 + 2 * kRecordSize + kName + 5, 60, std::string(60, '\0'));
             s.replace(kRecord1 + kName, 5, std::string("XYZ\x01\x02"));
             WriteWhole(strDir + "\\attinfo_db", s);
         },
         "alpha\t1\t0\nbeta\t2\t0\n",
         "lost attribute 3: its record names it \"gamma\", the name index "
         "\"gamma-long-name\"; neither can be trusted\n"},
        {"the index's key damaged, the record whole", damageIndexedBeta,
         "alpha\t1\t0\nbeta\t2\t0\ngamma-long-name\t3\t0\n", ""},
        {"both damaged",
         [&](const std::string& strDir) {
             damageIndexedBeta(strDir);
             zeroRecordName(strDir, 2);
         },
         "alpha\t1\t0\ngamma-long-name\t3\t0\n",
         "lost attribute 2: its record is damaged: the name is empty, and the name index has "
         "no sound name for it\n"},
        {"a lone lead byte ends the record's name",
         [](const std::string& strDir) {
             std::string s = ReadWhole(strDir + "\\attinfo_db");
             s[kRecord1 + kName + 5] = '\x81';
             WriteWhole(strDir + "\\attinfo_db", s);
         },
         "alpha\t1\t0\nbeta\t2\t0\ngamma-long-name\t3\t0\n", ""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szWhat);
        platform::testing::CScratchDir scratch;
        const std::string strDir = scratch.Sub("db");
        const std::string strNew = scratch.Sub("new");
        ASSERT_EQ(0, Tool({"create", strDir}).nCode);
        ASSERT_EQ(0, Tool({"add", strDir, "alpha", "beta", "gamma-long-name"}).nCode);
        c.damage(strDir);
        const SRun run = Tool({"recover", strDir, strNew});
        EXPECT_EQ(*c.szLost != '\0' ? 1 : 0, run.nCode) << run.strOutput;
        std::string strLost;
        for (std::size_t n = run.strOutput.find("lost attribute"); n != std::string::npos;
             n = run.strOutput.find("lost attribute", n + 1))
            strLost += run.strOutput.substr(n, run.strOutput.find('\n', n) + 1 - n);
        EXPECT_EQ(Printed(c.szLost), strLost) << run.strOutput;
        const SRun list = Tool({"list", strNew});
        EXPECT_EQ(Printed(c.szList), list.strOutput);
        EXPECT_EQ(0, Tool({"check", strNew}).nCode);
    }
}

// A small database for the cases below: attributes "n01" .. "nNN", attribute i
// with nFiles file ids i * 1000 + 1, + 2, ... (one leaf holds 256).
void MakeSmall(const std::string& strDir, std::uint32_t nAttributes, std::uint32_t nFiles)
{
    ASSERT_EQ(0, CreateDatabase(strDir.c_str(), SDatabaseInfo()));
    CADB db;
    ASSERT_EQ(0, testing::AssociateDefault(&db, strDir));
    ASSERT_EQ(1, db.Open(1, 30000));
    for (std::uint32_t nId = 1; nId <= nAttributes; ++nId) {
        char ach[8];
        std::snprintf(ach, sizeof(ach), "n%02u", nId);
        std::uint32_t nGot = 0;
        ASSERT_EQ(0, db.AddAtt(ach, &nGot));
        for (std::uint32_t j = 1; j <= nFiles; ++j)
            ASSERT_EQ(0, LinkFile(db, nId, nId * 1000 + j));
    }
    db.Close(1);
}

// Every entry that still reads is kept, every one dropped is counted, an attribute
// whose record alone is gone keeps id, name and list, a damaged "adbinfo" is made
// again from the stores, and links are left out.
TEST(RecoverEntriesTest, KeepsWhatStillReads)
{
    struct Case {
        const char* szWhat;
        std::uint32_t nAttributes, nFiles;
        std::function<void(const std::string&, const std::string&)> damage;  // dir, outside
        int nCode;
        const char* szList;        // "list" of the new database
        std::uint32_t nFilesOf1;   // entries of attribute 1's list in the new database
        std::vector<const char*> vReport;  // texts the report holds
    };
    const auto leaf = [](const std::string& strDir, std::uint32_t nId) {
        return strDir + "\\fidlists\\" + std::to_string(nId) + "\\leaf";
    };
    const auto put = [](const std::string& strFile, std::size_t nAt, const std::string& strBytes) {
        std::string s = ReadWhole(strFile);
        ASSERT_LE(nAt + strBytes.size(), s.size()) << strFile;
        s.replace(nAt, strBytes.size(), strBytes);
        WriteWhole(strFile, s);
    };
    // Key bytes of entry i of leaf n of a file list.
    const auto listKey = [](std::uint32_t nLeaf, std::uint32_t i) {
        return kListLeaf.At(nLeaf) + 4 + i * kListLeaf.cbEntry + 4;
    };
    const Case kCases[] = {
        {"one key length in a leaf of a 50-id list", 1, 50,
         [&](const std::string& d, const std::string&) { put(leaf(d, 1), 608, "\xFF\xFF"); },
         1, "n01\t1\t49\n", 49,
         {"lost file-list entries of attribute 1 \"n01\": 1 (the file list is damaged; 49 "
          "recovered)\n",
          "file-list entries: 49 recovered, 1 lost\n"}},
        {"a key out of order at the start of the second leaf and another at the end of the "
         "last", 1, 600,
         [&](const std::string& d, const std::string&) {
             const std::vector<std::uint32_t> v = Chain(d + "\\fidlists\\1", kListLeaf);
             ASSERT_GE(v.size(), 3u);
             put(leaf(d, 1), listKey(v[1], 0), std::string("\xFF\xFF\xFF\x7F", 4));
             const std::uint32_t nLast = Peek(leaf(d, 1), kListLeaf.At(v.back())) - 1;
             put(leaf(d, 1), listKey(v.back(), nLast), std::string("\0\0\0\0", 4));
         },
         1, "n01\t1\t598\n", 598,
         {"lost file-list entries of attribute 1 \"n01\": 2 (the file list is damaged; 598 "
          "recovered)\n"}},
        {"a leaf's count damaged: the header's count tells how many", 1, 600,
         [&](const std::string& d, const std::string&) {
             const std::vector<std::uint32_t> v = Chain(d + "\\fidlists\\1", kListLeaf);
             Patch(leaf(d, 1), kListLeaf.At(v[1]), 0x10000);
         },
         1, "n01\t1\t469\n", 469,
         {"lost file-list entries of attribute 1 \"n01\": 131 (the file list is damaged; 469 "
          "recovered)\n"}},
        {"the record file's header zeroed and one name entry damaged", 10, 3,
         [&](const std::string& d, const std::string&) {
             put(d + "\\attinfo_db", 0, std::string(16, '\0'));
             std::string s = ReadWhole(d + "\\attname_db\\leaf");
             const std::size_t n = s.find(std::string("n07", 4));
             ASSERT_NE(std::string::npos, n);
             PutU32LE(&s[n - 4], 0x7777);  // its key length
             WriteWhole(d + "\\attname_db\\leaf", s);
         },
         1,
         "n01\t1\t3\nn02\t2\t3\nn03\t3\t3\nn04\t4\t3\nn05\t5\t3\nn06\t6\t3\nn08\t8\t3\n"
         "n09\t9\t3\nn10\t10\t3\n",
         3,
         {"lost attribute 7 \"n07\": its record reads, but with the header damaged",
          "lost file-list entries of attribute 7 \"n07\": 3 (the list belongs to no recovered "
          "attribute; 0 recovered)\n",
          "attributes: 9 recovered, 1 lost\nfile-list entries: 27 recovered, 3 lost\n"}},
        {"the record file cut short: the last record gone, its name entry and list whole", 3,
         2,
         [&](const std::string& d, const std::string&) {
             const std::string s = ReadWhole(d + "\\attinfo_db");
             WriteWhole(d + "\\attinfo_db", s.substr(0, 16 + 2 * kRecordSize + 100));
         },
         0, "n01\t1\t2\nn02\t2\t2\nn03\t3\t2\n", 2,
         {"note: attinfo_db: attribute 3 \"n03\": its record is beyond the end of the records; "
          "a new record was made from the name index and its file list\n"}},
        {"both names of attribute 2 damaged: its list's entries count as lost", 3, 4,
         [&](const std::string& d, const std::string&) {
             put(d + "\\attinfo_db", 16 + kRecordSize + 4, std::string("\x01\x02", 2));
             std::string s = ReadWhole(d + "\\attname_db\\leaf");
             s[s.find(std::string("n02", 4)) + 1] = '\x01';
             WriteWhole(d + "\\attname_db\\leaf", s);
         },
         1, "n01\t1\t4\nn03\t3\t4\n", 4,
         {"lost file-list entries of attribute 2: 4 (the list belongs to no recovered "
          "attribute; 0 recovered)\n",
          "file-list entries: 8 recovered, 4 lost\n"}},
        {"adbinfo zeroed: rebuilt from the stores", 2, 1,
         [&](const std::string& d, const std::string&) {
             WriteWhole(d + "\\adbinfo", std::string(48, '\0'));
         },
         1, "n01\t1\t1\nn02\t2\t1\n", 1,
         {"adbinfo: P2 cannot be known from the stores; 0 was taken from the damaged file\n",
          "stores rebuilt: adbinfo, "}},
        {"links: a file list and a carried-over entry lead outside", 2, 5,
         [&](const std::string& d, const std::string& strOutside) {
             ASSERT_TRUE(CopyEntry(CPath((d + "\\fidlists\\2").c_str()),
                                   CPath((strOutside + "\\list").c_str())));
             WriteWhole(strOutside + "\\secret", "outside");
             platform::testing::RemoveTree(d + "\\fidlists\\2");
             if (!platform::testing::MakeLink(d + "\\fidlists\\2", strOutside + "\\list",
                                              platform::kLinkToDirectory))
                 GTEST_SKIP() << "this system makes no links";
             // Where links to files can be made (not under Wine), one more.
             platform::testing::MakeLink(d + "\\updatelist", strOutside + "\\secret",
                                         platform::kLinkToFile);
         },
         1, "n01\t1\t5\nn02\t2\t0\n", 5,
         {"lost file-list entries of attribute 2 \"n02\": an unknown number (the file list is "
          "a link, not followed; 0 recovered)\n",
          "left out: fidlists\\2 is a link; links are neither followed nor copied\n"}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.szWhat);
        platform::testing::CScratchDir scratch;
        const std::string strDir = scratch.Sub("db");
        const std::string strNew = scratch.Sub("new");
        platform::DirCreate(scratch.Sub("outside").c_str());
        MakeSmall(strDir, c.nAttributes, c.nFiles);
        c.damage(strDir, scratch.Sub("outside"));
        if (IsSkipped())
            return;
        const auto before = platform::testing::SnapshotTree(strDir);
        const SRun run = Tool({"recover", strDir, strNew});
        EXPECT_EQ(before, platform::testing::SnapshotTree(strDir));
        EXPECT_EQ(c.nCode, run.nCode) << run.strOutput;
        for (const char* szPart : c.vReport)
            EXPECT_NE(std::string::npos, run.strOutput.find(Printed(szPart)))
                << szPart << "\n" << run.strOutput;
        EXPECT_EQ(0, Tool({"check", strNew}).nCode);
        EXPECT_EQ(Printed(c.szList), Tool({"list", strNew}).strOutput) << run.strOutput;
        const Content got = Dump(strNew);
        if (c.nFilesOf1 != 0 && got.count(1) != 0) {
            const std::vector<std::uint32_t>& v = got.at(1).vFiles;
            EXPECT_EQ(c.nFilesOf1, v.size());
            for (std::uint32_t nFile : v)
                EXPECT_TRUE(nFile > 1000 && nFile <= 1000 + c.nFiles) << nFile;
        }
        unsigned nAttributes = 0;
        if (platform::FileGetAttributes((strDir + "\\updatelist").c_str(), &nAttributes) ==
            platform::kFileOk) {
            EXPECT_NE(std::string::npos,
                      run.strOutput.find("left out: updatelist is a link; links are neither "
                                         "followed nor copied\n"));
        }
        EXPECT_FALSE(platform::PathExists((strNew + "\\updatelist").c_str()));
    }
}

// Leaves a write transaction in vArgs[0]: "committed" ends the process just
// after the commit marker, "unfinished" before the commit.
CHILD_SCENARIO(recover_leave_log)
{
    CADB db;
    if (testing::AssociateDefault(&db, vArgs.at(0)) != 0 || db.Open(1, 30000) != 1)
        return 1;
    std::uint32_t nId = 0;
    if (db.AddAtt("logged", &nId) != 0 || LinkFile(db, 5, 999999) != 0)
        return 2;
    if (vArgs.at(1) == "unfinished")
        platform::EndProcessNow();
    platform::ArmFaults("exit-at=commit-marker");
    db.Close(1);
    return 3;
}

TEST_F(RecoverTest, TransactionLeftBehindIsFinishedOnACopy)
{
    struct Case {
        const char* szMode;
        bool bTear;
        SExpected expected;
    };
    SExpected committed;
    committed.strReportPart = "log: a committed transaction left in the database was applied";
    committed.adjust = [](Content* p) {
        // The transaction took the id that the merge had freed.
        (*p)[kMergedEmpty] = SAtt{"logged", 0, 0, {}};
        (*p)[5].vFiles.push_back(999999);
    };
    SExpected unfinished;
    unfinished.strReportPart = "log: an unfinished transaction left in the database was rolled back";
    SExpected torn;
    torn.nCode = 1;
    torn.strReportPart = "could not be finished on a copy (the committed transaction could not "
                         "be applied: its log is damaged); the files were read as they were";
    const Case kCases[] = {
        {"committed", false, committed},
        {"unfinished", false, unfinished},
        {"committed", true, torn},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.szMode) + (c.bTear ? " torn" : ""));
        platform::testing::RemoveTree(m_strDir);
        platform::testing::RemoveTree(m_scratch.Sub("new"));
        ASSERT_TRUE(CopyEntry(CPath(s_pSample->Sub("sound").c_str()), CPath(m_strDir.c_str())));
        ASSERT_EQ(platform::kFaultExitCode,
                  platform::testing::RunChild("recover_leave_log", {m_strDir, c.szMode}));
        ASSERT_TRUE(platform::PathExists(In("transaction\\log").c_str()));
        if (c.bTear) {
            // Cut one block of the name index's log in half.
            bool bTorn = false;
            std::vector<platform::DirEntry> vLogs;
            platform::DirList(In("transaction\\log\\files").c_str(), &vLogs);
            for (const platform::DirEntry& log : vLogs) {
                const std::string strLog = In("transaction\\log\\files\\" + log.strName);
                if (bTorn || ReadWhole(strLog + "\\path").find("attname_db") == std::string::npos)
                    continue;
                std::vector<platform::DirEntry> vBlocks;
                platform::DirList((strLog + "\\blocks").c_str(), &vBlocks);
                ASSERT_FALSE(vBlocks.empty());
                const std::string strBlock = strLog + "\\blocks\\" + vBlocks[0].strName;
                WriteWhole(strBlock, ReadWhole(strBlock).substr(0, 10));
                bTorn = true;
            }
            ASSERT_TRUE(bTorn);
        }
        RecoverAndVerify(c.expected, c.szMode);
    }
}

TEST_F(RecoverTest, RefusesWhatItCannotDo)
{
    struct Case {
        std::vector<std::string> vArgs;
        int nCode;
    };
    platform::DirCreate(m_scratch.Sub("full").c_str());
    WriteWhole(m_scratch.Sub("full\\x"), "x");
    // Without "adbinfo" and the name index's header no parameters can be had.
    platform::FileRemove(In("adbinfo").c_str());
    platform::FileRemove(In("attname_db\\bptinfo").c_str());
    platform::testing::CScratchDir other;
    ASSERT_TRUE(CopyEntry(CPath(s_pSample->Sub("sound").c_str()), CPath(other.Sub("db").c_str())));
    const Case kCases[] = {
        {{"recover", m_strDir}, 2},
        {{"recover", m_strDir, m_strNew, "more"}, 2},
        {{"recover", m_strDir, m_strNew}, 1},                          // no parameters
        {{"recover", other.Sub("db"), m_scratch.Sub("full")}, 1},       // target not empty
        {{"recover", other.Sub("db"), other.Sub("db\\inside")}, 1},     // target inside
        {{"recover", other.Sub("db"), other.Sub("db")}, 1},
    };
    const auto before = platform::testing::SnapshotTree(other.Sub("db"));
    for (const Case& c : kCases) {
        const SRun run = Tool(c.vArgs);
        EXPECT_EQ(c.nCode, run.nCode) << c.vArgs.size();
        EXPECT_EQ("", run.strOutput);
    }
    EXPECT_FALSE(platform::PathExists(m_strNew.c_str()));
    EXPECT_EQ(before, platform::testing::SnapshotTree(other.Sub("db")));
    EXPECT_EQ("x", ReadWhole(m_scratch.Sub("full\\x")));
}

}  // namespace
}  // namespace velk

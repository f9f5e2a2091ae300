#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/bptree/record_file.h"
#include "engine/database/adb_test_support.h"
#include "engine/txstore/fs_context.h"

namespace velk {
namespace {

using testing::CScratchDatabase;
using testing::ReadWhole;
using testing::WriteWhole;

using testing::Printed;
using testing::SRun;
using testing::Tool;

class AdbToolTest : public ::testing::Test {
protected:
    AdbToolTest() : m_strDir(m_scratch.Sub("sample\\db\\adb")) {}

    void MakeSample()
    {
        ASSERT_EQ(0, Tool({"create", m_strDir}).nCode);
        ASSERT_EQ(0, Tool({"add", m_strDir, "赤", "blue", "Ａ", "green"}).nCode);
        ASSERT_EQ(0, Tool({"link", m_strDir, "blue", "5", "6"}).nCode);
        ASSERT_EQ(0, Tool({"link", m_strDir, "green", "6", "7"}).nCode);
    }
    std::string List()
    {
        const SRun run = Tool({"list", m_strDir});
        EXPECT_EQ(0, run.nCode);
        return run.strOutput;
    }
    std::string Sub(const std::string& strName) { return m_strDir + "\\" + strName; }

    platform::testing::CScratchDir m_scratch;
    std::string m_strDir;
};

TEST_F(AdbToolTest, BuildsAndListsADatabase)
{
    MakeSample();
    const SRun again = Tool({"add", m_strDir, "blue"});
    EXPECT_EQ(0, again.nCode);
    EXPECT_EQ(Printed("\"blue\" is registered already as 2\n"), again.strOutput);
    EXPECT_EQ(Printed("blue\t2\t2\ngreen\t4\t2\nＡ\t3\t0\n赤\t1\t0\n"), List());

    EXPECT_EQ(0, Tool({"rename", m_strDir, "Ａ", "ａｂ"}).nCode);
    EXPECT_EQ(0, Tool({"merge", m_strDir, "blue", "green"}).nCode);
    EXPECT_EQ(Printed("blue\t2\t3\nａｂ\t3\t0\n赤\t1\t0\n"), List());
    const SRun check = Tool({"check", m_strDir});
    EXPECT_EQ(0, check.nCode) << check.strOutput;
}

TEST_F(AdbToolTest, FailuresExitNonZeroAndChangeNothing)
{
    MakeSample();
    const std::string strBefore = List();
    struct Case {
        std::vector<std::string> args;
        int code;
    };
    const Case kCases[] = {
        {{}, 2},
        {{"frob", m_strDir}, 2},
        {{"--timeout"}, 2},
        {{"add", m_strDir}, 2},
        {{"link", m_strDir, "blue", "0"}, 2},
        {{"link", m_strDir, "blue", "4294967296"}, 2},
        {{"create", m_strDir, "--name-size"}, 2},
        {{"create", ""}, 2},
        {{"create", m_strDir, "--path-order", "Sideways"}, 2},
        {{"create", m_strDir}, 1},
        {{"create", m_scratch.Sub("other"), "--name-size", "1"}, 1},
        {{"add", m_scratch.Path() + "nothing", "x"}, 1},
        {{"add", m_strDir, "new", std::string(256, 'n')}, 1},
        {{"link", m_strDir, "nosuch", "1"}, 1},
        {{"rename", m_strDir, "blue", "green"}, 1},
        {{"rename", m_strDir, "nosuch", "x"}, 1},
        {{"merge", m_strDir, "blue", "blue"}, 1},
        {{"merge", m_strDir, "blue", "nosuch"}, 1},
    };
    for (const Case& c : kCases) {
        const SRun run = Tool(c.args);
        std::string strWhat;
        for (const std::string& s : c.args)
            strWhat += s.substr(0, 20) + " ";
        EXPECT_EQ(c.code, run.nCode) << strWhat;
        EXPECT_EQ("", run.strOutput) << strWhat;
    }
    EXPECT_EQ(strBefore, List());
    EXPECT_FALSE(platform::PathExists(m_scratch.Sub("other").c_str()));
}

// Every help text fits 79 columns; "create --help" explains and creates nothing.
TEST_F(AdbToolTest, HelpExplainsEachCommandWithin79Columns)
{
    struct Case {
        std::vector<std::string> args;
        std::vector<const char*> words;
    };
    const Case kCases[] = {
        {{"--help"}, {"create", "add", "link", "unlink", "rename", "merge", "list", "check",
                      "recover", "preview", "--timeout", "--version", "Exit codes"}},
        {{"/?"}, {"create", "recover"}},
        {{"create", "--help"}, {"DIR", "--name-size", "--path-order", "StringDescending"}},
        {{"create", "x", "-h"}, {"--hash-size"}},
        {{"link", "--help"}, {"FILEID", "standard input"}},
        {{"unlink", "--help"}, {"FILEID"}},
        {{"list", "--help"}, {"NAME<tab>ID<tab>FILES"}},
        {{"check", "--help"}, {"exits with 1"}},
        {{"recover", "--help"}, {"NEWDIR", "nothing lost"}},
        {{"preview", "--help"}, {"VIEW", "NAME<tab>OLD<tab>NEW", "Neither file is written"}},
    };
    for (const Case& c : kCases) {
        const SRun run = Tool(c.args, m_scratch.Path());
        EXPECT_EQ(0, run.nCode) << c.args[0];
        for (const char* szWord : c.words)
            EXPECT_NE(std::string::npos, run.strOutput.find(szWord)) << szWord;
        size_t nStart = 0;
        while (nStart < run.strOutput.size()) {
            size_t nEnd = run.strOutput.find('\n', nStart);
            if (nEnd == std::string::npos)
                nEnd = run.strOutput.size();
            EXPECT_LE(nEnd - nStart, 79u) << run.strOutput.substr(nStart, nEnd - nStart);
            nStart = nEnd + 1;
        }
    }
    EXPECT_FALSE(platform::PathExists(m_scratch.Sub("--help").c_str()));
    EXPECT_FALSE(platform::PathExists(m_scratch.Sub("-h").c_str()));
    EXPECT_FALSE(platform::PathExists(m_scratch.Sub("x").c_str()));
}

TEST_F(AdbToolTest, OptionsStandAnywhereAndDoubleDashEndsThem)
{
    MakeSample();
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* output;   // the start of standard output
    };
    const Case kCases[] = {
        {{"list", m_strDir, "--timeout=100"}, 0, "blue\t2\t2\n"},
        {{"--timeout", "100", "list", m_strDir}, 0, "blue\t2\t2\n"},
        {{"add", m_strDir, "--", "-x", "--timeout"}, 0, "added \"-x\" as 5\nadded \"--timeout\""},
        {{"list", m_strDir, "extra"}, 2, ""},
        {{"list"}, 2, ""},
        {{"list", m_strDir, "--frob"}, 2, ""},
        {{"--timeout=soon", "list", m_strDir}, 2, ""},
        {{"--version"}, 0, "adbtool "},
    };
    for (const Case& c : kCases) {
        const SRun run = Tool(c.args);
        EXPECT_EQ(c.code, run.nCode) << c.args[0];
        EXPECT_EQ(0u, run.strOutput.find(Printed(c.output))) << run.strOutput;
    }
    EXPECT_NE(std::string::npos, Tool({"--version"}).strOutput.find("(build "));
}

// More ids than a Windows command line holds (32,767 characters) go in through
// standard input, in one transaction; unlink takes some out again.
TEST_F(AdbToolTest, LinkReadsIdsFromInputAndUnlinkRemovesThem)
{
    MakeSample();
    std::string strIds;
    for (std::uint32_t n = 1; n <= 7000; ++n)
        strIds += std::to_string(1000000 + n) + (n % 3 == 0 ? "\n" : " ");
    const SRun link = Tool({"link", m_strDir, "赤", "-"}, std::string(), &strIds);
    EXPECT_EQ(0, link.nCode);
    EXPECT_EQ(Printed("blue\t2\t2\ngreen\t4\t2\nＡ\t3\t0\n赤\t1\t7000\n"), List());

    const SRun unlink = Tool({"unlink", m_strDir, "blue", "6", "9"});
    EXPECT_EQ(0, unlink.nCode);
    EXPECT_EQ(Printed("unlinked 6\n9 is not linked\n"), unlink.strOutput);
    const std::string strSome = "1000001\n1000002 1007000\n";
    EXPECT_EQ(0, Tool({"unlink", m_strDir, "赤", "-"}, std::string(), &strSome).nCode);
    EXPECT_EQ(Printed("blue\t2\t1\ngreen\t4\t2\nＡ\t3\t0\n赤\t1\t6997\n"), List());
    const std::string strBad = "5 x\n";
    EXPECT_EQ(2, Tool({"link", m_strDir, "blue", "-"}, std::string(), &strBad).nCode);
    EXPECT_EQ(0, Tool({"check", m_strDir}).nCode);
}

TEST_F(AdbToolTest, OnlyDirectoriesAreTakenForPathsAndMessagesNameThemAsTheUserDoes)
{
    // The user's form: "/a/b" on POSIX, the path itself on Windows.
    const std::string strShown = platform::UserPath(m_strDir);
    ASSERT_EQ(0, Tool({"create", strShown}).nCode);
    const SRun add = Tool({"add", strShown, "/music", "a\\b"});
    EXPECT_EQ(0, add.nCode);
    EXPECT_EQ(Printed("added \"/music\" as 1\nadded \"a\\b\" as 2\n"), add.strOutput);
    EXPECT_EQ(Printed("/music\t1\t0\na\\\\b\t2\t0\n"), List());
    EXPECT_EQ(Printed(strShown + ": no problems found\n"), Tool({"check", strShown}).strOutput);
}

TEST_F(AdbToolTest, CheckFindsInjectedDamage)
{
    struct Case {
        const char* what;
        void (*damage)(const std::string& strDir);
        const char* expected;  // part of the report
    };
    const Case kCases[] = {
        {"a leaf with an impossible entry count",
         [](const std::string& strDir) {
             const std::string strLeaf = strDir + "\\attname_db\\leaf";
             std::string s = ReadWhole(strLeaf);
             s.replace(16, 4, "\xFF\xFF\x00\x00", 4);  // leaf 1: entry count
             WriteWhole(strLeaf, s);
         },
         "attname_db: "},
        {"a name whose record is gone",
         [](const std::string& strDir) {
             CFSContext context(1, DestroyObject);
             CRecordFile records;
             records.Open(&context, (strDir + "\\attinfo_db").c_str(), 1);
             records.Free(4);
             records.Close();
         },
         "attname_db: the name \"green\" refers to attribute 4, which has no record"},
        {"attribute records longer than the parameters give",
         [](const std::string& strDir) {
             // An empty record file of 337-byte records, where the parameters give 336.
             const std::string strRecords = strDir + "\\attinfo_db";
             WriteWhole(strRecords, ReadWhole(strRecords).substr(0, 8) +
                                        std::string("\x51\x01\0\0", 4) + std::string(8, '\0'));
         },
         "attinfo_db: records of 337 bytes, but the parameters give 336"},
        {"a file list that is gone",
         [](const std::string& strDir) {
             const std::string strList = strDir + "\\fidlists\\2";
             platform::FileRemove((strList + "\\bptinfo").c_str());
         },
         "fidlists\\2: the file list of \"blue\" is missing or damaged"},
    };
    for (const Case& c : kCases) {
        platform::testing::RemoveTree(m_strDir);
        MakeSample();
        c.damage(m_strDir);
        const SRun run = Tool({"check", m_strDir});
        EXPECT_EQ(1, run.nCode) << c.what;
        EXPECT_NE(std::string::npos, run.strOutput.find(Printed(c.expected)))
            << c.what << "\n" << run.strOutput;
    }
}

// One row per attribute whatever its name holds, and every row that reads.
TEST_F(AdbToolTest, ListEscapesNamesAndPrintsEveryRowItCan)
{
    MakeSample();
    ASSERT_EQ(0, Tool({"add", m_strDir, "tab\there", "two\nlines", "\x95\x5C\x01"}).nCode);
    EXPECT_EQ(Printed("blue\t2\t2\ngreen\t4\t2\ntab\\there\t5\t0\ntwo\\nlines\t6\t0\n"
                      "Ａ\t3\t0\n赤\t1\t0\n\x95\x5C\\x01\t7\t0\n"),
              List());
    platform::FileRemove(Sub("fidlists\\2\\bptinfo").c_str());
    const SRun run = Tool({"list", m_strDir});
    EXPECT_EQ(1, run.nCode);
    EXPECT_EQ(Printed("blue\t2\t?\ngreen\t4\t2\ntab\\there\t5\t0\ntwo\\nlines\t6\t0\n"
                      "Ａ\t3\t0\n赤\t1\t0\n\x95\x5C\\x01\t7\t0\n"),
              run.strOutput);
}

// A database that another program holds is busy, not damaged: check says so with
// an exit code of its own.
TEST_F(AdbToolTest, CheckOfABusyDatabaseIsNoProblem)
{
    MakeSample();
    CADB writer;
    ASSERT_EQ(0, testing::AssociateDefault(&writer, m_strDir));
    ASSERT_EQ(1, writer.Open(1, 10000));
    const SRun run = Tool({"check", m_strDir, "--timeout", "200"});
    EXPECT_EQ(3, run.nCode);
    EXPECT_EQ("", run.strOutput);
    writer.Close(0);
    EXPECT_EQ(0, Tool({"check", m_strDir}).nCode);
}

// --json prints one document in UTF-8, whatever the console's code page.
TEST_F(AdbToolTest, JsonDocumentsDescribeTheDatabase)
{
    MakeSample();
    ASSERT_EQ(0, Tool({"merge", m_strDir, "blue", "green"}).nCode);
    ASSERT_EQ(0, Tool({"add", m_strDir, "gone", "later"}).nCode);
    ASSERT_EQ(0, Tool({"merge", m_strDir, "blue", "gone"}).nCode);  // no files: freed
    using nlohmann::json;
    const SRun list = Tool({"list", "--json", m_strDir});
    ASSERT_EQ(0, list.nCode);
    const json listed = json::parse(list.strOutput);
    EXPECT_TRUE(listed["complete"].get<bool>());
    ASSERT_EQ(4u, listed["attributes"].size());
    // The source's narrow literals are code-page text; the document is UTF-8.
    EXPECT_EQ(json({{"name", u8"赤"}, {"id", 1}, {"files", 0}}), listed["attributes"][3]);
    EXPECT_EQ(3, listed["attributes"][0]["files"].get<int>());

    const SRun info = Tool({"info", m_strDir, "--json"});
    ASSERT_EQ(0, info.nCode);
    const json described = json::parse(info.strOutput);
    EXPECT_EQ(4, described["attributes"].get<int>());
    EXPECT_EQ(1, described["forwarders"].get<int>());
    EXPECT_EQ(1, described["freed_ids"].get<int>());
    EXPECT_EQ(3, described["file_list_entries"].get<int>());
    EXPECT_EQ(256, described["parameters"]["name_size"].get<int>());
    EXPECT_EQ("NoCaseAscending", described["path_order"].get<std::string>());
    EXPECT_FALSE(described["transaction_log_waiting"].get<bool>());
    EXPECT_LT(0, described["store_bytes"]["attinfo_db"].get<int>());

    const SRun check = Tool({"check", "--json", m_strDir});
    EXPECT_EQ(0, check.nCode);
    EXPECT_EQ(json::array(), json::parse(check.strOutput)["problems"]);

    // Without its leaves the list's entries are gone (without only its header,
    // every leaf would still read and nothing be lost).
    platform::FileRemove(Sub("fidlists\\2\\leaf").c_str());
    const SRun damaged = Tool({"check", "--json", m_strDir});
    EXPECT_EQ(1, damaged.nCode);
    EXPECT_EQ(1u, json::parse(damaged.strOutput)["problems"].size());
    const SRun recover = Tool({"recover", "--json", m_strDir, m_scratch.Sub("new")});
    EXPECT_EQ(1, recover.nCode);
    const json recovered = json::parse(recover.strOutput);
    EXPECT_EQ("lost", recovered["outcome"].get<std::string>());
    EXPECT_EQ(2, recovered["list_losses"][0]["id"].get<int>());
}

// dump writes everything a database holds; load makes the same database from it.
TEST_F(AdbToolTest, LoadOfADumpGivesTheSameDump)
{
    ASSERT_EQ(0, Tool({"create", m_strDir, "--extra-size", "4", "--path-order",
                       "BinaryDescending"}).nCode);
    ASSERT_EQ(0, Tool({"add", m_strDir, "赤", "blue", "gone", "green", "\x95\x5C", "tab\tx",
                       "last"}).nCode);
    std::string strIds;
    for (std::uint32_t n = 1; n <= 3000; ++n)
        strIds += std::to_string(n * 7) + "\n";
    ASSERT_EQ(0, Tool({"link", m_strDir, "blue", "-"}, std::string(), &strIds).nCode);
    ASSERT_EQ(0, Tool({"link", m_strDir, "green", "7", "8"}).nCode);
    ASSERT_EQ(0, Tool({"merge", m_strDir, "blue", "green"}).nCode);  // a forwarder
    ASSERT_EQ(0, Tool({"merge", m_strDir, "blue", "gone"}).nCode);   // a freed id
    const SRun dump = Tool({"dump", m_strDir});
    ASSERT_EQ(0, dump.nCode);
    EXPECT_EQ(std::string::npos, dump.strOutput.find("\"id\":3,"));
    EXPECT_NE(std::string::npos, dump.strOutput.find("\"id\":4,\"state\":2,\"forward\":2,"));
    const std::string strDumpFile = m_scratch.Sub("adb.dump");
    WriteWhole(strDumpFile, dump.strOutput);

    const std::string strLoaded = m_scratch.Sub("loaded");
    EXPECT_EQ(0, Tool({"load", strDumpFile, strLoaded}).nCode);
    EXPECT_EQ(dump.strOutput, Tool({"dump", strLoaded}).strOutput);
    EXPECT_EQ(List(), Tool({"list", strLoaded}).strOutput);
    EXPECT_EQ(0, Tool({"check", strLoaded}).nCode);
    // The next name takes the freed id in both.
    EXPECT_EQ(Tool({"add", m_strDir, "new"}).strOutput, Tool({"add", strLoaded, "new"}).strOutput);

    const std::string strFirst = dump.strOutput.substr(0, dump.strOutput.find('\n') + 1);
    struct Case {
        const char* what;
        std::string text;
    };
    const Case kCases[] = {
        {"no dump", "{\"format\":\"other\"}\n"},
        {"cut short", dump.strOutput.substr(0, dump.strOutput.size() / 2)},
        {"a forwarder to nowhere", strFirst + "{\"id\":1,\"state\":2,\"forward\":9,"
                                   "\"merged_files\":0,\"name\":\"\",\"name_bytes\":\"\","
                                   "\"extra\":\"00000000\",\"files\":[]}\n"},
        {"extra of another size", strFirst + "{\"id\":1,\"state\":0,\"forward\":0,"
                                  "\"merged_files\":0,\"name\":\"a\",\"name_bytes\":\"61\","
                                  "\"extra\":\"00\",\"files\":[]}\n"},
    };
    for (const Case& c : kCases) {
        WriteWhole(strDumpFile, c.text);
        platform::testing::RemoveTree(strLoaded);
        EXPECT_EQ(1, Tool({"load", strDumpFile, strLoaded}).nCode) << c.what;
        const SRun list = Tool({"list", strLoaded});
        EXPECT_EQ("", list.strOutput) << c.what;
    }
}

// Freed ids after the last record, which other programs leave in a database,
// survive dump and load: the next name takes the same id in both.
TEST_F(AdbToolTest, DumpAndLoadKeepFreedIdsAfterTheLastRecord)
{
    ASSERT_EQ(0, Tool({"create", m_strDir}).nCode);
    ASSERT_EQ(0, Tool({"add", m_strDir, "a", "b", "c"}).nCode);
    // The record file as another program writes it: N 5, ids 4 and 5 free.
    const std::string strRecords = Sub("attinfo_db");
    std::string s = ReadWhole(strRecords);
    const size_t cbRecord = static_cast<unsigned char>(s[8]) + 256u * static_cast<unsigned char>(s[9]);
    ASSERT_EQ(16 + 3 * cbRecord + 4, s.size());
    s.resize(16 + 3 * cbRecord);
    s += std::string(2 * cbRecord, '\0') + std::string("\x02\0\0\0\x04\0\0\0\x05\0\0\0", 12);
    s[12] = 5;
    WriteWhole(strRecords, s);
    ASSERT_EQ(0, Tool({"check", m_strDir}).nCode);

    const SRun dump = Tool({"dump", m_strDir});
    ASSERT_EQ(0, dump.nCode);
    EXPECT_NE(std::string::npos, dump.strOutput.find("\"highest_id\":5}"));
    const std::string strDumpFile = m_scratch.Sub("adb.dump");
    WriteWhole(strDumpFile, dump.strOutput);
    const std::string strLoaded = m_scratch.Sub("loaded");
    ASSERT_EQ(0, Tool({"load", strDumpFile, strLoaded}).nCode);
    EXPECT_EQ(dump.strOutput, Tool({"dump", strLoaded}).strOutput);
    EXPECT_EQ(Printed("added \"new\" as 5\n"), Tool({"add", m_strDir, "new"}).strOutput);
    EXPECT_EQ(Printed("added \"new\" as 5\n"), Tool({"add", strLoaded, "new"}).strOutput);

    // A dump without the field loads as before; one whose ids would pass the
    // record file's limit is refused.
    const std::string strFirst = dump.strOutput.substr(0, dump.strOutput.find('\n'));
    const std::string strRest = dump.strOutput.substr(strFirst.size());
    const std::string strField = ",\"highest_id\":5";
    std::string strOld = strFirst;
    strOld.erase(strOld.find(strField), strField.size());
    WriteWhole(strDumpFile, strOld + strRest);
    const std::string strOldLoaded = m_scratch.Sub("old");
    ASSERT_EQ(0, Tool({"load", strDumpFile, strOldLoaded}).nCode);
    EXPECT_EQ(Printed("added \"new\" as 4\n"), Tool({"add", strOldLoaded, "new"}).strOutput);
    std::string strHuge = strFirst;
    strHuge.replace(strHuge.find(strField), strField.size(), ",\"highest_id\":4294967295");
    WriteWhole(strDumpFile, strHuge + strRest);
    EXPECT_EQ(1, Tool({"load", strDumpFile, m_scratch.Sub("huge")}).nCode);
}

// Writes to the database vArgs[0] until the file vArgs[1] is gone: transactions
// that register a name each and stay open for a while, with pauses between them.
CHILD_SCENARIO(adb_keep_writing)
{
    CADB adb;
    if (testing::AssociateDefault(&adb, vArgs.at(0)) != 0)
        return 1;
    for (int i = 0; i < 3000 && platform::PathExists(vArgs.at(1).c_str()); ++i) {
        if (adb.Open(1, 1000) != 1)
            continue;  // the checks had it a while: try again
        adb.AddAtt((vArgs.at(2) + std::to_string(i)).c_str(), nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        adb.Close(1);
        // Room for readers: waiting writers go first, so writers that always
        // overlapped would keep every reader out.
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return 0;
}

// A log is a problem only when it is there under read access: an interrupted
// transaction that readers kept from being finished, never a writer's running one.
TEST_F(AdbToolTest, CheckReportsOnlyWhatItSeesUnderReadAccess)
{
    MakeSample();
    {
        CADB reader;  // holds read access, so nobody can finish the transaction
        ASSERT_EQ(0, testing::AssociateDefault(&reader, m_strDir));
        ASSERT_EQ(1, reader.Open(0, 10000));
        ASSERT_EQ(platform::kFileOk, platform::DirCreate(Sub("transaction\\log").c_str()));
        const SRun run = Tool({"check", m_strDir});
        EXPECT_EQ(1, run.nCode);
        EXPECT_NE(std::string::npos, run.strOutput.find(Printed("transaction\\log: "))) << run.strOutput;
        reader.Close(0);
    }
    const SRun recovered = Tool({"check", m_strDir});  // finished by the check's own opening
    EXPECT_EQ(0, recovered.nCode) << recovered.strOutput;
    EXPECT_FALSE(platform::PathExists(Sub("transaction\\log").c_str()));

    const std::string strGo = m_scratch.Sub("writing");
    WriteWhole(strGo, "");
    // One writer: it pauses between its transactions, so a waiting check always gets
    // in; two writers could hand the guard to each other for as long as they run.
    std::vector<platform::CChildProcess> vWriters(1);
    for (std::size_t i = 0; i < vWriters.size(); ++i)
        ASSERT_EQ(0, platform::testing::StartChild(&vWriters[i], "adb_keep_writing",
                                                   {m_strDir, strGo, "w" + std::to_string(i) + "-"}));
    for (int i = 0; i < 6; ++i) {
        const SRun run = Tool({"--timeout", "60000", "check", m_strDir});
        EXPECT_EQ(0, run.nCode) << run.strOutput;
    }
    platform::FileRemove(strGo.c_str());
    for (platform::CChildProcess& writer : vWriters) {
        int nCode = -1;
        EXPECT_TRUE(writer.Wait(60000, &nCode));
        EXPECT_EQ(0, nCode);
    }
    EXPECT_EQ(0, Tool({"check", m_strDir}).nCode);
}

// A log names its files by path. Run with a relative directory, adbtool still
// writes a log that a program started in another directory can finish.
TEST_F(AdbToolTest, LogOfARunWithARelativeDirectoryIsFinishedFromElsewhere)
{
    MakeSample();
    {
        // Held open without sharing writes: the commit cannot apply its log to the
        // attribute records, so the log stays behind with its marker.
        platform::CFileHandle hold;
        ASSERT_EQ(platform::kFileOk,
                  platform::FileOpen(Sub("attinfo_db").c_str(), platform::kFileAccessRead,
                                     platform::kFileShareRead, platform::kFileOpenExisting, &hold));
        const SRun run = Tool({"add", "sample\\db\\adb", "purple"}, m_scratch.Path());
        EXPECT_EQ(1, run.nCode) << run.strOutput;
    }
    ASSERT_TRUE(platform::PathExists(Sub("transaction\\log\\commit").c_str()));
    EXPECT_EQ(Printed("blue\t2\t2\ngreen\t4\t2\npurple\t5\t0\nＡ\t3\t0\n赤\t1\t0\n"), List());
    EXPECT_FALSE(platform::PathExists(Sub("transaction\\log").c_str()));
    const SRun check = Tool({"check", m_strDir});
    EXPECT_EQ(0, check.nCode) << check.strOutput;
}

}  // namespace
}  // namespace velk

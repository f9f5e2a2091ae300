#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

#include "engine/database/adb_test_support.h"
#include "platform/file.h"
#include "platform/process.h"

namespace velk {
namespace {

using nlohmann::json;
using testing::Printed;
using testing::ReadWhole;
using testing::SRun;
using testing::Tool;
using testing::WriteWhole;

// An application directory: the repair tool beside "db\adb", and a view to restore.
class PreviewTest : public ::testing::Test {
protected:
    PreviewTest()
        : m_strDb(m_scratch.Sub("db\\adb")), m_strView(m_scratch.Sub("source.xml"))
    {
    }

    // music (id 1, two files), photo 2, travel 5; ids 3 and 4 are freed, so the
    // next names registered take 4, then 3, then 6.
    void MakeDatabase()
    {
        ASSERT_EQ(0, Tool({"create", m_strDb}).nCode);
        ASSERT_EQ(0, Tool({"add", m_strDb, "music", "photo", "gone1", "gone2", "travel"}).nCode);
        ASSERT_EQ(0, Tool({"link", m_strDb, "music", "10", "11"}).nCode);
        ASSERT_EQ(0, Tool({"merge", m_strDb, "photo", "gone1"}).nCode);
        ASSERT_EQ(0, Tool({"merge", m_strDb, "photo", "gone2"}).nCode);
    }

    // Runs the repair tool from the application directory on the view.
    int Repair()
    {
        const std::string strTool = m_scratch.Sub("attview-restore") + platform::kExecutableSuffix;
        EXPECT_EQ(platform::kFileOk,
                  platform::FileCopy((platform::testing::BinaryDirectory() + "attview-restore" +
                                      platform::kExecutableSuffix).c_str(),
                                     strTool.c_str()));
        platform::CChildProcess tool;
        EXPECT_EQ(0, tool.Start(strTool, {"attview-restore", m_strView}));
        int nCode = -999;
        EXPECT_TRUE(tool.Wait(120000, &nCode));
        return nCode;
    }

    platform::testing::CScratchDir m_scratch;
    std::string m_strDb;
    std::string m_strView;
};

// The entries of two snapshots that differ, by path. Every opening of a database,
// for reading too, throws its "temp" into the dustbox and lets the dustbox be
// emptied: the dustboxes are left out.
std::vector<std::string> Differences(const std::map<std::string, std::string>& before,
                                     const std::map<std::string, std::string>& after)
{
    const auto Kept = [](const std::string& strPath) {
        return strPath.find("\\dustbox\\") == std::string::npos;
    };
    std::vector<std::string> vPaths;
    for (const auto& entry : before)
        if (Kept(entry.first) &&
            (after.count(entry.first) == 0 || after.at(entry.first) != entry.second))
            vPaths.push_back(entry.first);
    for (const auto& entry : after)
        if (Kept(entry.first) && before.count(entry.first) == 0)
            vPaths.push_back(entry.first);
    return vPaths;
}

std::string View(const std::string& strItems)
{
    return "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\r\n<attview>\r\n\t<root>\r\n" +
           strItems + "\t</root>\r\n</attview>\r\n";
}

// An item; nId < 0: one without "id_att".
std::string Item(const std::string& strName, int nId)
{
    return "\t\t<item category=\"0\" icon=\"1\" " +
           (nId < 0 ? std::string() : "id_att=\"" + std::to_string(nId) + "\" ") + "name=\"" +
           strName + "\"/>\r\n";
}

// (name, id_att) of every item that is no category, in document order. The
// writer gives each attribute as name="value", without a ">" in a value.
std::vector<std::pair<std::string, int>> Items(const std::string& strView)
{
    std::vector<std::pair<std::string, int>> vItems;
    for (size_t nAt = strView.find("<item"); nAt != std::string::npos;
         nAt = strView.find("<item", nAt + 1)) {
        const std::string strTag = strView.substr(nAt, strView.find('>', nAt) - nAt);
        const auto Value = [&strTag](const std::string& strName) {
            const size_t nStart = strTag.find(" " + strName + "=\"");
            if (nStart == std::string::npos)
                return std::string();
            const size_t nValue = nStart + strName.size() + 3;
            return strTag.substr(nValue, strTag.find('"', nValue) - nValue);
        };
        if (Value("category") == "1")
            continue;
        const std::string strId = Value("id_att");
        vItems.emplace_back(Value("name"), strId.empty() ? -1 : std::stoi(strId));
    }
    return vItems;
}

// The preview of a view with an item whose id changes, names to register (one
// twice, one that is too long) and an attribute missing from the view: what it
// says is what the tool then does, and it changes no file.
TEST_F(PreviewTest, ForetellsWhatTheRepairDoesAndWritesNothing)
{
    MakeDatabase();
    const std::string strLong(256, 'n');
    const std::vector<std::pair<std::string, int>> vSource = {
        {"photo", 9}, {"music", 1}, {"new_one", 3}, {"new_one", -1},
        {"zz", -1},   {"music", 1}, {strLong, 7},   {"third", 8},
    };
    std::string strItems = Item("photo", 9) + Item("music", 1) +
                           "\t\t<item category=\"1\" name=\"c\" icon=\"4\">\r\n";
    for (size_t i = 2; i < vSource.size(); ++i)
        strItems += Item(vSource[i].first, vSource[i].second);
    strItems += "\t\t</item>\r\n";
    WriteWhole(m_strView, View(strItems));
    const auto before = platform::testing::SnapshotTree(m_scratch.Path());

    const SRun text = Tool({"preview", m_strDb, m_strView});
    EXPECT_EQ(0, text.nCode);
    EXPECT_EQ(Printed("items whose id changes: 5\n"
                      "  photo\t9\t2\n"
                      "  new_one\t3\t4\n"
                      "  new_one\t-\t4\n"
                      "  zz\t-\t3\n"
                      "  third\t8\t6\n"
                      "names to register: 3\n"
                      "  new_one\t4\n"
                      "  zz\t3\n"
                      "  third\t6\n"
                      "names the database refuses (too long; their items keep their ids): 1\n"
                      "  " + strLong + "\n"
                      "attributes the appended category will hold: 1\n"
                      "  travel\t5\t0\n"),
              text.strOutput);
    const SRun run = Tool({"preview", "--json", m_strDb, m_strView});
    ASSERT_EQ(0, run.nCode);
    const json preview = json::parse(run.strOutput);
    EXPECT_EQ(std::vector<std::string>(),
              Differences(before, platform::testing::SnapshotTree(m_scratch.Path())));
    EXPECT_EQ(json({{"name", "new_one"}, {"old_id", nullptr}, {"new_id", 4}, {"registered", true}}),
              preview["changed_items"][2]);

    // Each item of the source in turn: the next changed item, or unchanged.
    std::vector<std::pair<std::string, int>> vExpected;
    size_t nChanged = 0;
    for (const auto& item : vSource) {
        const json& changed = preview["changed_items"];
        if (nChanged < changed.size() && changed[nChanged]["name"] == item.first) {
            vExpected.emplace_back(item.first, changed[nChanged]["new_id"].get<int>());
            ++nChanged;
        } else {
            vExpected.push_back(item);
        }
    }
    EXPECT_EQ(preview["changed_items"].size(), nChanged);
    for (const json& appended : preview["appended_attributes"])
        vExpected.emplace_back(appended["name"].get<std::string>(), appended["id"].get<int>());

    ASSERT_EQ(0, Repair());
    EXPECT_EQ(vExpected, Items(ReadWhole(m_scratch.Sub("db\\attview.xml"))));
    const json listed = json::parse(Tool({"list", "--json", m_strDb}).strOutput);
    std::map<std::string, int> ids;
    for (const json& attribute : listed["attributes"])
        ids[attribute["name"].get<std::string>()] = attribute["id"].get<int>();
    for (const json& registered : preview["registered_names"])
        EXPECT_EQ(registered["id"].get<int>(), ids[registered["name"].get<std::string>()]);
    EXPECT_EQ(6u, ids.size());
}

TEST_F(PreviewTest, RefusesWhatTheToolCannotUse)
{
    MakeDatabase();
    WriteWhole(m_strView, View(Item("photo", 9)));
    WriteWhole(m_scratch.Sub("broken.xml"), "<attview></root>");
    WriteWhole(m_scratch.Sub("empty.xml"), "<?xml version=\"1.0\"?>\r\n");
    ASSERT_EQ(0, Tool({"create", m_scratch.Sub("binary"), "--path-order", "BinaryAscending"}).nCode);
    ASSERT_EQ(0, Tool({"create", m_scratch.Sub("wide"), "--name-size", "300"}).nCode);
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* what;
    };
    const Case kCases[] = {
        {{"preview", m_strDb}, 2, "no view"},
        {{"preview", m_strDb, m_scratch.Sub("none.xml")}, 1, "no such view"},
        {{"preview", m_strDb, m_scratch.Sub("broken.xml")}, 1, "no XML"},
        {{"preview", m_strDb, m_scratch.Sub("empty.xml")}, 1, "no element"},
        {{"preview", m_scratch.Sub("none"), m_strView}, 1, "no database"},
        {{"preview", m_scratch.Sub("binary"), m_strView}, 1, "another path order"},
        {{"preview", m_scratch.Sub("wide"), m_strView}, 1, "names too long for the tool"},
    };
    const auto before = platform::testing::SnapshotTree(m_scratch.Path());
    for (const Case& c : kCases) {
        const SRun run = Tool(c.args);
        EXPECT_EQ(c.code, run.nCode) << c.what;
        EXPECT_EQ("", run.strOutput) << c.what;
    }
    EXPECT_EQ(std::vector<std::string>(),
              Differences(before, platform::testing::SnapshotTree(m_scratch.Path())));
}

}  // namespace
}  // namespace velk

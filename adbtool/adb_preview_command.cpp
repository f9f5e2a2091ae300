// preview: what attview-restore would do to a database and a view, computed by the
// same reconciliation the tool runs, with the database only read and no file
// written.
#include <cstring>
#include <map>
#include <vector>

#include "adbtool/adb_arguments.h"
#include "adbtool/adb_commands.h"
#include "adbtool/adb_output.h"
#include "adbtool/adb_summary.h"
#include "adbtool/open_database.h"
#include "engine/database/adb_tools.h"
#include "platform/file.h"
#include "reconcile/att_table.h"
#include "reconcile/reconcile.h"
#include "reconcile/view_file.h"
#include "support/runtime/library.h"

namespace adbtool {

namespace {

// The support library (the view's document tree lives in its heap) for the length
// of the command.
class CSupportLibrary {
public:
    CSupportLibrary() { m_bUp = mvbInitializeLibrary() == kVokOk; }
    ~CSupportLibrary()
    {
        if (m_bUp)
            mvbCloseLibrary();
    }
    CSupportLibrary(const CSupportLibrary&) = delete;
    CSupportLibrary& operator=(const CSupportLibrary&) = delete;
    bool IsUp() const { return m_bUp; }

private:
    bool m_bUp = false;
};

struct SChangedItem {
    std::string strName;
    bool bHadId;
    int nOldId;
    std::uint32_t nId;
    bool bNewName;  // nId is the id AddAtt gives the name
};

// What the tool would do, as the reconciliation decides it.
struct SPreview {
    std::vector<SChangedItem> vChanged;  // in document order
    std::vector<std::string> vRegistered;  // in the order the tool registers them
    std::vector<std::uint32_t> vRegisteredIds;
    std::vector<std::string> vRefused;
    AttTable appended;
};

// Runs the reconciliation on the document with the database only read: a name the
// table lacks is looked up, and one the database lacks either is what AddAtt would
// register, with the id it would give.
void Decide(velk::CADB& db, AttTable table, EDescription* pTop, SPreview* pPreview)
{
    std::map<std::string, std::uint32_t> registering;
    std::vector<std::uint32_t> vNextIds;
    const std::uint32_t cbNameField = db.GetAttNameSize();
    const auto resolve = [&](const char* szName, std::uint32_t* pnId) {
        *pnId = velk::FindAttribute(db, szName);
        if (*pnId != 0)
            return 0;
        const auto it = registering.find(szName);
        if (it != registering.end()) {
            *pnId = it->second;
            return 0;
        }
        // AddAtt refuses a name that does not fit its field with the NUL.
        if (std::strlen(szName) + 1 > cbNameField) {
            pPreview->vRefused.push_back(szName);
            return 1;
        }
        const size_t nIndex = pPreview->vRegistered.size();
        if (nIndex >= vNextIds.size())
            vNextIds = velk::NextAttributeIds(db, static_cast<std::uint32_t>(2 * nIndex + 16));
        *pnId = vNextIds[nIndex];
        registering[szName] = *pnId;
        pPreview->vRegistered.push_back(szName);
        pPreview->vRegisteredIds.push_back(*pnId);
        return 0;
    };
    const auto decided = [&](const SItemDecision& decision) {
        if (!decision.bHadId || decision.nOldId != static_cast<int>(decision.nId))
            pPreview->vChanged.push_back({decision.szName, decision.bHadId, decision.nOldId,
                                          decision.nId, registering.count(decision.szName) != 0});
    };
    for (int i = 0; i < pTop->GetChildCount(); ++i)
        DecideItems(&table, pTop->GetChildAt(static_cast<unsigned>(i)), resolve, decided);
    pPreview->appended = table;
}

}  // namespace

int Preview(const Words& vArgs, std::uint32_t nTimeout)
{
    CSupportLibrary library;
    if (!library.IsUp())
        throw std::bad_alloc();
    COpenDatabase db;
    if (!db.Open(vArgs[0], 0, nTimeout))
        return kExitFailed;
    const std::string& strDirectory = db.Directory();
    const velk::SDatabaseInfo& info = db.Info();
    // The tool attaches with this path order only, and works only with parameters
    // in its range.
    if (std::memcmp(info.abPathOrder, velk::kGuidNoCaseAscending, 16) != 0) {
        Error(g_strShownDirectory + ": attview-restore cannot use this database: its path "
              "order is " + OrderName(info.abPathOrder) + ", not NoCaseAscending");
        return kExitFailed;
    }
    const std::string strUnusable = UnusableParameters(&db.Db());
    if (!strUnusable.empty()) {
        Error(g_strShownDirectory + ": attview-restore cannot use this database: its "
              "parameters are out of range:" + strUnusable);
        return kExitFailed;
    }
    AttTable table;
    FillAttTable(&db.Db(), &table, false);

    const std::string strView = DatabaseDirectory(vArgs[1]);
    EDescription document;
    const std::string strWhy = ReadView(strView.c_str(), &document);
    if (!strWhy.empty()) {
        Error(strWhy);
        return kExitFailed;
    }
    EDescription* pTop = FirstElement(document);
    if (pTop == nullptr) {
        Error(Shown(strView) + ": the view has no element to restore");
        return kExitFailed;
    }
    SPreview preview;
    Decide(db.Db(), table, pTop, &preview);
    // A transaction left waiting is finished by the tool's opening for writing
    // before it registers anything, so what is read now need not be what the
    // tool finds: the ids of new names are not foretold then.
    const bool bIdsKnown =
        !platform::PathExists((strDirectory + "\\transaction\\log").c_str());

    if (g_bJson) {
        Json changed = Json::array();
        for (const SChangedItem& item : preview.vChanged)
            changed.push_back(
                {{"name", Utf8(item.strName)},
                 {"old_id", item.bHadId ? Json(item.nOldId) : Json(nullptr)},
                 {"new_id", !item.bNewName || bIdsKnown ? Json(item.nId) : Json(nullptr)},
                 {"registered", item.bNewName}});
        Json registered = Json::array();
        for (size_t i = 0; i < preview.vRegistered.size(); ++i)
            registered.push_back(
                {{"name", Utf8(preview.vRegistered[i])},
                 {"id", bIdsKnown ? Json(preview.vRegisteredIds[i]) : Json(nullptr)}});
        Json refused = Json::array();
        for (const std::string& strName : preview.vRefused)
            refused.push_back(Utf8(strName));
        Json appended = Json::array();
        for (const auto& entry : preview.appended)
            appended.push_back({{"name", Utf8(entry.first)},
                                {"id", entry.second.first},
                                {"files", entry.second.second}});
        OutJson({{"database", Utf8(g_strShownDirectory)},
                 {"view", Utf8(Shown(strView))},
                 {"changed_items", changed},
                 {"registered_names", registered},
                 {"refused_names", refused},
                 {"appended_attributes", appended}});
        return kExitOk;
    }
    const auto Id = [bIdsKnown](std::uint32_t nId, bool bNew) {
        return !bNew || bIdsKnown ? std::to_string(nId) : std::string("?");
    };
    std::string strText = "items whose id changes: " + std::to_string(preview.vChanged.size()) + "\n";
    for (const SChangedItem& item : preview.vChanged)
        strText += "  " + Escaped(item.strName) + "\t" +
                   (item.bHadId ? std::to_string(item.nOldId) : std::string("-")) + "\t" +
                   Id(item.nId, item.bNewName) + "\n";
    strText += "names to register: " + std::to_string(preview.vRegistered.size()) + "\n";
    for (size_t i = 0; i < preview.vRegistered.size(); ++i)
        strText += "  " + Escaped(preview.vRegistered[i]) + "\t" +
                   Id(preview.vRegisteredIds[i], true) + "\n";
    if (!preview.vRefused.empty()) {
        strText += "names the database refuses (too long; their items keep their ids): " +
                   std::to_string(preview.vRefused.size()) + "\n";
        for (const std::string& strName : preview.vRefused)
            strText += "  " + Escaped(strName) + "\n";
    }
    strText += "attributes the appended category will hold: " +
               std::to_string(preview.appended.size()) + "\n";
    for (const auto& entry : preview.appended)
        strText += "  " + Escaped(entry.first) + "\t" + std::to_string(entry.second.first) +
                   "\t" + std::to_string(entry.second.second) + "\n";
    if (!bIdsKnown)
        strText += "a transaction is waiting in the database: the ids of new names (?) are "
                   "known only when it is finished\n";
    Out(strText);
    return kExitOk;
}

}  // namespace adbtool

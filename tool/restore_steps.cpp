#include "tool/restore_steps.h"

#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/console.h"
#include "tool/step_report.h"
#include "platform/file.h"
#include "platform/process.h"
#include "support/file/raw_file.h"
#include "support/text/string.h"
#include "support/xml/description.h"
#include "reconcile/reconcile.h"
#include "reconcile/view_file.h"

namespace {

enum { kCreateTargetFlags = 5 };

// Step 13 after the backup: the new view into the target. Returns false when
// the target could not be made or written completely.
bool WriteView(const char* szTarget, const EDescription& document)
{
    ERawFile file;
    if (file.Open(szTarget, kCreateTargetFlags) != 0)
        return false;
    const bool bWritten = document.WriteDocument(&file, 0, 2, 0) == 0;
    file.Close();
    return bWritten;
}

}  // namespace

std::string BackupName(const char* szPrefix, int nYear, int nMonth, int nDay, int nHour,
                       int nMinute, int nSecond)
{
    EString name(szPrefix);
    name += EString(nYear, 0);
    for (int nPart : {nMonth, nDay, nHour, nMinute, nSecond}) {
        name += "_";
        name += EString(nPart, 2);
    }
    name += ".xml";
    // Memory running out leaves a piece out, and a name without its folder would
    // put the old view somewhere else: no name then.
    const std::size_t cchExpected = std::strlen(szPrefix) + std::to_string(nYear).size() + 5 * 3 + 4;
    if (static_cast<std::size_t>(name.GetLength()) != cchExpected)
        return std::string();
    return name.GetText();
}

int RunRestoreSteps(velk::CADB* pDatabase, const ToolPaths& paths, AttTable* pTable)
{
    EDescription document;

    platform::ConsoleWrite("属性ビュー情報読み込み:");
    const std::string why = ReadView(paths.sourcePath.GetString(), &document);
    if (!why.empty())
        return FailStep("NG\n", why);
    platform::ConsoleWrite("OK\n");

    platform::ConsoleWrite("属性DB書き込みオープン:");
    try {
        if (pDatabase->Open(1, 30000) == 0)
            return FailStep("NG(タイムアウト発生)\n",
                        "another program kept the database busy for 30 seconds");
    } catch (...) {
        return FailDamagedStep("NG\n", "the database could not be opened for writing",
                               paths.databaseDirectory.GetString());
    }
    platform::ConsoleWrite("OK\n");

    // Nothing is committed before step 11: a failure up to there rolls back when
    // the database object goes.
    platform::ConsoleWrite("属性ID更新:");
    EDescription* pTop = FirstElement(document);
    if (pTop == nullptr)
        return FailStep("NG\n", "the view has no element to restore");
    try {
        for (int i = 0; i < pTop->GetChildCount(); ++i)
            UpdateItems(pDatabase, pTable, pTop->GetChildAt(static_cast<unsigned>(i)));
    } catch (...) {
        return FailDamagedStep("NG\n",
                               "the database failed while the ids were updated; nothing was changed",
                               paths.databaseDirectory.GetString());
    }
    platform::ConsoleWrite("OK\n");

    platform::ConsoleWrite("属性DBコミット:");
    try {
        pDatabase->Close(1);
    } catch (...) {
        return FailDamagedStep("NG\n", "the database could not commit the new attributes",
                               paths.databaseDirectory.GetString());
    }
    platform::ConsoleWrite("OK\n");

    if (!pTable->empty() && !AppendMissing(*pTable, pTop))
        return FailStep("", "out of memory while the missing attributes were added");

    platform::ConsoleWrite("属性ビュー情報更新:");
    const platform::DateTime now = platform::LocalTime();
    const std::string target = paths.targetFile.GetString();
    const std::string backup = BackupName(paths.backupPrefix.GetString(), now.nYear, now.nMonth,
                                          now.nDay, now.nHour, now.nMinute, now.nSecond);
    if (backup.empty())
        return FailStep("NG\n", "out of memory while the backup name was made; the view is unchanged");
    // Never over an existing backup: two runs in one second keep the first.
    const bool bMoved = platform::FileMove(target.c_str(), backup.c_str()) == platform::kFileOk;
    if (!WriteView(target.c_str(), document)) {
        std::string why = "cannot write the view \"" + platform::UserPath(target) + "\"";
        if (bMoved) {
            // A partial view must not stand in for the old one; and should the
            // old one not get back in place, the user must know where it is.
            const platform::FileResult removed = platform::FileRemove(target.c_str());
            const bool bCleared = removed == platform::kFileOk || removed == platform::kFileNotFound;
            if (!bCleared)
                why += "; the incomplete view is still there";
            if (bCleared && platform::FileMove(backup.c_str(), target.c_str()) == platform::kFileOk)
                why += "; the previous view is back in place";
            else
                why += "; the previous view is kept as \"" + platform::UserPath(backup) + "\"";
        }
        return FailStep("NG\n", why);
    }
    platform::ConsoleWrite("OK\n");
    platform::ConsoleWrite("\n\n復元完了");
    return 0;
}

// recover: the salvage of a damaged database into a new one, reported as text or
// JSON.
#include "adbtool/adb_arguments.h"
#include "adbtool/adb_commands.h"
#include "adbtool/adb_output.h"
#include "engine/salvage/adb_recover.h"

namespace adbtool {

namespace {

Json Utf8List(const std::vector<std::string>& v)
{
    Json list = Json::array();
    for (const std::string& s : v)
        list.push_back(Utf8(s));
    return list;
}

Json RecoveryJson(const std::string& strSource, const std::string& strTarget, int nResult,
                  const std::string& strError, const velk::SRecoveryReport& report)
{
    const char* szOutcome = nResult == velk::kRecoverComplete ? "complete"
                            : nResult == velk::kRecoverLost   ? "lost"
                                                              : "failed";
    Json document = {{"source", Utf8(strSource)}, {"target", Utf8(strTarget)},
                     {"outcome", szOutcome}};
    if (nResult == velk::kRecoverFailed) {
        document["error"] = Utf8(strError);
        return document;
    }
    Json lostAttributes = Json::array();
    for (const auto& lost : report.vLostAttributes)
        lostAttributes.push_back(
            {{"id", lost.nId}, {"name", Utf8(lost.strName)}, {"why", Utf8(lost.strWhy)}});
    Json listLosses = Json::array();
    for (const auto& loss : report.vListLosses)
        listLosses.push_back({{"id", loss.nId},
                              {"name", Utf8(loss.strName)},
                              {"recovered", loss.nRecovered},
                              {"lost", loss.bUnknown ? Json(nullptr) : Json(loss.nLost)},
                              {"lost_at_least", loss.nLost},
                              {"why", Utf8(loss.strWhy)}});
    document["log"] = Utf8(report.strLog);
    document["log_lost"] = report.bLogLost;
    document["attributes"] = report.nAttributes;
    document["lost_attributes"] = lostAttributes;
    document["entries_recovered"] = report.nEntriesRecovered;
    document["list_losses"] = listLosses;
    document["notes"] = Utf8List(report.vNotes);
    document["copied"] = Utf8List(report.vCopied);
    document["rebuilt"] = Utf8List(report.vRebuilt);
    document["left_empty"] = Utf8List(report.vLeftEmpty);
    document["links_left_out"] = Utf8List(report.vLinksLeftOut);
    document["unknown_parameters"] = Utf8List(report.vUnknownParameters);
    document["uncounted_losses"] = Utf8List(report.vUncounted);
    return document;
}

}  // namespace

int Recover(const Words& vArgs, std::uint32_t nTimeout)
{
    if (vArgs.size() != 2)
        return Usage("recover needs the damaged database's directory and a new directory");
    const std::string strSource = DatabaseDirectory(vArgs[0]);
    const std::string strTarget = DatabaseDirectory(vArgs[1]);
    velk::SRecoveryReport report;
    std::string strError;
    const int nResult =
        velk::RecoverDatabase(strSource.c_str(), strTarget.c_str(), nTimeout, &report, &strError);
    if (g_bJson)
        OutJson(RecoveryJson(Shown(strSource), Shown(strTarget), nResult, strError, report));
    if (nResult == velk::kRecoverFailed) {
        Error(Shown(strSource) + ": nothing was recovered into " + Shown(strTarget) + ": " +
              strError);
        return kExitFailed;
    }
    std::string strReport =
        "recovered " + Shown(strSource) + " into " + Shown(strTarget) + "\n";
    for (const std::string& strLine : report.Lines())
        strReport += strLine + "\n";
    if (!g_bJson)
        Out(strReport);
    if (nResult == velk::kRecoverLost) {
        Error(Shown(strTarget) + ": a sound database, but something was lost (see above)");
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace adbtool

#include "support/fault/fault_report.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/process.h"
#include "support/file/raw_file.h"
#include "support/runtime/library.h"

namespace {

const char kTitle[] = "◆　例外エラー情報　◆";
const char kBreakpointQuestion[] =
    "ブレークポイント例外が %sH で発生しました。\n処理を続行しますか？";
const char kFaultQuestion[] =
    "▼ プログラム実行中に以下の例外エラーが発生しました。\n"
    "    %s\n"
    "    CS:EIP = %04X:%s\n"
    "\n"
    "詳細をログファイルに保存しますか？\n"
    "\n"
    "※このログファイルをプログラム開発者に送ると何らかの修正情報が得られるかもしれません。\n"
    "\n"
    "≫ログを保存して実行を継続する場合には「はい」を、\n"
    "≫ログを保存せずに実行を継続する場合には「いいえ」を、\n"
    "≫ログを保存せずに終了する場合には「キャンセル」を選択してください。";
const char kSavedQuestion[] = "ログファイルを保存しました。\n処理を続行しますか？";
const platform::SaveDialogOptions kSaveDialog = {"ログファイル保存", "error log file (*.log)", "*.log",
                                                 "log"};

struct FaultNameEntry {
    uint32_t nCode;
    const char* szName;
};

const FaultNameEntry kFaultNames[] = {
    {platform::kFaultAccessViolation, "ページアクセス例外"},
    {platform::kFaultAlignment, "アライメント例外"},
    {platform::kFaultArrayBounds, "配列境界例外"},
    {platform::kFaultFloatDenormal, "FPU デノーマルオペランド例外"},
    {platform::kFaultFloatDivideByZero, "FPU ゼロ除算例外"},
    {platform::kFaultFloatInexact, "FPU 精度例外"},
    {platform::kFaultFloatInvalid, "FPU 不正オペランド例外"},
    {platform::kFaultFloatOverflow, "FPU オーバーフロー例外"},
    {platform::kFaultFloatStackCheck, "FPU スタックチェック例外"},
    {platform::kFaultFloatUnderflow, "FPU アンダーフロー例外"},
    {platform::kFaultIntegerDivideByZero, "ゼロ除算例外"},
    {platform::kFaultIntegerOverflow, "オーバーフロー例外"},
    {platform::kFaultPrivilegedInstruction, "特権命令例外"},
    {platform::kFaultInPageError, "ページ例外"},
    {platform::kFaultIllegalInstruction, "無効命令例外"},
    {platform::kFaultStackOverflow, "スタックオーバーフロー例外"},
    {platform::kFaultInvalidDisposition, "不正ディスポジション例外"},
    {platform::kFaultGuardPage, "保護ページ例外"},
};

// The platform's own dialogs.
class CPlatformUser : public EFaultReport::IUser {
public:
    platform::Answer AskYesNo(const char* szTitle, const char* szText) override
    {
        return platform::AskYesNo(szTitle, szText) ? platform::kAnswerYes : platform::kAnswerNo;
    }
    platform::Answer AskYesNoCancel(const char* szTitle, const char* szText) override
    {
        return platform::AskYesNoCancel(szTitle, szText);
    }
    bool AskSaveFileName(const platform::SaveDialogOptions& options, EString* pName) override
    {
        std::string name;
        if (!platform::AskSaveFileName(options, &name))
            return false;
        *pName = name.c_str();
        return true;
    }
};

CPlatformUser g_platformUser;
std::atomic<EFaultReport::IUser*> g_pUser{nullptr};
std::atomic<VOKFAULTLOGHOOK> g_pfnLogHook{nullptr};

// The in-page error last resumed on this thread, and how often in a row.
thread_local uintptr_t t_nInPageAddress = 0;
thread_local int t_nInPageResumes = 0;

EFaultReport::IUser* User()
{
    EFaultReport::IUser* pUser = g_pUser.load();
    return pUser != nullptr ? pUser : &g_platformUser;
}

platform::FaultOutcome HandleFault(platform::FaultRecord* pRecord)
{
    return EFaultReport::Handle(pRecord);
}

void InstallForThread()
{
    platform::FaultInstallHandler(&HandleFault);
}

// Hexadecimal at the target's width.
std::string HexText(uintptr_t nValue)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string str(2 * sizeof(uintptr_t), '0');
    for (size_t i = str.size(); i-- > 0; nValue >>= 4)
        str[i] = kDigits[nValue & 0xF];
    return str;
}

platform::FaultOutcome AskBreakpoint(platform::FaultRecord* pRecord)
{
    char szText[256];
    std::snprintf(szText, sizeof(szText), kBreakpointQuestion, HexText(pRecord->nAddress).c_str());
    if (User()->AskYesNo(kTitle, szText) != platform::kAnswerYes)
        return platform::kFaultDefault;
    unsigned char b = 0;
    if (platform::MemoryReadSafe(pRecord->nAddress, &b, 1) == 1 && b == 0xCC)
        pRecord->regs.nIp = pRecord->nAddress + 1;
    return platform::kFaultResume;
}

platform::FaultOutcome Report(platform::FaultRecord* pRecord)
{
    const char* szName = EFaultReport::FaultName(pRecord->nCode);
    char szText[1024];
    std::snprintf(szText, sizeof(szText), kFaultQuestion, szName, static_cast<unsigned>(pRecord->regs.nCs),
                  HexText(pRecord->regs.nIp).c_str());
    EFaultReport::IUser* pUser = User();
    switch (pUser->AskYesNoCancel(kTitle, szText)) {
    case platform::kAnswerCancel:
        return platform::kFaultExit;
    case platform::kAnswerNo:
        return platform::kFaultDefault;
    case platform::kAnswerYes:
        break;
    }
    EString strName;
    if (!pUser->AskSaveFileName(kSaveDialog, &strName))
        return platform::kFaultDefault;
    {
        ERawFile file;
        if (file.Open(strName.GetText(), ERawFile::kCreate | ERawFile::kWrite) != 0)
            return platform::kFaultDefault;
        EFaultLog log(&file);
        log.Write(platform::OwnExecutablePath().c_str(), *pRecord, szName, g_pfnLogHook.load());
    }
    return pUser->AskYesNo(kTitle, kSavedQuestion) == platform::kAnswerYes ? platform::kFaultResume
                                                                           : platform::kFaultDefault;
}

}  // namespace

extern "C" void vokInstallFaultReport()
{
    mvbHookFaultReport(&InstallForThread);
}

extern "C" int vokIsFaultReportInstalled()
{
    return platform::FaultHandlerIsInstalled(&HandleFault) ? 1 : 0;
}

extern "C" void vokHookFaultLog(VOKFAULTLOGHOOK pfnHook)
{
    g_pfnLogHook.store(pfnHook);
}

void EFaultReport::SetUser(IUser* pUser)
{
    g_pUser.store(pUser);
}

const char* EFaultReport::FaultName(uint32_t nCode)
{
    for (const FaultNameEntry& entry : kFaultNames) {
        if (entry.nCode == nCode)
            return entry.szName;
    }
    return "無効例外";
}

platform::FaultOutcome EFaultReport::Handle(platform::FaultRecord* pRecord)
{
    if (pRecord->nCode != platform::kFaultInPageError)
        t_nInPageResumes = 0;
    switch (pRecord->nCode) {
    case platform::kFaultSingleStep:
        pRecord->regs.nFlags &= ~static_cast<uintptr_t>(platform::kFaultTraceFlag);
        return platform::kFaultResume;
    case platform::kFaultBreakpoint:
        return AskBreakpoint(pRecord);
    case platform::kFaultInPageError:
        // A page that could not be read in may succeed on a retry; one that keeps
        // failing would be retried for ever while its thread holds whatever it holds.
        if (t_nInPageResumes == 0 || t_nInPageAddress != pRecord->nAddress) {
            t_nInPageAddress = pRecord->nAddress;
            t_nInPageResumes = 0;
        }
        if (t_nInPageResumes < kInPageRetries) {
            ++t_nInPageResumes;
            return platform::kFaultResume;
        }
        break;
    }
    return Report(pRecord);
}

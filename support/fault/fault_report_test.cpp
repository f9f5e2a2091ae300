#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/memory.h"
#include "platform/process.h"
#include "platform/test_support.h"
#include "support/fault/fault_log.h"
#include "support/fault/fault_report.h"
#include "support/file/raw_file.h"
#include "support/runtime/library.h"

namespace {

using platform::testing::CScratchDir;
using platform::testing::RunChild;

// An address where no code or data is ever mapped on either target.
const uintptr_t kNoCode = 0x1230;

std::string Hex(uintptr_t nValue)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string str(2 * sizeof(uintptr_t), '0');
    for (size_t i = str.size(); i-- > 0; nValue >>= 4)
        str[i] = kDigits[nValue & 0xF];
    return str;
}

std::string ReadFile(const std::string& strPath)
{
    ERawFile file;
    if (file.Open(strPath.c_str(), ERawFile::kRead) != 0)
        return std::string();
    std::string str(file.GetLength(), '\0');
    str.resize(file.Read(&str[0], static_cast<uint32_t>(str.size())));
    return str;
}

// Answers from a script, in order: "yes", "no", "cancel" for questions, and
// "save:<name>" or "nosave" for the save dialog; an exhausted script says No. Every
// question is recorded, and written at once to a transcript file when there is one,
// so that it survives a process that dies of its fault.
class CScriptedUser : public EFaultReport::IUser {
public:
    explicit CScriptedUser(std::vector<std::string> vAnswers, const char* szTranscript = nullptr)
        : m_vAnswers(std::move(vAnswers))
    {
        if (szTranscript != nullptr)
            m_transcript.Open(szTranscript, ERawFile::kCreate | ERawFile::kWrite);
        EFaultReport::SetUser(this);
    }
    ~CScriptedUser() override { EFaultReport::SetUser(nullptr); }

    platform::Answer AskYesNo(const char* szTitle, const char* szText) override
    {
        return Answer("YN", szTitle, szText);
    }
    platform::Answer AskYesNoCancel(const char* szTitle, const char* szText) override
    {
        return Answer("YNC", szTitle, szText);
    }
    bool AskSaveFileName(const platform::SaveDialogOptions& options, EString* pName) override
    {
        Record(std::string("SAVE ") + options.szTitle + "|" + options.szFilterName + "|" +
               options.szFilterPattern + "|" + options.szDefaultExtension);
        const std::string strAnswer = Next();
        if (strAnswer.compare(0, 5, "save:") != 0)
            return false;
        *pName = strAnswer.c_str() + 5;
        return true;
    }

    std::vector<std::string> m_vAsked;

private:
    platform::Answer Answer(const char* szKind, const char* szTitle, const char* szText)
    {
        Record(std::string(szKind) + " " + szTitle + "|" + szText);
        const std::string strAnswer = Next();
        return strAnswer == "yes" ? platform::kAnswerYes
                                  : strAnswer == "cancel" ? platform::kAnswerCancel : platform::kAnswerNo;
    }
    void Record(const std::string& str)
    {
        m_vAsked.push_back(str);
        const std::string strLine = str + "\n";
        m_transcript.Write(strLine.data(), static_cast<uint32_t>(strLine.size()));
    }
    std::string Next() { return m_nNext < m_vAnswers.size() ? m_vAnswers[m_nNext++] : "no"; }

    std::vector<std::string> m_vAnswers;
    size_t m_nNext = 0;
    ERawFile m_transcript;
};

// Runs the stack out (the stop is never reached; it only keeps the compiler from
// calling the recursion endless).
volatile int g_nRecursionStop = -1;

int Recurse(int n)
{
    if (n == g_nRecursionStop)
        return 0;
    volatile char ab[4096];
    ab[0] = static_cast<char>(n);
    return Recurse(n + 1) + ab[0];
}

// A child that starts up as a program does, with the report handed to the runtime
// first, then faults: "fault <kind> <transcript> <answers...>". Exits with 7 when
// the program went on after the fault.
CHILD_SCENARIO(fault)
{
    if (vArgs.size() < 2)
        return 90;
    vokInstallFaultReport();
    mvbInitializeLibrary();
    if (vArgs[0] == "installed")
        return vokIsFaultReportInstalled() ? 0 : 1;
    CScriptedUser user(std::vector<std::string>(vArgs.begin() + 2, vArgs.end()), vArgs[1].c_str());
    if (vArgs[0] == "access") {
        reinterpret_cast<void (*)()>(kNoCode)();
    } else if (vArgs[0] == "breakpoint") {
        // Both targets are x86: one trap byte.
        __asm__ volatile("int3");
    } else if (vArgs[0] == "overflow") {
        return Recurse(1) == 0 ? 8 : 7;
    } else {
        return 91;
    }
    return 7;
}

// Builds whose sanitizer catches faults itself install no handler.
bool HandlerAvailable()
{
    static const int s_nInstalled = RunChild("fault", {"installed", "-"});
    return s_nInstalled == 0;
}

TEST(FaultReport, ProgramStartUpInstallsTheHandler)
{
    const int nCode = RunChild("fault", {"installed", "-"});
    if (nCode == 1)
        GTEST_SKIP() << "no fault handler in this build";
    EXPECT_EQ(0, nCode);
}

struct OutcomeCase {
    const char* szKind;
    std::vector<std::string> vAnswers;
    enum { kResumed, kExitMinusOne, kDefault } outcome;
};

TEST(FaultReport, AnswersDecideTheOutcome)
{
    if (!HandlerAvailable())
        GTEST_SKIP() << "no fault handler in this build";
    const OutcomeCase kCases[] = {
        {"access", {"no"}, OutcomeCase::kDefault},
        {"access", {"cancel"}, OutcomeCase::kExitMinusOne},
        {"access", {"yes", "nosave"}, OutcomeCase::kDefault},
        {"access", {"yes", "save:Z:\\no such directory\\x.log"}, OutcomeCase::kDefault},
        {"breakpoint", {"yes"}, OutcomeCase::kResumed},
        {"breakpoint", {"no"}, OutcomeCase::kDefault},
    };
    for (const OutcomeCase& c : kCases) {
        CScratchDir dir;
        std::vector<std::string> vArgs = {c.szKind, dir.Sub("questions.txt")};
        vArgs.insert(vArgs.end(), c.vAnswers.begin(), c.vAnswers.end());
        const int nCode = RunChild("fault", vArgs);
        SCOPED_TRACE(std::string(c.szKind) + " " + c.vAnswers[0] + " -> " + std::to_string(nCode));
        switch (c.outcome) {
        case OutcomeCase::kResumed:
            EXPECT_EQ(7, nCode);
            break;
        case OutcomeCase::kExitMinusOne:
            EXPECT_EQ(platform::ExitCodeAsSeen(-1), nCode);
            break;
        case OutcomeCase::kDefault:
            EXPECT_NE(0, nCode);
            EXPECT_NE(7, nCode);
            EXPECT_NE(platform::ExitCodeAsSeen(-1), nCode);
            EXPECT_NE(-1000, nCode);
            break;
        }
        // Nothing but the transcript: no log without a save.
        std::vector<platform::DirEntry> entries;
        platform::DirList(dir.Path().substr(0, dir.Path().size() - 1).c_str(), &entries);
        EXPECT_EQ(1u, entries.size());
        EXPECT_FALSE(ReadFile(dir.Sub("questions.txt")).empty());
    }
}

TEST(FaultReport, AccessViolationNamesTheFaultAndItsAddress)
{
    if (!HandlerAvailable())
        GTEST_SKIP() << "no fault handler in this build";
    CScratchDir dir;
    RunChild("fault", {"access", dir.Sub("questions.txt"), "no"});
    const std::string strAsked = ReadFile(dir.Sub("questions.txt"));
    EXPECT_EQ(0u, strAsked.find("YNC ◆　例外エラー情報　◆|▼ プログラム実行中に以下の例外エラーが発生しました。\n"
                                "    ページアクセス例外\n    CS:EIP = "))
        << strAsked;
    EXPECT_NE(std::string::npos, strAsked.find(":" + Hex(kNoCode) + "\n")) << strAsked;
}

TEST(FaultReport, StackOverflowIsReportedOnTheFaultingThread)
{
    if (!HandlerAvailable())
        GTEST_SKIP() << "no fault handler in this build";
    CScratchDir dir;
    EXPECT_EQ(platform::ExitCodeAsSeen(-1), RunChild("fault", {"overflow", dir.Sub("questions.txt"), "cancel"}));
    const std::string strAsked = ReadFile(dir.Sub("questions.txt"));
    EXPECT_NE(std::string::npos, strAsked.find("\n    スタックオーバーフロー例外\n")) << strAsked;
}

TEST(FaultReport, BreakpointAsksAtTheTrapByte)
{
    if (!HandlerAvailable())
        GTEST_SKIP() << "no fault handler in this build";
    CScratchDir dir;
    EXPECT_EQ(7, RunChild("fault", {"breakpoint", dir.Sub("questions.txt"), "yes"}));
    const std::string strAsked = ReadFile(dir.Sub("questions.txt"));
    const std::string strPrefix = "YN ◆　例外エラー情報　◆|ブレークポイント例外が ";
    ASSERT_EQ(0u, strAsked.find(strPrefix)) << strAsked;
    EXPECT_EQ("H で発生しました。\n処理を続行しますか？\n",
              strAsked.substr(strPrefix.size() + 2 * sizeof(uintptr_t)));
}

TEST(FaultReport, SavedLogHoldsTheDumpsAndTheProgramGoesOn)
{
    if (!HandlerAvailable())
        GTEST_SKIP() << "no fault handler in this build";
    CScratchDir dir;
    const std::string strLog = dir.Sub("fault.log");
    // Yes, save, go on: the fault comes again at once; Cancel then ends it.
    const int nCode = RunChild("fault", {"access", dir.Sub("questions.txt"), "yes", "save:" + strLog,
                                         "yes", "cancel"});
    EXPECT_EQ(platform::ExitCodeAsSeen(-1), nCode);

    std::vector<std::string> vAsked;
    const std::string strAsked = ReadFile(dir.Sub("questions.txt"));
    for (size_t n = 0; n < strAsked.size();) {
        const size_t nEnd = strAsked.find("\nYN", n);
        vAsked.push_back(strAsked.substr(n, nEnd == std::string::npos ? std::string::npos : nEnd - n));
        n = nEnd == std::string::npos ? strAsked.size() : nEnd + 1;
    }
    ASSERT_EQ(3u, vAsked.size()) << strAsked;
    EXPECT_EQ(0u, vAsked[0].find("YNC "));
    EXPECT_NE(std::string::npos,
              vAsked[0].find("\nSAVE ログファイル保存|error log file (*.log)|*.log|log"));
    EXPECT_EQ("YN ◆　例外エラー情報　◆|ログファイルを保存しました。\n処理を続行しますか？", vAsked[1]);
    EXPECT_EQ(0u, vAsked[2].find("YNC "));

    const std::string strText = ReadFile(strLog);
    EXPECT_EQ(0u, strText.find("モジュール：" + platform::OwnExecutablePath() + "\r\n")) << strText;
    EXPECT_NE(std::string::npos, strText.find("例外エラーコード：C0000005H\r\n例外エラーの種類：ページアクセス例外\r\n"));
    EXPECT_NE(std::string::npos, strText.find(":" + Hex(kNoCode) + "\r\n"));
    const size_t nCodeDump = strText.find("コードダンプ；\r\n");
    const size_t nStackDump = strText.find("スタックダンプ；\r\n");
    const size_t nDataDump = strText.find("データダンプ；\r\n");
    ASSERT_NE(std::string::npos, nCodeDump);
    EXPECT_LT(nCodeDump, nStackDump);
    EXPECT_LT(nStackDump, nDataDump);
    EXPECT_NE(std::string::npos, nDataDump);
    // No code at the address; the stack is there.
    EXPECT_EQ("コードダンプ；\r\n\r\n\r\nスタックダンプ；\r\n", strText.substr(nCodeDump, nStackDump + 18 - nCodeDump));
    EXPECT_NE(std::string::npos, strText.find("ESP+0000H : ", nStackDump));
}

// ---- The decisions and the log, on records made up in the test --------------------

platform::FaultRecord MakeRecord(uint32_t nCode, uintptr_t nAddress)
{
    platform::FaultRecord record{};
    record.nCode = nCode;
    record.nAddress = nAddress;
    record.regs.nIp = nAddress;
    record.regs.nCs = 0x1B;
    record.nThreadId = 0x2A;
    return record;
}

TEST(FaultReportDecisions, SingleStepClearsTheTraceFlagSilently)
{
    CScriptedUser user({});
    platform::FaultRecord record = MakeRecord(platform::kFaultSingleStep, kNoCode);
    record.regs.nFlags = 0x346;
    EXPECT_EQ(platform::kFaultResume, EFaultReport::Handle(&record));
    EXPECT_EQ(0x246u, record.regs.nFlags);
    EXPECT_TRUE(user.m_vAsked.empty());
}

TEST(FaultReportDecisions, PersistentInPageErrorIsReportedAfterAFewRetries)
{
    CScriptedUser user({"no", "cancel"});
    platform::FaultRecord record = MakeRecord(platform::kFaultInPageError, 0x401000);
    for (int i = 0; i < EFaultReport::kInPageRetries; ++i)
        EXPECT_EQ(platform::kFaultResume, EFaultReport::Handle(&record));
    EXPECT_TRUE(user.m_vAsked.empty());
    EXPECT_EQ(platform::kFaultDefault, EFaultReport::Handle(&record));
    ASSERT_EQ(1u, user.m_vAsked.size());
    EXPECT_NE(std::string::npos, user.m_vAsked[0].find("\n    ページ例外\n"));

    // Elsewhere it is a new error, retried again.
    platform::FaultRecord other = MakeRecord(platform::kFaultInPageError, 0x402000);
    EXPECT_EQ(platform::kFaultResume, EFaultReport::Handle(&other));
    // An unknown code is named as such; Cancel ends the program.
    platform::FaultRecord unknown = MakeRecord(0xE0000001, kNoCode);
    EXPECT_EQ(platform::kFaultExit, EFaultReport::Handle(&unknown));
    ASSERT_EQ(2u, user.m_vAsked.size());
    EXPECT_NE(std::string::npos, user.m_vAsked[1].find("\n    無効例外\n"));
}

TEST(FaultReportDecisions, QuestionTextIsExact)
{
    CScriptedUser user({"no"});
    platform::FaultRecord record = MakeRecord(platform::kFaultIntegerDivideByZero, 0x4012AB);
    EXPECT_EQ(platform::kFaultDefault, EFaultReport::Handle(&record));
    ASSERT_EQ(1u, user.m_vAsked.size());
    EXPECT_EQ("YNC ◆　例外エラー情報　◆|"
              "▼ プログラム実行中に以下の例外エラーが発生しました。\n"
              "    ゼロ除算例外\n"
              "    CS:EIP = 001B:" + Hex(0x4012AB) + "\n"
              "\n"
              "詳細をログファイルに保存しますか？\n"
              "\n"
              "※このログファイルをプログラム開発者に送ると何らかの修正情報が得られるかもしれません。\n"
              "\n"
              "≫ログを保存して実行を継続する場合には「はい」を、\n"
              "≫ログを保存せずに実行を継続する場合には「いいえ」を、\n"
              "≫ログを保存せずに終了する場合には「キャンセル」を選択してください。",
              user.m_vAsked[0]);
}

// Three pages: two readable ones, then one that is not.
class CRegion {
public:
    CRegion()
    {
        m_cbPage = platform::MemoryPageSize();
        m_pBase = static_cast<unsigned char*>(platform::MemoryAllocate(3 * m_cbPage));
        EXPECT_NE(nullptr, m_pBase);
        if (m_pBase != nullptr) {
            EXPECT_TRUE(platform::MemorySetAccess(m_pBase + 2 * m_cbPage, m_cbPage, false));
        }
    }
    ~CRegion()
    {
        if (m_pBase != nullptr) {
            platform::MemorySetAccess(m_pBase + 2 * m_cbPage, m_cbPage, true);
            platform::MemoryRelease(m_pBase, 3 * m_cbPage);
        }
    }
    unsigned char* At(size_t n) { return m_pBase + n; }
    uintptr_t Address(size_t n) { return reinterpret_cast<uintptr_t>(m_pBase + n); }
    size_t Unreadable() const { return 2 * m_cbPage; }

private:
    unsigned char* m_pBase = nullptr;
    size_t m_cbPage = 0;
};

// Runs pfn with a log file and returns what it wrote.
template <typename F>
std::string LogOf(F pfn)
{
    CScratchDir dir;
    {
        ERawFile file;
        EXPECT_EQ(0, file.Open(dir.Sub("x.log").c_str(), ERawFile::kCreate | ERawFile::kWrite));
        EFaultLog log(&file);
        pfn(&log);
    }
    return ReadFile(dir.Sub("x.log"));
}

TEST(FaultLog, DumpLineLayoutIsExact)
{
    CRegion region;
    ASSERT_NE(nullptr, region.At(0));
    for (int i = 0; i < 48; ++i)
        *region.At(i) = static_cast<unsigned char>(i < 16 ? i : i < 32 ? 'A' + i - 16 : 0x80 + i);
    const std::string strLog = LogOf([&](EFaultLog* pLog) {
        pLog->WriteDump(region.Address(0), 48, region.Address(16), "ESP+0000H");
    });
    EXPECT_EQ(Hex(region.Address(0)) + "H : 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F     "
              "................ \r\n"
              "ESP+0000H : 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50     ABCDEFGHIJKLMNOP \r\n" +
              Hex(region.Address(32)) + "H : A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF     "
              "\xA0\xA1\xA2\xA3\xA4\xA5\xA6\xA7\xA8\xA9\xAA\xAB\xAC\xAD\xAE\xAF \r\n"
              "\r\n\r\n",
              strLog);
}

TEST(FaultLog, DataDumpsFollowRegistersAndTheWordsTheyPointAt)
{
    CRegion region;
    ASSERT_NE(nullptr, region.At(0));
    // EAX points at words: one address worth following, one small number.
    uintptr_t* pWords = reinterpret_cast<uintptr_t*>(region.At(0));
    pWords[0] = region.Address(512);
    pWords[1] = 0xFFFF;
    platform::FaultRecord record = MakeRecord(platform::kFaultAccessViolation, region.Address(256));
    record.regs.nAx = region.Address(0);
    record.regs.nBx = 0xFFFF;                                // small: no dump
    record.regs.nCx = region.Address(region.Unreadable() - 16);  // one line, then nothing
    record.regs.nDx = region.Address(1024);
    const std::string strLog = LogOf([&](EFaultLog* pLog) { pLog->WriteDataDumps(record); });

    const size_t nEax = strLog.find("EAX+0000H : ");
    const size_t nEcx = strLog.find("ECX+0000H : ");
    const size_t nEdx = strLog.find("EDX+0000H : ");
    const size_t nWord = strLog.find(Hex(region.Address(512)) + "H : ");
    EXPECT_EQ(0u, nEax);
    EXPECT_EQ(std::string::npos, strLog.find("EBX+0000H"));
    ASSERT_NE(std::string::npos, nEcx);
    ASSERT_NE(std::string::npos, nEdx);
    ASSERT_NE(std::string::npos, nWord);
    EXPECT_LT(nEax, nEcx);
    EXPECT_LT(nEcx, nEdx);
    EXPECT_LT(nEdx, nWord);
    // 256 bytes are 16 lines; the unreadable page ends ECX's dump after one line,
    // and the log goes on; a followed word gets 128 bytes.
    auto Count = [](const std::string& str, const std::string& strPart) {
        size_t n = 0;
        for (size_t i = str.find(strPart); i != std::string::npos; i = str.find(strPart, i + strPart.size()))
            ++n;
        return n;
    };
    auto Lines = [&](size_t nFrom) {
        return Count(strLog.substr(nFrom, strLog.find("\r\n\r\n\r\n", nFrom) + 2 - nFrom), "\r\n");
    };
    EXPECT_EQ(16u, Lines(nEax));
    EXPECT_EQ(1u, Lines(nEcx));
    EXPECT_EQ(8u, Lines(nWord));
    // Four dumps in all: only the one word above FFFF is followed.
    EXPECT_EQ(4u, Count(strLog, "\r\n\r\n\r\n"));
}

void FaultingHook(VOKFileObject* pLog)
{
    pLog->Write("partial", 7);
    *reinterpret_cast<volatile int*>(kNoCode) = 1;
}

void PoliteHook(VOKFileObject* pLog)
{
    pLog->Write("application", 11);
}

TEST(FaultLog, HookTextOrAnEmptyLinePairWhenItFaults)
{
    EXPECT_EQ("application", LogOf([](EFaultLog* pLog) { pLog->WriteHook(&PoliteHook); }));
    // What a faulting hook wrote is cut off; the log after the fault is intact.
    EXPECT_EQ("\r\n\r\napplication\r\n\r\n", LogOf([](EFaultLog* pLog) {
                  pLog->WriteDump(0, 16, 0, "EIP+0000H");  // unreadable: only the dump's end
                  pLog->WriteHook(&PoliteHook);
                  pLog->WriteHook(&FaultingHook);
              }));
}

}  // namespace

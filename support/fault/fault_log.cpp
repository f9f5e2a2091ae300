#include "support/fault/fault_log.h"

#include <cstdio>
#include <cstring>

#include "support/file/file_object.h"

namespace {

// A value at the target's width, upper-case hexadecimal, zero-padded.
struct Hex {
    char sz[2 * sizeof(uintptr_t) + 1];
    explicit Hex(uintptr_t nValue)
    {
        static const char kDigits[] = "0123456789ABCDEF";
        const int nDigits = 2 * static_cast<int>(sizeof(uintptr_t));
        for (int i = nDigits - 1; i >= 0; --i) {
            sz[i] = kDigits[nValue & 0xF];
            nValue >>= 4;
        }
        sz[nDigits] = '\0';
    }
};

struct DataRegister {
    uintptr_t platform::FaultRegisters::*pnValue;
    const char* szLabel;
};

const DataRegister kDataRegisters[] = {
    {&platform::FaultRegisters::nAx, "EAX+0000H"}, {&platform::FaultRegisters::nBx, "EBX+0000H"},
    {&platform::FaultRegisters::nCx, "ECX+0000H"}, {&platform::FaultRegisters::nDx, "EDX+0000H"},
    {&platform::FaultRegisters::nSi, "ESI+0000H"}, {&platform::FaultRegisters::nDi, "EDI+0000H"},
    {&platform::FaultRegisters::nBp, "EBP+0000H"},
};

// Values up to here are counts and small numbers, not addresses worth a dump.
const uintptr_t kSmallValue = 0xFFFF;
const size_t kLine = 16;
const size_t kWordsFollowed = 8;

struct HookCall {
    VOKFAULTLOGHOOK pfnHook;
    VOKFileObject* pLog;
};

void CallHook(void* pv)
{
    HookCall* pCall = static_cast<HookCall*>(pv);
    pCall->pfnHook(pCall->pLog);
}

}  // namespace

void EFaultLog::Put(const char* szText)
{
    m_pLog->Write(szText, static_cast<uint32_t>(std::strlen(szText)));
}

void EFaultLog::Write(const char* szModule, const platform::FaultRecord& record,
                      const char* szFaultName, VOKFAULTLOGHOOK pfnHook)
{
    WriteHeader(szModule, record, szFaultName);
    Put("コードダンプ；\r\n");
    WriteDump(record.regs.nIp - 256, 512, record.regs.nIp, "EIP+0000H");
    Put("スタックダンプ；\r\n");
    WriteDump(record.regs.nSp, 512, record.regs.nSp, "ESP+0000H");
    Put("データダンプ；\r\n");
    WriteDataDumps(record);
    WriteHook(pfnHook);
}

void EFaultLog::WriteHeader(const char* szModule, const platform::FaultRecord& record,
                            const char* szFaultName)
{
    const platform::FaultRegisters& r = record.regs;
    char sz[1024];
    std::snprintf(sz, sizeof(sz),
                  "モジュール：%s\r\n"
                  "例外エラーがスレッド %08XH で発生しました。\r\n"
                  "例外エラーコード：%08XH\r\n"
                  "例外エラーの種類：%s\r\n"
                  "\r\n\r\n",
                  szModule, static_cast<unsigned>(record.nThreadId), static_cast<unsigned>(record.nCode),
                  szFaultName);
    Put(sz);
    std::snprintf(sz, sizeof(sz),
                  "レジスタダンプ；\r\n"
                  "CS:EIP  = %04X:%s\r\n"
                  "EAX = %s, EBX = %s, ",
                  static_cast<unsigned>(r.nCs), Hex(r.nIp).sz, Hex(r.nAx).sz, Hex(r.nBx).sz);
    Put(sz);
    std::snprintf(sz, sizeof(sz), "ECX = %s, EDX = %s\r\nESI = %s, EDI = %s, ", Hex(r.nCx).sz,
                  Hex(r.nDx).sz, Hex(r.nSi).sz, Hex(r.nDi).sz);
    Put(sz);
    std::snprintf(sz, sizeof(sz),
                  "EBP = %s, ESP = %s\r\n"
                  "DS = %04X, ES = %04X, FS = %04X, GS = %04X, SS = %04X\r\n"
                  "\r\n\r\n",
                  Hex(r.nBp).sz, Hex(r.nSp).sz, static_cast<unsigned>(r.nDs), static_cast<unsigned>(r.nEs),
                  static_cast<unsigned>(r.nFs), static_cast<unsigned>(r.nGs), static_cast<unsigned>(r.nSs));
    Put(sz);
}

void EFaultLog::WriteDump(uintptr_t nStart, size_t cb, uintptr_t nReference, const char* szLabel)
{
    unsigned char ab[512];
    if (cb > sizeof(ab))
        cb = sizeof(ab);
    const size_t cbRead = platform::MemoryReadSafe(nStart, ab, cb);
    for (size_t nOffset = 0; nOffset + kLine <= cbRead; nOffset += kLine) {
        const uintptr_t nLine = nStart + nOffset;
        char sz[160];
        int n = nLine == nReference ? std::snprintf(sz, sizeof(sz), "%9s : ", szLabel)
                                    : std::snprintf(sz, sizeof(sz), "%sH : ", Hex(nLine).sz);
        for (size_t i = 0; i < kLine; ++i)
            n += std::snprintf(sz + n, sizeof(sz) - n, "%02X ", ab[nOffset + i]);
        n += std::snprintf(sz + n, sizeof(sz) - n, "    ");
        for (size_t i = 0; i < kLine; ++i) {
            const unsigned char c = ab[nOffset + i];
            sz[n++] = c < 0x20 ? '.' : static_cast<char>(c);
        }
        std::snprintf(sz + n, sizeof(sz) - n, " \r\n");
        Put(sz);
    }
    Put("\r\n\r\n");
}

void EFaultLog::WriteDataDumps(const platform::FaultRecord& record)
{
    for (const DataRegister& reg : kDataRegisters) {
        const uintptr_t nValue = record.regs.*reg.pnValue;
        if (nValue > kSmallValue)
            WriteDump(nValue, 256, nValue, reg.szLabel);
    }
    for (const DataRegister& reg : kDataRegisters) {
        const uintptr_t nValue = record.regs.*reg.pnValue;
        if (nValue <= kSmallValue)
            continue;
        uintptr_t anWords[kWordsFollowed];
        const size_t nWords = platform::MemoryReadSafe(nValue, anWords, sizeof(anWords)) / sizeof(uintptr_t);
        for (size_t i = 0; i < nWords; ++i) {
            if (anWords[i] <= kSmallValue)
                continue;
            char szLabel[2 * sizeof(uintptr_t) + 2];
            std::snprintf(szLabel, sizeof(szLabel), "%sH", Hex(anWords[i]).sz);
            WriteDump(anWords[i], 128, anWords[i], szLabel);
        }
    }
}

void EFaultLog::WriteHook(VOKFAULTLOGHOOK pfnHook)
{
    if (pfnHook == nullptr)
        return;
    const uint64_t nBefore = m_pLog->GetPosition64();
    HookCall call{pfnHook, m_pLog};
    if (!platform::CallGuarded(&CallHook, &call)) {
        m_pLog->Seek64(static_cast<int64_t>(nBefore), 0);
        m_pLog->SetEndOfFile();
        Put("\r\n\r\n");
    }
}

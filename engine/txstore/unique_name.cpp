#include "engine/txstore/unique_name.h"

#include <cstring>
#include <memory>

#include "engine/base/byte_order.h"
#include "engine/base/fault.h"
#include "engine/hash/hash.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/timer.h"

namespace velk {
namespace {

const size_t kMaxPath = 260;

}  // namespace

CUniqueName::CUniqueName(const char* szDirectory, const char* szExtension)
    : m_szExtension(szExtension), m_nCounter(1)
{
    std::string directory;
    if (szDirectory == nullptr || *szDirectory == 0) {
        directory = platform::TempDirectory();
        if (directory.empty() || directory.size() > kMaxPath)
            ThrowFault();
    } else {
        directory = szDirectory;
    }
    if (m_pathDirectory.Set(directory.c_str()) != CPath::kOk)
        ThrowFault();
    // A store's dustbox or dugout that is a link would send its objects out of
    // the store; the directory for temporary files may be one.
    const unsigned nRefused = szDirectory == nullptr || *szDirectory == 0
                                  ? 0u
                                  : unsigned(platform::kFileAttrReparsePoint);
    unsigned nAttributes = 0;
    if (platform::FileGetAttributes(m_pathDirectory.GetString(), &nAttributes) != platform::kFileOk ||
        (nAttributes & platform::kFileAttrDirectory) == 0 || (nAttributes & nRefused) != 0)
        ThrowFault();
    Seed();
}

void CUniqueName::Seed()
{
    unsigned char abTime[16];
    platform::DateTimeRecord(platform::SystemTime(), abTime);
    const std::uint32_t nTick = platform::TickCount();
    unsigned char abTick[4];
    PutU32LE(abTick, nTick);

    std::unique_ptr<CHash::IAlgorithm> pHash(CHash::Create(CHash::kSHA256));
    if (!pHash)
        ThrowFault();
    unsigned char abDigest[32];
    if (pHash->Update(abTime, sizeof(abTime)) != 0 || pHash->Update(abTick, sizeof(abTick)) != 0 ||
        pHash->GetDigest(abDigest, sizeof(abDigest)) != 0 ||
        CHash::ToHex(abDigest, sizeof(abDigest), m_szSeed, sizeof(m_szSeed), 1) != 0)
        ThrowFault();
    m_nCounter = 1;
}

CPath CUniqueName::Next()
{
    for (;;) {
        if (m_nCounter > 64)
            Seed();
        std::string name(m_szSeed, static_cast<size_t>(m_nCounter));
        ++m_nCounter;
        if (m_szExtension != nullptr) {
            if (m_szExtension[0] != '.')
                name += '.';
            name += m_szExtension;
        }
        const CPath candidate = m_pathDirectory.Join(name.c_str());
        if (std::strlen(candidate.GetString()) > kMaxPath)
            ThrowFault();
        if (!platform::PathExists(candidate.GetString()))
            return candidate;
    }
}

int MakeUniquePath(CPath* pOut, const char* szExtension, const char* szDirectory)
{
    try {
        CUniqueName names(szDirectory, szExtension);
        *pOut = names.Next();
        return 0;
    } catch (...) {
        return 1;
    }
}

int MakeUniqueDirectory(CPath* pOut, const char* szDirectory)
{
    try {
        CUniqueName names(szDirectory, nullptr);
        for (;;) {
            const CPath candidate = names.Next();
            const platform::FileResult r = platform::DirCreate(candidate.GetString());
            if (r == platform::kFileOk) {
                *pOut = candidate;
                return 0;
            }
            // Taken between the check and the creation: try the next name. Any
            // other failure would repeat for every name.
            if (r != platform::kFileExists)
                return 1;
        }
    } catch (...) {
        return 1;
    }
}

}  // namespace velk

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/txstore/fs_context.h"
#include "engine/txstore/page_cache.h"
#include "platform/test_support.h"

namespace velk {
namespace {

// A plain file read through its page cache must always read as the file does:
// random writes (also past the end), cuts, extensions and reads against a model.
TEST(PageCache, ReadsAgreeWithTheFileThroughWritesAndCuts)
{
    platform::testing::CScratchDir scratch;
    const std::string path = scratch.Sub("f.dat");
    CFileSystem::IContext* pFs = CreateFSContext(1);
    ASSERT_EQ(0, pFs->CreateFile(path.c_str()));
    CFileSystem::IFile* pFile = pFs->OpenFile(path.c_str(), 1);
    std::string model;
    std::mt19937 random(99);
    for (int step = 0; step < 3000; ++step) {
        const std::uint64_t nAt = random() % 40000;
        const int op = static_cast<int>(random() % 10);
        pFile->Seek(static_cast<std::int64_t>(nAt), 0);
        if (op < 4) {
            const std::string data(random() % 9000, static_cast<char>('a' + step % 26));
            ASSERT_EQ(data.size(), pFile->Write(data.data(), static_cast<std::uint32_t>(data.size())));
            if (model.size() < nAt)
                model.resize(static_cast<size_t>(nAt), '\0');
            model.replace(static_cast<size_t>(nAt),
                          std::min<size_t>(data.size(), model.size() - static_cast<size_t>(nAt)), data);
        } else if (op < 5) {
            pFile->SetEnd();
            model.resize(static_cast<size_t>(nAt), '\0');
        } else {
            const size_t cbWanted = random() % 9000 + 1;
            std::string got(cbWanted, '\0');
            got.resize(pFile->Read(&got[0], static_cast<std::uint32_t>(cbWanted)));
            const std::string expected =
                nAt < model.size() ? model.substr(static_cast<size_t>(nAt), cbWanted) : "";
            ASSERT_EQ(expected, got) << "step " << step;
            ASSERT_EQ(nAt + got.size(), pFile->Tell());
        }
        ASSERT_EQ(model.size(), pFile->GetSize());
    }
    pFs->CloseFile(pFile);
    EXPECT_EQ(model, platform::testing::ReadFileBytes(path));
    DestroyObject(pFs);
}

// The cache keeps only a short window of pages, charged to the process's budget
// while it keeps them, and fewer when the budget has no room: a file read from end
// to end does not end up in memory a second time. Every read still returns the
// file's bytes.
TEST(PageCache, KeepsAShortWindowWithinTheBudget)
{
    platform::testing::CScratchDir scratch;
    const std::string path = scratch.Sub("f.dat");
    std::string bytes(1u << 20, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7 + i / 4096);
    platform::testing::WriteFileBytes(path, bytes);
    struct SCase {
        bool bTight;
        size_t nMaxPages;
    } const kCases[] = {{false, CPageCache::kMaxPages}, {true, 1}};
    for (const SCase& c : kCases) {
        const size_t cbBefore = CCacheClient::GetBudgetBytes();
        const size_t cbBound = CCacheClient::SetBudgetBound(c.bTight ? cbBefore : CCacheClient::GetBudgetBound());
        {
            platform::CFileHandle file;
            ASSERT_EQ(platform::kFileOk, platform::FileOpen(path.c_str(), platform::kFileAccessRead,
                                                            platform::kFileShareRead,
                                                            platform::kFileOpenExisting, &file));
            CPageCache cache;
            std::uint64_t nAt = 0;
            std::string got(1000, '\0');
            while (nAt < bytes.size()) {
                const std::uint64_t nWas = nAt;
                got.resize(cache.Read(&file, bytes.size(), &nAt, &got[0], 1000));
                ASSERT_EQ(bytes.substr(static_cast<size_t>(nWas), 1000), got) << nWas;
                got.resize(1000);
                ASSERT_LE(cache.GetPageCount(), c.nMaxPages) << nWas;
                EXPECT_EQ(cbBefore + cache.GetPageCount() * CPageCache::kPageSize,
                          CCacheClient::GetBudgetBytes());
            }
            EXPECT_EQ(c.nMaxPages, cache.GetPageCount()) << c.bTight;
        }
        EXPECT_EQ(cbBefore, CCacheClient::GetBudgetBytes());
        CCacheClient::SetBudgetBound(cbBound);
    }
}

}  // namespace
}  // namespace velk

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/runtime/heap.h"

namespace {

// A private heap per test, destroyed at the end; hooks restored.
class HeapTest : public ::testing::Test {
protected:
    void SetUp() override { m_h = vokHeapCreate(0, 0, 0, nullptr); ASSERT_NE(nullptr, m_h); }
    void TearDown() override
    {
        EXPECT_EQ(kVokOk, vokVerifyHeapChain(m_h));
        vokHeapDestroy(m_h);
        vokHeapHookRegionFault(nullptr);
        vokHeapHookNoMemory(nullptr);
        vokHeapHookQuestion(nullptr);
        vokHookDebugOutput(nullptr);
        vokHeapSetGlobalFlag(0);
    }
    HVOKHEAP m_h = nullptr;
};

TEST_F(HeapTest, SizesAreRoundedToEightBytes)
{
    struct Case { size_t cb; size_t cbExpected; };
    const Case kCases[] = {{0, 8}, {1, 8}, {8, 8}, {13, 16}, {17, 24}, {1024, 1024}};
    for (const Case& c : kCases) {
        void* p = vokHeapAllocate(m_h, c.cb, 0);
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p) % 8);
        EXPECT_EQ(c.cbExpected, vokHeapGetLength(m_h, p)) << c.cb;
        std::memset(p, 0x5A, vokHeapGetLength(m_h, p));
    }
    // Larger blocks may get more, still in units of 8; large ones get their own region.
    for (size_t cb : {1025u, 5000u, 32767u, 40000u, 1000000u}) {
        void* p = vokHeapAllocate(m_h, cb, 0);
        ASSERT_NE(nullptr, p);
        const size_t cbGot = vokHeapGetLength(m_h, p);
        EXPECT_GE(cbGot, cb);
        EXPECT_EQ(0u, cbGot % 8);
        std::memset(p, 0x5A, cbGot);
        vokHeapFree(m_h, p, 0);
        EXPECT_EQ(0u, vokHeapGetLength(m_h, p));
    }
}

TEST_F(HeapTest, FreedBlocksAreReused)
{
    void* p = vokHeapAllocate(m_h, 40, 0);
    vokHeapFree(m_h, p, 0);
    EXPECT_EQ(p, vokHeapAllocate(m_h, 37, 0));
    EXPECT_EQ(1u, vokHeapGetBlockCount(m_h));
}

TEST_F(HeapTest, ForeignAndStalePointersAreIgnored)
{
    void* p = vokHeapAllocate(m_h, 64, 0);
    void* pLarge = vokHeapAllocate(m_h, 200000, 0);
    HVOKHEAP hOther = vokHeapCreate(0, 0, 0, nullptr);
    void* pOther = vokHeapAllocate(hOther, 64, 0);
    char acStack[32] = {};
    void* pMalloc = std::malloc(64);
    void* const apForeign[] = {acStack + 8, pMalloc, static_cast<char*>(p) + 8,
                               static_cast<char*>(pLarge) + 4096, pOther};
    for (void* q : apForeign) {
        vokHeapFree(m_h, q, 0);
        EXPECT_EQ(0u, vokHeapGetLength(m_h, q));
        EXPECT_EQ(nullptr, vokHeapReallocate(m_h, q, 8, 0));
    }
    vokHeapFree(m_h, nullptr, 0);
    EXPECT_EQ(2u, vokHeapGetBlockCount(m_h));
    vokHeapFree(m_h, p, 0);
    vokHeapFree(m_h, p, 0);  // twice
    vokHeapFree(m_h, pLarge, 0);
    vokHeapFree(m_h, pLarge, 0);  // its region is gone: must not be touched
    EXPECT_EQ(0u, vokHeapGetBlockCount(m_h));
    EXPECT_EQ(64u, vokHeapGetLength(hOther, pOther));
    std::free(pMalloc);
    vokHeapDestroy(hOther);
}

TEST_F(HeapTest, ReallocateKeepsContents)
{
    char* p = static_cast<char*>(vokHeapReallocate(m_h, nullptr, 10, 0));
    ASSERT_NE(nullptr, p);
    std::memcpy(p, "0123456789", 10);
    for (size_t cb : {16u, 100u, 3000u, 100000u, 50u}) {
        p = static_cast<char*>(vokHeapReallocate(m_h, p, cb, 0));
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(0, std::memcmp(p, "0123456789", 10)) << cb;
        EXPECT_GE(vokHeapGetLength(m_h, p), cb);
    }
    p = static_cast<char*>(vokHeapReallocate(m_h, p, 4, 0));
    EXPECT_EQ(0, std::memcmp(p, "0123", 4));
    EXPECT_EQ(1u, vokHeapGetBlockCount(m_h));
    vokHeapFree(m_h, p, 0);
}

TEST_F(HeapTest, TheSwitchFailsTheArmedAllocationOnceWithoutAsking)
{
    int nQuestions = 0;
    static int* s_pnQuestions;
    s_pnQuestions = &nQuestions;
    vokHeapHookQuestion([](const char*, const char*) { return ++*s_pnQuestions, 0; });
    void* pKept = vokHeapAllocate(m_h, 24, 0);
    ASSERT_NE(nullptr, pKept);
    vokHeapFailAllocation(3);
    void* p1 = vokHeapAllocate(m_h, 24, 0);
    void* p2 = vokHeapReallocate(m_h, pKept, 5000, 0);  // needs a new block: counted
    EXPECT_NE(nullptr, p1);
    ASSERT_NE(nullptr, p2);
    EXPECT_EQ(nullptr, vokHeapReallocate(m_h, p2, 100000, 0));  // the third: fails
    EXPECT_GE(vokHeapGetLength(m_h, p2), 5000u);  // unchanged after the failure
    void* p4 = vokHeapAllocate(m_h, 24, 0);  // once only
    EXPECT_NE(nullptr, p4);
    EXPECT_EQ(4u, vokHeapGetAllocationCount());
    vokHeapFailAllocation(0);
    EXPECT_EQ(0, nQuestions);
    EXPECT_EQ(3u, vokHeapGetBlockCount(m_h));
    for (void* p : {p1, p2, p4})
        vokHeapFree(m_h, p, 0);
}

TEST_F(HeapTest, ZeroFillAppliesToReusedBlocksAndHeapFlags)
{
    char* p = static_cast<char*>(vokHeapAllocate(m_h, 100, 0));
    std::memset(p, 0xFF, 100);
    vokHeapFree(m_h, p, 0);
    char* q = static_cast<char*>(vokHeapAllocate(m_h, 100, kVokHeapZeroFill));
    ASSERT_EQ(p, q);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(0, q[i]);
    vokHeapFree(m_h, q, 0);

    HVOKHEAP hZero = vokHeapCreate(0, 0, kVokHeapZeroFill | kVokHeapNoLock, nullptr);
    char* r = static_cast<char*>(vokHeapAllocate(hZero, 24, 0));
    std::memset(r, 0xFF, 24);
    r = static_cast<char*>(vokHeapReallocate(hZero, r, 4000, 0));
    EXPECT_EQ(static_cast<char>(0xFF), r[23]);
    EXPECT_EQ(0, r[24]);
    EXPECT_EQ(0, r[3999]);
    vokHeapDestroy(hZero);
}

int g_nQuestions = 0;
int g_nAnswer = 0;
int AnswerQuestion(const char* szTitle, const char* szText)
{
    EXPECT_STREQ("◆ VOK メモリアロケーション ◆", szTitle);
    EXPECT_STREQ("メモリ確保に失敗しました。\n他のアプリケーションで使用しているメモリを解放してください。\n"
                 "メモリ確保を再実行しますか？", szText);
    ++g_nQuestions;
    return g_nAnswer;
}

int g_nFailRegions = 0;  // region requests still to fail
int FailRegions(size_t)
{
    if (g_nFailRegions == 0)
        return 0;
    --g_nFailRegions;
    return 1;
}

std::vector<int> g_vAttempts;
int RetryTwice(int nAttempt)
{
    g_vAttempts.push_back(nAttempt);
    return nAttempt < 2;
}

TEST_F(HeapTest, ExhaustionAsksUnlessTheNoQuestionFlagApplies)
{
    vokHeapHookQuestion(&AnswerQuestion);
    vokHeapHookRegionFault(&FailRegions);
    g_nQuestions = 0;

    // Global flag 4: fails at once, nobody is asked.
    vokHeapSetGlobalFlag(kVokHeapNoQuestion);
    g_nFailRegions = 1000;
    EXPECT_EQ(nullptr, vokHeapAllocate(m_h, 16, 0));
    EXPECT_EQ(nullptr, vokHeapAllocate(m_h, 500000, 0));
    EXPECT_EQ(0, g_nQuestions);
    vokHeapSetGlobalFlag(0);
    EXPECT_EQ(nullptr, vokHeapAllocate(m_h, 16, kVokHeapNoQuestion));
    EXPECT_EQ(0, g_nQuestions);

    // No: fails after one question. Yes: retries, and succeeds once memory is back.
    g_nAnswer = 0;
    EXPECT_EQ(nullptr, vokHeapAllocate(m_h, 16, 0));
    EXPECT_EQ(1, g_nQuestions);
    g_nAnswer = 1;
    g_nFailRegions = 2;
    EXPECT_NE(nullptr, vokHeapAllocate(m_h, 500000, 0));
    EXPECT_EQ(3, g_nQuestions);
}

TEST_F(HeapTest, TheNoMemoryHookDecidesAndSeesTheAttemptNumber)
{
    vokHeapHookQuestion(&AnswerQuestion);
    vokHeapHookRegionFault(&FailRegions);
    g_nQuestions = 0;
    g_vAttempts.clear();
    vokHeapHookNoMemory(&RetryTwice);
    vokHeapSetGlobalFlag(kVokHeapNoQuestion);  // the hook comes first
    g_nFailRegions = 1000;
    EXPECT_EQ(nullptr, vokHeapAllocate(m_h, 16, 0));
    EXPECT_EQ((std::vector<int>{0, 1, 2}), g_vAttempts);
    g_vAttempts.clear();
    g_nFailRegions = 1;
    EXPECT_NE(nullptr, vokHeapAllocate(m_h, 16, 0));
    EXPECT_EQ((std::vector<int>{0}), g_vAttempts);
    EXPECT_EQ(0, g_nQuestions);
}

TEST_F(HeapTest, UnrepresentableSizesFailWithoutAllocating)
{
    vokHeapHookQuestion(&AnswerQuestion);
    g_nQuestions = 0;
    void* p = vokHeapAllocate(m_h, 8, 0);
    for (size_t cb : {SIZE_MAX, SIZE_MAX - 3, SIZE_MAX - 200, SIZE_MAX / 2 + 1}) {
        EXPECT_EQ(nullptr, vokHeapAllocate(m_h, cb, 0));
        EXPECT_EQ(nullptr, vokHeapReallocate(m_h, p, cb, 0));
    }
    EXPECT_EQ(8u, vokHeapGetLength(m_h, p));
    EXPECT_EQ(0, g_nQuestions);
}

std::string* g_pDebugText = nullptr;
void CaptureDebug(const char* sz)
{
    *g_pDebugText += sz;
}

TEST_F(HeapTest, DumpListsAllocatedBlocksWithTheirFirstBytes)
{
    std::string strText;
    g_pDebugText = &strText;
    vokHookDebugOutput(&CaptureDebug);
    vokHeapDump(m_h, 100);
    EXPECT_EQ("", strText);

    char* p = static_cast<char*>(vokHeapAllocate(m_h, 20, 0));
    std::memcpy(p, "ABCDEFGHIJKLMNOPQRST", 20);
    char* q = static_cast<char*>(vokHeapAllocate(m_h, 8, 0));
    std::memcpy(q, "\x01\x02\x03\x04\x05\x06\x07\x08", 8);
    vokHeapFree(m_h, vokHeapAllocate(m_h, 8, 0), 0);
    vokHeapDump(m_h, 100);

    char szAddress[2][40];
    const int nWidth = static_cast<int>(sizeof(void*) * 2);
    std::snprintf(szAddress[0], sizeof(szAddress[0]), "%0*llX", nWidth,
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    std::snprintf(szAddress[1], sizeof(szAddress[1]), "%0*llX", nWidth,
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(q)));
    EXPECT_EQ(std::string("VOK の解放されていないメモリブロックがあります\n") + "block " +
                  szAddress[0] + "H (24 bytes) : 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50\n" +
                  "block " + szAddress[1] + "H (8 bytes) : 01 02 03 04 05 06 07 08\n",
              strText);

    strText.clear();
    vokHeapDump(m_h, 1);
    EXPECT_EQ(2, std::count(strText.begin(), strText.end(), '\n'));
    g_pDebugText = nullptr;
}

TEST_F(HeapTest, AChildHeapTakesItsRegionsFromTheParentAndGivesThemBack)
{
    HVOKHEAP hChild = vokHeapCreate(0, 0, 0, m_h);
    ASSERT_NE(nullptr, hChild);
    void* p = vokHeapAllocate(hChild, 100, 0);
    void* pBig = vokHeapAllocate(hChild, 300000, 0);
    ASSERT_NE(nullptr, p);
    ASSERT_NE(nullptr, pBig);
    EXPECT_GE(vokHeapGetLength(hChild, pBig), 300000u);
    EXPECT_EQ(2u, vokHeapGetBlockCount(m_h));
    EXPECT_EQ(0u, vokHeapGetLength(m_h, p));
    vokHeapFree(hChild, pBig, 0);
    vokHeapDestroy(hChild);
    EXPECT_EQ(0u, vokHeapGetBlockCount(m_h));
}

// Random allocate, reallocate and free against a model of the expected contents.
TEST_F(HeapTest, RandomWorkloadKeepsEveryBlockIntact)
{
    std::mt19937 rng(12345);
    struct Live { unsigned char* p; size_t cb; unsigned char fill; };
    std::vector<Live> v;
    auto check = [&](const Live& l) {
        for (size_t i = 0; i < l.cb; i += 7)
            if (l.p[i] != l.fill)
                return false;
        return true;
    };
    for (int i = 0; i < 20000; ++i) {
        const unsigned nOp = rng() % 10;
        if (nOp < 5 || v.empty()) {
            size_t cb = rng() % 4 == 0 ? rng() % 70000 : rng() % 300;
            auto* p = static_cast<unsigned char*>(vokHeapAllocate(m_h, cb, 0));
            ASSERT_NE(nullptr, p);
            const unsigned char fill = static_cast<unsigned char>(rng());
            std::memset(p, fill, cb);
            v.push_back({p, cb, fill});
        } else {
            const size_t k = rng() % v.size();
            ASSERT_TRUE(check(v[k])) << i;
            if (nOp < 8) {
                vokHeapFree(m_h, v[k].p, 0);
                v[k] = v.back();
                v.pop_back();
            } else {
                const size_t cb = rng() % 5000;
                auto* p = static_cast<unsigned char*>(vokHeapReallocate(m_h, v[k].p, cb, 0));
                ASSERT_NE(nullptr, p);
                if (cb > v[k].cb)
                    std::memset(p + v[k].cb, v[k].fill, cb - v[k].cb);
                v[k].p = p;
                v[k].cb = cb;
            }
        }
    }
    EXPECT_EQ(v.size(), vokHeapGetBlockCount(m_h));
    EXPECT_EQ(kVokOk, vokVerifyHeapChain(m_h));
    for (const Live& l : v) {
        ASSERT_TRUE(check(l));
        vokHeapFree(m_h, l.p, 0);
    }
    EXPECT_EQ(0u, vokHeapGetBlockCount(m_h));
}

TEST_F(HeapTest, OverrunIsFoundByTheConsistencyWalk)
{
    char* p = static_cast<char*>(vokHeapAllocate(m_h, 16, 0));
    void* q = vokHeapAllocate(m_h, 16, 0);
    EXPECT_EQ(kVokOk, vokVerifyHeapChain(m_h));
    std::memset(p, 0xEE, 24);  // into q's header
    EXPECT_EQ(kVokError, vokVerifyHeapChain(m_h));
    vokHeapFree(m_h, q, 0);  // no longer recognised: ignored
    std::string strText;
    g_pDebugText = &strText;
    vokHookDebugOutput(&CaptureDebug);
    vokHeapDump(m_h, 100);  // stops at the damage, reads nothing beyond
    EXPECT_EQ(2, std::count(strText.begin(), strText.end(), '\n'));
    g_pDebugText = nullptr;
    vokHeapDestroy(m_h);
    m_h = vokHeapCreate(0, 0, 0, nullptr);
}

TEST(GlobalHeap, ThreadsShareItSafely)
{
    HVOKHEAP h = vokGetGlobalHeap();
    ASSERT_NE(nullptr, h);
    const size_t nBefore = vokHeapGetBlockCount(nullptr);
    std::atomic<int> nBad{0};
    std::vector<std::thread> vThreads;
    for (int t = 0; t < 4; ++t) {
        vThreads.emplace_back([t, &nBad] {
            std::vector<unsigned char*> v;
            for (int i = 0; i < 20000; ++i) {
                if (i % 3 != 2) {
                    auto* p = static_cast<unsigned char*>(vokHeapAllocate(nullptr, 8 + (i % 50) * 8, 0));
                    *p = static_cast<unsigned char>(t);
                    v.push_back(p);
                } else {
                    if (*v.back() != t)
                        ++nBad;
                    vokHeapFree(nullptr, v.back(), 0);
                    v.pop_back();
                }
            }
            vokHeapLock(nullptr);
            for (unsigned char* p : v)
                vokHeapFree(nullptr, p, 0);
            vokHeapUnlock(nullptr);
        });
    }
    for (auto& th : vThreads)
        th.join();
    EXPECT_EQ(0, nBad.load());
    EXPECT_EQ(nBefore, vokHeapGetBlockCount(nullptr));
    EXPECT_EQ(kVokOk, vokVerifyHeapChain(nullptr));
}

}  // namespace

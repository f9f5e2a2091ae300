#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "support/runtime/library.h"
#include "support/runtime/object.h"

namespace {

TEST(Result, MessagesOfCodesAndPointers)
{
    struct Case { VOKRESULT n; const char* sz; };
    const Case kCases[] = {
        {-1, "未対応の機能を利用しようとしました。"},
        {0, "関数は成功しました。"},
        {1, "一般的なエラーが発生しました。"},
        {2, "処理が中断されました。"},
        {3, "不正なパラメータが指定されました。"},
        {4, "関数はタイムアウトしました。"},
        {5, "処理がペンディング状態です。"},
        {6, "処理は継続中です。"},
        {7, "未知のエラーコードです。"},
        {0xFFFF, "未知のエラーコードです。"},
    };
    for (const Case& c : kCases)
        EXPECT_STREQ(c.sz, GetErrorMessage(c.n)) << c.n;
    static const char kMessage[] = "own message";
    const VOKRESULT nPointer = reinterpret_cast<VOKRESULT>(kMessage);
    EXPECT_TRUE(IsMessageResult(nPointer));
    EXPECT_EQ(kMessage, GetErrorMessage(nPointer));
    EXPECT_FALSE(IsMessageResult(-1));
    EXPECT_FALSE(IsMessageResult(0xFFFF));
}

class TestShape : public VOKObject {
    VOK_DECLARE_CLASS("TestShape", VOKObject)
};
class TestCircle : public TestShape {
    VOK_DECLARE_CLASS("TestCircle", TestShape)
public:
    double m_dRadius = 1.0;
};
// A class without a name of its own answers with its base's.
class TestUnnamed : public TestCircle {};

TEST(Object, TypeQueriesFollowTheClassChain)
{
    const size_t nBefore = vokHeapGetBlockCount(nullptr);
    TestCircle* pCircle = new TestCircle;
    ASSERT_NE(nullptr, pCircle);
    EXPECT_EQ(nBefore + 1, vokHeapGetBlockCount(nullptr));  // from the library heap
    VOKObject* pObject = pCircle;
    EXPECT_STREQ("TestCircle", pObject->GetClassName());
    for (const char* sz : {"TestCircle", "TestShape", "VOKObject"}) {
        EXPECT_NE(0, pObject->IsKindOf(sz)) << sz;
        EXPECT_EQ(pObject, pObject->DynamicCast(sz)) << sz;
    }
    for (const char* sz : {"EString", "testcircle", "TestCircl", "", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(0, pObject->IsKindOf(sz));
        EXPECT_EQ(nullptr, pObject->DynamicCast(sz));
    }
    TestShape shape;
    EXPECT_NE(0, shape.IsKindOf("VOKObject"));
    EXPECT_EQ(nullptr, shape.DynamicCast("TestCircle"));
    TestUnnamed unnamed;
    EXPECT_STREQ("TestCircle", unnamed.GetClassName());
    EXPECT_TRUE(unnamed.IsSameClass(pCircle));
    EXPECT_FALSE(shape.IsSameClass(pCircle));
    EXPECT_FALSE(shape.IsSameClass(nullptr));
    delete pObject;
    EXPECT_EQ(nBefore, vokHeapGetBlockCount(nullptr));
}

std::string* g_pDebugText = nullptr;
void CaptureDebug(const char* sz)
{
    *g_pDebugText += sz;
}

int g_nInstalls = 0;
void CountInstall()
{
    ++g_nInstalls;
}

TEST(Library, NestedInitialisationOnlyCounts)
{
    std::string strText;
    g_pDebugText = &strText;
    vokHookDebugOutput(&CaptureDebug);
    mvbHookFaultReport(&CountInstall);
    g_nInstalls = 0;

    ASSERT_EQ(0, mvbGetLibraryUseCount());
    ASSERT_EQ(kVokOk, mvbInitializeLibrary());
    EXPECT_EQ(1, g_nInstalls);
    ASSERT_NE(nullptr, mvbGetTaskRecord());
    HVOKHEAP hGlobal = vokGetGlobalHeap();
    HVOKHEAP hImage = mvbGetImageGlobalHeap();
    void* pLeak = vokHeapAllocate(nullptr, 8, 0);
    std::memcpy(pLeak, "LEAKLEAK", 8);
    auto* pImage = static_cast<unsigned char*>(vokHeapAllocate(hImage, 16, 0));
    EXPECT_EQ(0, pImage[15]);  // the image heap zero-fills

    ASSERT_EQ(kVokOk, mvbInitializeLibrary());
    EXPECT_EQ(hGlobal, vokGetGlobalHeap());
    EXPECT_EQ(hImage, mvbGetImageGlobalHeap());
    EXPECT_EQ(1, g_nInstalls);
    EXPECT_EQ(kVokOk, mvbCloseLibrary());
    EXPECT_EQ(8u, vokHeapGetLength(nullptr, pLeak));
    EXPECT_EQ(16u, vokHeapGetLength(hImage, pImage));
    EXPECT_EQ("", strText);

    EXPECT_EQ(kVokOk, mvbCloseLibrary());
    EXPECT_EQ(0, mvbGetLibraryUseCount());
    EXPECT_EQ(nullptr, mvbGetTaskRecord());
    // Both heaps report their leak on the way out.
    EXPECT_EQ(2u, [&] {
        size_t n = 0;
        for (size_t i = 0; (i = strText.find("VOK の解放されていないメモリブロックがあります\n", i)) !=
                           std::string::npos;
             ++i)
            ++n;
        return n;
    }());
    EXPECT_NE(std::string::npos, strText.find("H (8 bytes) : 4C 45 41 4B 4C 45 41 4B\n"));
    EXPECT_NE(std::string::npos, strText.find("H (16 bytes) : 00 00"));
    EXPECT_EQ(std::string::npos, strText.find("mvbCloseLibrary"));
    EXPECT_EQ(kVokError, mvbCloseLibrary());  // one close too many changes nothing

    vokHookDebugOutput(nullptr);
    mvbHookFaultReport(nullptr);
    g_pDebugText = nullptr;
}

TEST(Library, DamageFoundAtShutDownIsReportedAndShutDownCompletes)
{
    std::string strText;
    g_pDebugText = &strText;
    vokHookDebugOutput(&CaptureDebug);
    ASSERT_EQ(kVokOk, mvbInitializeLibrary());
    char* p = static_cast<char*>(vokHeapAllocate(nullptr, 8, 0));
    vokHeapAllocate(nullptr, 8, 0);
    std::memset(p, 0xCC, 16);  // over the next block's header
    EXPECT_EQ(kVokOk, mvbCloseLibrary());
    EXPECT_NE(std::string::npos, strText.find("mvbCloseLibrary 内で例外エラーが発生しました。\n"));
    EXPECT_EQ(0, mvbGetLibraryUseCount());
    vokHookDebugOutput(nullptr);
    g_pDebugText = nullptr;
}

int g_nCleanups = 0;
void CountCleanup(VOKTASKRECORD* pTask)
{
    EXPECT_EQ(&g_nCleanups, pTask->pCleanupData);
    ++g_nCleanups;
}

TEST(Library, TaskRecordsAreCountedPerThread)
{
    mvbHookFaultReport(&CountInstall);
    g_nInstalls = 0;
    g_nCleanups = 0;
    std::thread([] {
        EXPECT_EQ(nullptr, mvbGetTaskRecord());
        EXPECT_EQ(kVokError, mvbCloseTask());
        ASSERT_EQ(kVokOk, mvbInitializeTask());
        ASSERT_EQ(kVokOk, mvbInitializeTask());
        VOKTASKRECORD* pTask = mvbGetTaskRecord();
        ASSERT_NE(nullptr, pTask);
        EXPECT_EQ(2, pTask->nUseCount);
        pTask->pfnCleanup = &CountCleanup;
        pTask->pCleanupData = &g_nCleanups;
        mvbCloseTask();
        EXPECT_EQ(0, g_nCleanups);
        mvbCloseTask();
        EXPECT_EQ(1, g_nCleanups);
        EXPECT_EQ(nullptr, mvbGetTaskRecord());
    }).join();
    EXPECT_EQ(1, g_nInstalls);
    mvbHookFaultReport(nullptr);
}

TEST(Library, ProcessorMaskNeverEnablesWhatTheProcessorLacks)
{
    const uint32_t nDetected = mvbEnableProcessorType(0);
    EXPECT_EQ(0u, nDetected & ~0x3Au);
    EXPECT_EQ(nDetected & ~kVokProcessorSSE3, mvbDisableProcessorType(kVokProcessorSSE3));
    EXPECT_EQ(nDetected, mvbEnableProcessorType(kVokProcessorSSE3 | 0x40));
    EXPECT_EQ(nDetected, mvbGetEnabledProcessorType());
#if defined(__x86_64__)
    EXPECT_NE(0u, nDetected & kVokProcessorSSE2);  // every x86-64 has it
#endif
}

}  // namespace

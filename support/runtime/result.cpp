#include "support/runtime/result.h"

bool IsMessageResult(VOKRESULT nResult)
{
    // Compared at the full pointer width: on a 64-bit target a text's address may
    // well have low 32 bits below 10000 hexadecimal.
    return nResult != kVokUnsupported && static_cast<uintptr_t>(nResult) > 0xFFFFu;
}

const char* GetErrorMessage(VOKRESULT nResult)
{
    if (IsMessageResult(nResult))
        return reinterpret_cast<const char*>(nResult);
    switch (nResult) {
    case kVokUnsupported:
        return "未対応の機能を利用しようとしました。";
    case kVokOk:
        return "関数は成功しました。";
    case kVokError:
        return "一般的なエラーが発生しました。";
    case kVokAborted:
        return "処理が中断されました。";
    case kVokInvalidParameter:
        return "不正なパラメータが指定されました。";
    case kVokTimedOut:
        return "関数はタイムアウトしました。";
    case kVokPending:
        return "処理がペンディング状態です。";
    case kVokContinuing:
        return "処理は継続中です。";
    default:
        return "未知のエラーコードです。";
    }
}

// Results of the support library. A result is pointer-sized: small values are
// codes, and a value above FFFF hexadecimal (as an unsigned 32-bit number) is a
// pointer to a message text. Test for success with == kVokOk, never by sign.
#pragma once

#include <cstdint>

typedef intptr_t VOKRESULT;

enum : VOKRESULT {
    kVokUnsupported = -1,  // an unsupported feature was used
    kVokOk = 0,
    kVokError = 1,
    kVokAborted = 2,
    kVokInvalidParameter = 3,
    kVokTimedOut = 4,
    kVokPending = 5,
    kVokContinuing = 6,
};

// True when nResult is a pointer to a message text rather than a code.
bool IsMessageResult(VOKRESULT nResult);

// The text of a result: the fixed Japanese text of a code ("unknown error code"
// for codes without one), or the message a pointer result points to. Never null.
const char* GetErrorMessage(VOKRESULT nResult);

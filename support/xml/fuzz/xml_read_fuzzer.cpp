// ReadDocument on any bytes, in every flag mode and encoding (the first byte
// chooses; index 5 is invalid), then the tree written back in every mode.
#include "support/xml/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cb)
{
    if (cb < 1)
        return 0;
    const int nFlag = pData[0] % 3;
    const int nEncoding = pData[0] / 3 % 6;
    EDescription root;
    ReadBytes(&root, pData + 1, cb - 1, nFlag, nEncoding);
    for (int nWriteFlag = 0; nWriteFlag < 3; ++nWriteFlag) {
        EMemoryFile file;
        if (root.WriteDocument(&file, 0, nWriteFlag, nEncoding % 5) != 0)
            __builtin_trap();  // every tree the reader makes can be written
    }
    for (int i = 0; i < root.GetChildCount(); ++i)
        root.GetChildAt(static_cast<unsigned>(i))->GetIntAttribute(u"id_att", 0);
    return 0;
}

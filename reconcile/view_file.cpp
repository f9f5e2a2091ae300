#include "reconcile/view_file.h"

#include "platform/process.h"
#include "support/file/raw_file.h"
#include "support/file/stream_buffer.h"

namespace {

// Opens the view for reading, sharing it with readers.
enum { kOpenSourceFlags = 18 };

}  // namespace

std::string ReadView(const char* szSource, EDescription* pDocument)
{
    const std::string strShown = platform::UserPath(szSource);
    ERawFile file;
    if (file.Open(szSource, kOpenSourceFlags) != 0)
        return "cannot open the view \"" + strShown + "\" for reading";
    const std::uint64_t cbFile = file.GetLength64();
    if (cbFile > kMaxViewBytes)
        return "the view \"" + strShown + "\" is larger than " +
               std::to_string(kMaxViewBytes >> 20) + " MiB";
    EStreamBuffer buffer;
    if (buffer.FillFromFile(&file) != 0 || buffer.GetLength() != cbFile)
        return "cannot read the whole view \"" + strShown + "\"";
    if (pDocument->ReadDocument(&buffer, 2, 0) != 0)
        return "the view \"" + strShown + "\" is not a readable XML document";
    return std::string();
}


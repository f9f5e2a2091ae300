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
    // The reader takes the document in one piece: the file goes into one block.
    // A file that grew since its size was taken is not read in part.
    unsigned char bExtra;
    if (!buffer.FillFromFile(&file, static_cast<std::uint32_t>(cbFile)) || file.Read(&bExtra, 1) != 0)
        return "cannot read the whole view \"" + strShown + "\"";
    file.Close();
    if (pDocument->ReadDocument(&buffer, 2, 0) != 0)
        return "the view \"" + strShown + "\" is not a readable XML document";
    return std::string();
}

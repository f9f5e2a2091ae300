#include "reconcile/view_file.h"

#include <algorithm>
#include <memory>
#include <new>

#include "platform/process.h"
#include "support/file/raw_file.h"
#include "support/file/stream_buffer.h"

namespace {

// Opens the view for reading, sharing it with readers.
enum { kOpenSourceFlags = 18 };

// The view is read this many bytes at a time.
const std::uint32_t kReadPiece = 8192;

// Puts the cbFile bytes of the open file into *pBuffer as one block. The reader
// needs the document in one piece: a queue filled a few kilobytes at a time is
// copied into one block anyway, and the small blocks it leaves behind stay with
// the library heap, unused by the tree, for the rest of the run. Here the bytes
// pass through one transient block that goes back to the system before the tree
// is built. Returns false when the file holds other than cbFile bytes or memory
// runs out.
bool ReadWhole(ERawFile* pFile, std::uint32_t cbFile, EStreamBuffer* pBuffer)
{
    std::unique_ptr<unsigned char[]> pBytes(new (std::nothrow) unsigned char[cbFile]);
    if (pBytes == nullptr)
        return false;
    std::uint32_t cbRead = 0;
    while (cbRead < cbFile) {
        const std::uint32_t cbWanted = std::min(kReadPiece, cbFile - cbRead);
        const std::uint32_t cb = pFile->Read(pBytes.get() + cbRead, cbWanted);
        if (cb == 0 || cb > cbWanted)
            return false;
        cbRead += cb;
    }
    // A file that grew since its size was taken is not read in part.
    unsigned char bExtra;
    if (pFile->Read(&bExtra, 1) != 0)
        return false;
    return pBuffer->Write(pBytes.get(), cbFile) == cbFile;
}

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
    if (!ReadWhole(&file, static_cast<std::uint32_t>(cbFile), &buffer))
        return "cannot read the whole view \"" + strShown + "\"";
    file.Close();
    if (pDocument->ReadDocument(&buffer, 2, 0) != 0)
        return "the view \"" + strShown + "\" is not a readable XML document";
    return std::string();
}

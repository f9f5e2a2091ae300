// ERawFile: a file object over one platform file. Open takes a name in the system
// code page and the open flags below; the object keeps the full path name of the
// open file. Every operation on the handle takes the object's lock, so threads may
// share one object; a read or write is one platform call.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/file.h"
#include "support/file/file_object.h"
#include "support/text/string.h"

class ERawFile : public VOKFileObject {
    VOK_DECLARE_CLASS("ERawFile", VOKFileObject)

public:
    enum : int {
        kCreate = 1,       // make a new file or truncate an existing one; else it must exist
        kRead = 2,
        kWrite = 4,
        kShareRead = 16,   // others may read while it is open
        kShareWrite = 32,  // others may write while it is open
    };

    ERawFile() = default;
    ~ERawFile() override;
    ERawFile(const ERawFile&) = delete;
    ERawFile& operator=(const ERawFile&) = delete;

    // Closes any open file, then opens szName. Returns 0, or 1 when the name is
    // empty, its drive does not exist, or the platform refuses (the object is then
    // closed, flags 0).
    int Open(const char* szName, int nFlags);
    void Close();

    int GetFlags() const { return m_nFlags; }
    // The full path name of the open file (empty while closed), and its file-name part.
    const EString& GetPathName() const { return m_strPathName; }
    const char* GetFileName() const { return m_strPathName.GetText() + m_nFileName; }

    // With read access, opens the name again (read, and write when this object has
    // it, same sharing); the copy carries the same flags and name. Null when the
    // file cannot be opened again, or was opened without read access: the platform
    // layer has no handle duplication.
    VOKFileObject* Duplicate() override;
    // 0 after a failure or while closed.
    uint32_t Read(void* pBuffer, uint32_t cbCount) override;
    uint32_t Write(const void* pBuffer, uint32_t cbCount) override;
    // The low 32 bits of the size; 0 on failure.
    uint32_t GetLength() override;
    // The offset is sign-extended; 0 on failure.
    uint32_t Seek(int32_t nOffset, int nOrigin) override;
    uint32_t GetPosition() override;
    int SetEndOfFile() override;
    uint64_t GetLength64() override;
    uint64_t Seek64(int64_t nOffset, int nOrigin) override;
    uint64_t GetPosition64() override;

private:
    void CloseLocked();

    std::recursive_mutex m_lock;
    int m_nFlags = 0;
    platform::CFileHandle m_file;
    EString m_strPathName;
    int m_nFileName = 0;  // offset of the file-name part in m_strPathName
};

// The records of a transaction directory. Integers are little-endian.
//
//   path record      offset  size  field
//                    0       4     L, the length of the text with its NUL, 1..261
//                    4       L     the path text, NUL-terminated
//   A "path" file holds exactly one record; the creation list "log\clist" is a
//   plain sequence of records, with no header and no count.
//
//   size record      offset  size  field
//   ("size")         0       8     the file's logical length
//
// Where each record lives in a transaction directory: store_names.h.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"

namespace velk {

enum : std::uint32_t { kMaxPathRecord = 261 };

// Writes a "path" file holding one record of strText, flushed to the disk; the
// file must not exist yet. Throws on any failure.
void WritePathFile(const char* szFile, const std::string& strText);

// Appends one record of strText to the list file szFile (made when missing) and
// flushes it to the disk. Throws on any failure.
void AppendPathRecord(const char* szFile, const std::string& strText);

// Reads one record at the file's position into *pstrText. Returns false when
// fewer than 4 bytes are left (the end of a list); throws when the length is 0 or
// above 261, the text is short or its last byte is not NUL.
bool ReadPathRecord(platform::CFileHandle* pFile, std::string* pstrText);

// The record of a "path" file; a missing file or a bad record throws.
std::string ReadPathFile(const char* szFile);

// Writes the size record szFile: created when missing, else overwritten in place
// (and cut to its 8 bytes should it be longer). Throws on failure.
void WriteSizeRecord(const char* szFile, std::uint64_t nSize);

// Reads the size record szFile. A missing file or one not exactly 8 bytes long
// throws.
std::uint64_t ReadSizeRecord(const char* szFile);

}  // namespace velk

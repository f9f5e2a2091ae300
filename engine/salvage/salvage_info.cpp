#include "engine/salvage/salvage_info.h"

#include <cstring>

#include "engine/base/byte_order.h"
#include "engine/bptree/key_order.h"
#include "engine/database/adb_impl.h"
#include "engine/salvage/salvage_read.h"
#include "platform/file.h"

namespace velk {

namespace {

const unsigned char kTreeMagic[8] = {0x89, 'B', 'P', 'T', 0x0D, 0x0A, 0x1A, 0x0A};
const unsigned char kRecordMagic[8] = {0x89, 'F', 'L', 'R', 0x0D, 0x0A, 0x1A, 0x0A};

// What a tree's header says of its keys.
struct STreeShape {
    bool bRead = false;
    std::uint32_t cbKey = 0;
    std::uint32_t cbValue = 0;
    unsigned char abGuid[16] = {};
};

STreeShape ReadTreeShape(const CPath& directory, const char* szTree)
{
    STreeShape shape;
    std::string s;
    if (!ReadSmallFile(directory.Join(szTree).Join("bptinfo").GetString(), 60, &s) ||
        s.size() < 60 || std::memcmp(s.data(), kTreeMagic, 8) != 0)
        return shape;
    const unsigned char* pb = reinterpret_cast<const unsigned char*>(s.data());
    shape.cbKey = GetU32LE(pb + 16);
    shape.cbValue = GetU32LE(pb + 20);
    std::memcpy(shape.abGuid, pb + 28, 16);
    shape.bRead = shape.cbKey >= 1 && shape.cbKey <= kMaxDatabaseFieldSize;
    return shape;
}

// A record file's record size; 0 when its header does not read.
std::uint32_t ReadRecordSize(const CPath& directory, const char* szFile)
{
    std::string s;
    if (!ReadSmallFile(directory.Join(szFile).GetString(), 16, &s) || s.size() < 16 ||
        std::memcmp(s.data(), kRecordMagic, 8) != 0)
        return 0;
    return GetU32LE(s.data() + 8);
}

bool Exists(const CPath& directory, const char* szName)
{
    return platform::PathExists(directory.Join(szName).GetString());
}

}  // namespace

bool ReadSoundDatabaseInfo(const CPath& directory, SDatabaseInfo* pInfo)
{
    return !IsLink(directory.Join(kInfoName).GetString()) &&
           ReadDatabaseInfo(directory.GetString(), pInfo) && ParametersAreSound(*pInfo);
}

bool RebuildDatabaseInfo(const CPath& directory, SDatabaseInfo* pInfo,
                         std::vector<std::string>* pvUnknown)
{
    SDatabaseInfo defaults;
    SDatabaseInfo old;
    std::string strOld;
    const bool bOld = ReadSmallFile(directory.Join(kInfoName).GetString(), kDatabaseInfoSize,
                                    &strOld) &&
                      strOld.size() == kDatabaseInfoSize;
    if (bOld)
        DecodeDatabaseInfo(reinterpret_cast<const unsigned char*>(strOld.data()), &old);
    SDatabaseInfo info;
    // A parameter that no store fixes: the damaged file's value, else the default.
    const auto unknown = [&](const char* szName, std::uint32_t SDatabaseInfo::*pField) {
        info.*pField = bOld ? old.*pField : defaults.*pField;
        pvUnknown->push_back(std::string(szName) + " cannot be known from the stores; " +
                             std::to_string(info.*pField) +
                             (bOld ? " was taken from the damaged file" : " (the default) was used"));
    };

    const STreeShape names = ReadTreeShape(directory, kNameIndexName);
    if (!names.bRead || names.cbKey < 2 || names.cbValue != 4)
        return false;
    info.nAttNameSize = names.cbKey;

    info.nVersion = kMajorVersion << 16;
    if (bOld && (old.nVersion >> 16) == kMajorVersion)
        info.nVersion = old.nVersion;
    else
        pvUnknown->push_back("the minor version cannot be known from the stores; 0 was used");

    const std::uint32_t cbAttRecord = ReadRecordSize(directory, kAttRecordsName);
    if (cbAttRecord >= kAttFixedSize + info.nAttNameSize &&
        cbAttRecord - kAttFixedSize - info.nAttNameSize <= kMaxDatabaseFieldSize)
        info.nExtraSize = cbAttRecord - kAttFixedSize - info.nAttNameSize;
    else
        unknown("P4 (extra data size)", &SDatabaseInfo::nExtraSize);

    const STreeShape paths = ReadTreeShape(directory, kPathIndexName);
    const STreeShape imports = ReadTreeShape(directory, kImportIndexName);
    if (paths.bRead)
        info.nParam1 = paths.cbKey;
    else if (imports.bRead)
        info.nParam1 = imports.cbKey;
    else
        unknown("P1", &SDatabaseInfo::nParam1);
    if (paths.bRead && FindKeyOrder(paths.abGuid) != nullptr) {
        std::memcpy(info.abPathOrder, paths.abGuid, 16);
    } else {
        const bool bOldOrder = bOld && FindKeyOrder(old.abPathOrder) != nullptr;
        std::memcpy(info.abPathOrder, bOldOrder ? old.abPathOrder : defaults.abPathOrder, 16);
        pvUnknown->push_back(std::string("the path order cannot be known from the stores; ") +
                             (bOldOrder ? "the damaged file's was taken"
                                        : "the default (ASCII without case) was used"));
    }

    const STreeShape hashes = ReadTreeShape(directory, kHashIndexName);
    const std::uint32_t cbFileRecord = ReadRecordSize(directory, kFileRecordsName);
    if (hashes.bRead)
        info.nHashSize = hashes.cbKey;
    else if (cbFileRecord >= 80 + info.nParam1 &&
             cbFileRecord - 80 - info.nParam1 <= kMaxDatabaseFieldSize)
        info.nHashSize = cbFileRecord - 80 - info.nParam1;
    else if (!Exists(directory, kHashIndexName) && !Exists(directory, kImportIndexName))
        info.nHashSize = 0;
    else
        unknown("P6 (hash size)", &SDatabaseInfo::nHashSize);

    const STreeShape comments = ReadTreeShape(directory, kCommentIndexName);
    const std::uint32_t cbComment = ReadRecordSize(directory, kCommentRecordsName);
    if (comments.bRead)
        info.nCommentSize = comments.cbKey;
    else if (cbComment >= 8 && cbComment - 8 <= kMaxDatabaseFieldSize)
        info.nCommentSize = cbComment - 8;
    else if (!Exists(directory, kCommentIndexName) && !Exists(directory, kCommentRecordsName))
        info.nCommentSize = 0;
    else
        unknown("P3 (comment size)", &SDatabaseInfo::nCommentSize);

    unknown("P2", &SDatabaseInfo::nParam2);
    unknown("P5", &SDatabaseInfo::nParam5);
    *pInfo = info;
    return ParametersAreSound(info);
}

}  // namespace velk

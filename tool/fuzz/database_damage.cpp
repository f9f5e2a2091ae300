#include "tool/fuzz/database_damage.h"
#include "tool/fuzz/database_writes.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "engine/base/byte_order.h"
#include "engine/bptree/key_order.h"
#include "engine/database/adb.h"
#include "engine/database/adb_tools.h"
#include "platform/file.h"
#include "reconcile/att_table.h"
#include "tool/database_steps.h"
#include "tool/tool_paths.h"

namespace {

enum FileKind { kInfo, kTreeHeader, kIndexNodes, kLeafNodes, kRecords };

const std::size_t kOperationSize = 8;
const std::size_t kMaxOperations = 32;

std::string ReadWhole(const std::string& strPath)
{
    platform::CFileHandle file;
    std::uint64_t cb = 0;
    if (platform::FileOpen(strPath.c_str(), platform::kFileAccessRead,
                           platform::kFileShareRead | platform::kFileShareWrite,
                           platform::kFileOpenExisting, &file) != platform::kFileOk ||
        file.GetSize(&cb) != platform::kFileOk)
        throw std::runtime_error("cannot read " + strPath);
    std::string s(static_cast<std::size_t>(cb), '\0');
    std::uint32_t cbRead = 0;
    if (cb != 0 && (file.Read(&s[0], static_cast<std::uint32_t>(cb), &cbRead) != platform::kFileOk ||
                    cbRead != cb))
        throw std::runtime_error("cannot read " + strPath);
    return s;
}

void WriteWhole(const std::string& strPath, const std::string& s)
{
    platform::CFileHandle file;
    std::uint32_t cbWritten = 0;
    if (platform::FileOpen(strPath.c_str(), platform::kFileAccessWrite, 0,
                           platform::kFileCreateAlways, &file) != platform::kFileOk ||
        (!s.empty() && (file.Write(s.data(), static_cast<std::uint32_t>(s.size()), &cbWritten) !=
                            platform::kFileOk ||
                        cbWritten != s.size())))
        throw std::runtime_error("cannot write " + strPath);
}

std::uint32_t U32At(const std::string& s, std::uint64_t nOffset)
{
    if (nOffset > s.size() || s.size() - nOffset < 4)
        return 0;
    return velk::GetU32LE(reinterpret_cast<const unsigned char*>(s.data()) + nOffset);
}

}  // namespace

struct CDamageRun::SFile {
    std::string strName;  // inside the database directory
    FileKind kind;
    // Node files: the tree's orders and sizes. Tree headers: the leaf file's
    // record count, the range of ids worth linking to.
    std::uint32_t d = 0, L = 0, K = 0, V = 0, nIds = 0;
    std::string strSound;
};

struct CDamageRun::SBase {
    std::string strApp;  // the application directory, with a trailing "\"
    std::string strDb;   // its "db\adb"
    std::vector<SFile> vFiles;
};

namespace {

struct SField {
    std::uint64_t nOffset;
    std::uint32_t cb;  // 4, or 1 for a byte
    const char* szName;
    // For records and free-list entries the value is cut to the file; an append
    // grows the free list by one entry; a cut shortens the file.
    enum { kSet, kAppendFree, kCut } action;
};

// The field that operation byte 1 (and the record and slot bytes) name in the
// file as it is now; nOffset past the end means there is nothing to change.
SField Locate(const CDamageRun::SFile& f, const std::string& s, const std::uint8_t* op)
{
    const std::uint64_t kNowhere = ~0ull;
    const std::uint8_t nField = op[1];
    const std::uint32_t nSlot = op[3];
    switch (f.kind) {
    case kInfo: {
        const unsigned n = nField % 9;
        if (n < 7)
            return {4 + 4ull * n, 4, "parameter", SField::kSet};
        if (n == 7)
            return {0, 4, "version", SField::kSet};
        return {32 + nSlot % 16ull, 1, "path order byte", SField::kSet};
    }
    case kTreeHeader: {
        static const char* const kNames[9] = {"d",      "L",    "K",    "V",         "duplicates",
                                              "count", "height", "root", "first leaf"};
        const unsigned n = nField % 10;
        if (n < 5)
            return {8 + 4ull * n, 4, kNames[n], SField::kSet};
        if (n < 9)
            return {44 + 4ull * (n - 5), 4, kNames[n], SField::kSet};
        return {28 + nSlot % 16ull, 1, "key order byte", SField::kSet};
    }
    default:
        break;
    }
    // Record files, node files among them.
    const std::uint32_t cbRecord = U32At(s, 8);
    const std::uint32_t nRecords = U32At(s, 12);
    const std::uint64_t nFreeAt = 16 + static_cast<std::uint64_t>(cbRecord) * nRecords;
    const std::uint32_t nFree = U32At(s, nFreeAt);
    const std::uint64_t nRecord = nRecords == 0 ? kNowhere : op[2] % nRecords;
    const std::uint64_t nBase = nRecord == kNowhere ? kNowhere : 16 + nRecord * cbRecord;
    const unsigned nCommon = 7;
    const unsigned nKinds = f.kind == kIndexNodes ? 12 : f.kind == kLeafNodes ? 15 : 9;
    const unsigned n = nField % nKinds;
    switch (n) {
    case 0: return {8, 4, "record size", SField::kSet};
    case 1: return {12, 4, "record count", SField::kSet};
    case 2: return {nFreeAt, 4, "free count", SField::kSet};
    case 3:
        return {nFree == 0 ? kNowhere : nFreeAt + 4 + 4ull * (nSlot % nFree), 4, "free id",
                SField::kSet};
    case 4: return {nFreeAt, 4, "appended free id", SField::kAppendFree};
    case 5: return {0, 0, "cut", SField::kCut};
    case 6:
        return {nBase == kNowhere || cbRecord < 4 ? kNowhere : nBase + 4ull * nSlot % (cbRecord - 3),
                4, "record word", SField::kSet};
    default:
        break;
    }
    if (nBase == kNowhere)
        return {kNowhere, 4, "", SField::kSet};
    if (f.kind == kRecords) {
        // An attribute record: the state word, a byte of the name field.
        if (n == nCommon)
            return {nBase, 4, "state", SField::kSet};
        return {nBase + 4 + nSlot, 1, "name byte", SField::kSet};
    }
    if (f.kind == kIndexNodes) {
        const std::uint64_t e = f.K + 8ull;
        const std::uint64_t nSize = e * (2ull * f.d + 1) + 12;
        const std::uint64_t i = nSlot % (2ull * f.d + 2);
        switch (n) {
        case 7: return {nBase, 4, "key count", SField::kSet};
        case 8: return {nBase + 4 + i * e, 4, "child", SField::kSet};
        case 9: return {nBase + 8 + i % (2ull * f.d + 1) * e, 4, "key length", SField::kSet};
        case 10: return {nBase + nSize - 4, 4, "parent", SField::kSet};
        default: return {nBase + 12 + i % (2ull * f.d + 1) * e, 1, "key byte", SField::kSet};
        }
    }
    const std::uint64_t e = static_cast<std::uint64_t>(f.K) + f.V + 8;
    const std::uint64_t nSize = e * (f.L + 1ull) + 16;
    const std::uint64_t i = nSlot % (f.L + 1ull);
    switch (n) {
    case 7: return {nBase, 4, "entry count", SField::kSet};
    case 8: return {nBase + 4 + i * e, 4, "key length", SField::kSet};
    case 9: return {nBase + 8 + f.K + i * e, 4, "value length", SField::kSet};
    case 10: return {nBase + 4 + (f.L + 1ull) * e, 4, "previous leaf", SField::kSet};
    case 11: return {nBase + 8 + (f.L + 1ull) * e, 4, "next leaf", SField::kSet};
    case 12: return {nBase + nSize - 4, 4, "parent", SField::kSet};
    case 13:
        return {f.V < 4 ? kNowhere : nBase + 12 + f.K + i * e, 4, "value word", SField::kSet};
    default: return {nBase + 8 + i * e, 1, "key byte", SField::kSet};
    }
}

std::uint32_t MakeValue(const CDamageRun::SFile& f, const std::string& s, std::uint32_t nOld,
                        const std::uint8_t* op)
{
    const std::uint32_t b = op[5];
    const std::uint32_t nIds = f.kind == kTreeHeader ? f.nIds : U32At(s, 12);
    switch (op[4] % 8) {
    case 0: return 0;
    case 1: return b;
    case 2: return nOld + static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<std::int8_t>(b)));
    case 3: return 0xFFFFFFFFu - b;
    case 4: return 0x7FFFFFFFu + b;
    case 5: return b % (nIds + 2);
    case 6: return nOld ^ (1u << (b % 32));
    default: return b | static_cast<std::uint32_t>(op[6]) << 8 | static_cast<std::uint32_t>(op[7]) << 16;
    }
}

// Applies one operation to the bytes of its file; returns a line saying what it
// did, or "" when it named nothing.
std::string Apply(const CDamageRun::SFile& f, std::string* ps, const std::uint8_t* op)
{
    std::string& s = *ps;
    const SField field = Locate(f, s, op);
    if (field.action == SField::kCut) {
        const std::size_t cbCut = std::min<std::size_t>(s.size(), 1 + (op[5] | op[6] << 8));
        s.resize(s.size() - cbCut);
        return f.strName + ": cut by " + std::to_string(cbCut) + " bytes";
    }
    if (field.nOffset > s.size() || s.size() - field.nOffset < field.cb)
        return "";
    const std::uint32_t nOld = field.cb == 1 ? static_cast<unsigned char>(s[field.nOffset])
                                             : U32At(s, field.nOffset);
    const std::uint32_t nValue = MakeValue(f, s, nOld, op);
    unsigned char ab[4];
    if (field.action == SField::kAppendFree) {
        velk::PutU32LE(ab, nOld + 1);
        s.replace(static_cast<std::size_t>(field.nOffset), 4, reinterpret_cast<char*>(ab), 4);
        velk::PutU32LE(ab, nValue);
        s.insert(static_cast<std::size_t>(field.nOffset + 4 + 4ull * nOld) > s.size()
                     ? s.size()
                     : static_cast<std::size_t>(field.nOffset + 4 + 4ull * nOld),
                 reinterpret_cast<char*>(ab), 4);
    } else if (field.cb == 1) {
        s[static_cast<std::size_t>(field.nOffset)] = static_cast<char>(nValue);
    } else {
        velk::PutU32LE(ab, nValue);
        s.replace(static_cast<std::size_t>(field.nOffset), 4, reinterpret_cast<char*>(ab), 4);
    }
    return f.strName + ": " + field.szName + " at " + std::to_string(field.nOffset) + " from " +
           std::to_string(nOld) + " to " + std::to_string(field.cb == 1 ? nValue & 0xFF : nValue);
}

CDamageRun::SBase* MakeBase(const std::string& strApp, const velk::SDatabaseInfo& info,
                            int nNames, int nBigList)
{
    std::unique_ptr<CDamageRun::SBase> pBase(new CDamageRun::SBase);
    pBase->strApp = strApp;
    pBase->strDb = strApp + "db\\adb";
    platform::DirCreate(strApp.c_str());
    platform::DirCreate((strApp + "db").c_str());
    if (velk::CreateDatabase(pBase->strDb.c_str(), info) != 0)
        throw std::runtime_error("cannot make " + pBase->strDb);
    {
        velk::CADB db;
        if (db.Associate(pBase->strDb.c_str(), info.abPathOrder, nullptr) != 0 ||
            db.Open(1, 5000) == 0)
            throw std::runtime_error("cannot open " + pBase->strDb);
        for (int i = 0; i < nNames; ++i) {
            std::uint32_t nId = 0;
            const std::string strName = "name" + std::to_string(100 + i);
            if (db.AddAtt(strName.c_str(), &nId) != 0)
                throw std::runtime_error("cannot add " + strName);
            const int nFiles = nId == 1 ? 2 : nId == 2 ? nBigList : 0;
            for (int k = 0; k < nFiles; ++k)
                velk::LinkFile(db, nId, static_cast<std::uint32_t>(3 * k + nId));
        }
        db.Close(1);
    }
    struct SStore {
        const char* szName;
        bool bTree;
    };
    const SStore kStores[] = {
        {"attname_db", true}, {"attinfo_db", false}, {"fidlists\\1", true}, {"fidlists\\2", true},
        {"path_db", true},    {"fileinfo_db", false}, {"hash_db", true},     {"import_db", true},
        {"comment_db", true}, {"commentinfo_db", false},
    };
    CDamageRun::SFile info0;
    info0.strName = "adbinfo";
    info0.kind = kInfo;
    info0.strSound = ReadWhole(pBase->strDb + "\\adbinfo");
    pBase->vFiles.push_back(info0);
    for (const SStore& store : kStores) {
        const std::string strPath = pBase->strDb + "\\" + store.szName;
        if (!platform::PathExists(strPath.c_str()))
            continue;
        if (!store.bTree) {
            CDamageRun::SFile f;
            f.strName = store.szName;
            f.kind = kRecords;
            f.strSound = ReadWhole(strPath);
            pBase->vFiles.push_back(f);
            continue;
        }
        CDamageRun::SFile header;
        header.strName = std::string(store.szName) + "\\bptinfo";
        header.kind = kTreeHeader;
        header.strSound = ReadWhole(strPath + "\\bptinfo");
        header.d = U32At(header.strSound, 8);
        header.L = U32At(header.strSound, 12);
        header.K = U32At(header.strSound, 16);
        header.V = U32At(header.strSound, 20);
        CDamageRun::SFile index = header;
        index.strName = std::string(store.szName) + "\\index";
        index.kind = kIndexNodes;
        index.strSound = ReadWhole(strPath + "\\index");
        CDamageRun::SFile leaf = header;
        leaf.strName = std::string(store.szName) + "\\leaf";
        leaf.kind = kLeafNodes;
        leaf.strSound = ReadWhole(strPath + "\\leaf");
        header.nIds = U32At(leaf.strSound, 12);
        pBase->vFiles.push_back(header);
        pBase->vFiles.push_back(index);
        pBase->vFiles.push_back(leaf);
    }
    return pBase.release();
}

// What one run saw.
struct SOutcome {
    bool bEnumerated = false;   // the walk ended at the end (4)
    std::uint32_t nCount = 0;   // the enumerator's count
    std::uint32_t nRows = 0;    // the rows the walk produced
    std::size_t nProblems = 0;  // lines of the integrity check
    int nSteps = -2;            // the tool's steps 3 to 7: 0 or -1
    std::size_t nTable = 0;     // the tool's table
};

void Enumerate(const std::string& strDb, const unsigned char* pPathOrder, SOutcome* pOutcome)
{
    velk::CADB db;
    if (db.Associate(strDb.c_str(), pPathOrder, nullptr) != 0)
        return;
    try {
        if (db.Open(0, 1000) == 0)
            return;
        velk::CADB::IFindAtt* pFind = db.CreateFindAtt();
        if (pFind == nullptr)
            return;
        try {
            pOutcome->nCount = pFind->GetCount();
            int nMoved = pFind->GetCount() == 0 ? velk::CADB::kEndOfWalk : velk::CADB::kOk;
            while (nMoved == velk::CADB::kOk) {
                velk::CADB::IAttInfo* pInfo = pFind->GetAttInfo();
                try {
                    std::vector<char> vName(pInfo->GetName(nullptr, 0));
                    pInfo->GetName(vName.data(), static_cast<std::uint32_t>(vName.size()));
                    pInfo->GetRefCount();
                    pInfo->GetId();
                } catch (...) {
                    pFind->ReleaseAttInfo(pInfo);
                    throw;
                }
                pFind->ReleaseAttInfo(pInfo);
                ++pOutcome->nRows;
                nMoved = pFind->Next(1, 1);
            }
            pOutcome->bEnumerated = nMoved == velk::CADB::kEndOfWalk;
        } catch (...) {
        }
        db.ReleaseFind(pFind);
        db.Close(1);
    } catch (...) {
    }
}

}  // namespace

CDamageRun::CDamageRun(const std::string& strScratch)
{
    try {
        velk::SDatabaseInfo info;
        m_vBases.push_back(MakeBase(strScratch + "three\\", info, 3, 300));
        m_vBases.push_back(MakeBase(strScratch + "seventy\\", info, 70, 0));
        velk::SDatabaseInfo narrow;
        narrow.nAttNameSize = 64;
        narrow.nExtraSize = 8;
        narrow.nHashSize = 0;
        narrow.nCommentSize = 0;
        m_vBases.push_back(MakeBase(strScratch + "narrow\\", narrow, 5, 0));
    } catch (...) {
        for (SBase* p : m_vBases)
            delete p;
        throw;
    }
}

CDamageRun::~CDamageRun()
{
    for (SBase* p : m_vBases)
        delete p;
}

// Applies the input's operations to copies of the base's files: *pvBytes receives
// every file, *pvChanged marks those that changed; the result says what was done.
std::string CDamageRun::Damage(const SBase& base, const std::uint8_t* pInput, std::size_t cbInput,
                               std::vector<std::string>* pvBytes, std::vector<bool>* pvChanged)
{
    pvBytes->clear();
    for (const SFile& f : base.vFiles)
        pvBytes->push_back(f.strSound);
    pvChanged->assign(base.vFiles.size(), false);
    std::string strText = base.strApp + "\n";
    for (std::size_t i = 0; i < kMaxOperations && 1 + (i + 1) * kOperationSize <= cbInput; ++i) {
        const std::uint8_t* op = pInput + 1 + i * kOperationSize;
        const std::size_t nFile = op[0] % base.vFiles.size();
        const std::string strLine = Apply(base.vFiles[nFile], &(*pvBytes)[nFile], op);
        if (!strLine.empty()) {
            (*pvChanged)[nFile] = true;
            strText += strLine + "\n";
        }
    }
    return strText;
}

std::string CDamageRun::Describe(const std::uint8_t* pInput, std::size_t cbInput)
{
    if (cbInput == 0)
        return "";
    std::vector<std::string> vBytes;
    std::vector<bool> vChanged;
    return Damage(*m_vBases[pInput[0] % m_vBases.size()], pInput, cbInput, &vBytes, &vChanged);
}

std::string CDamageRun::Run(const std::uint8_t* pInput, std::size_t cbInput)
{
    if (cbInput == 0)
        return "";
    const SBase& base = *m_vBases[pInput[0] % m_vBases.size()];
    std::vector<std::string> vBytes;
    std::vector<bool> vChanged;
    Damage(base, pInput, cbInput, &vBytes, &vChanged);
    for (std::size_t i = 0; i < base.vFiles.size(); ++i) {
        if (vChanged[i])
            WriteWhole(base.strDb + "\\" + base.vFiles[i].strName, vBytes[i]);
    }

    SOutcome outcome;
    const std::string& strInfo = vBytes[0];
    unsigned char abPathOrder[16] = {};
    if (strInfo.size() >= 48)
        std::memcpy(abPathOrder, strInfo.data() + 32, 16);
    Enumerate(base.strDb, abPathOrder, &outcome);
    std::vector<std::string> vProblems;
    outcome.nProblems = velk::CheckDatabase(base.strDb.c_str(), 1000, &vProblems);
    {
        const ToolPaths paths = DeriveToolPaths((base.strApp + "x.exe").c_str(), "source.xml");
        velk::CADB db;
        AttTable table;
        outcome.nSteps = RunDatabaseSteps(&db, paths, &table);
        outcome.nTable = table.size();
    }

    const std::string strWrites =
        m_bWrites ? RunDamagedWrites(base.strDb, base.strApp + "written", abPathOrder)
                  : std::string();

    for (std::size_t i = 0; i < base.vFiles.size(); ++i) {
        if (vChanged[i])
            WriteWhole(base.strDb + "\\" + base.vFiles[i].strName, base.vFiles[i].strSound);
    }

    std::string strWrong = strWrites;
    if (outcome.bEnumerated && outcome.nRows != outcome.nCount)
        strWrong += "the enumeration ended after " + std::to_string(outcome.nRows) + " of " +
                    std::to_string(outcome.nCount) + " names; ";
    if (outcome.nProblems == 0) {
        // A database its own check finds sound must list in full, and the tool
        // must take it when its parameters are ones the tool handles.
        if (!outcome.bEnumerated)
            strWrong += "the check found no problem, but the enumeration failed; ";
        const bool bToolTakesIt =
            strInfo.size() >= 48 && U32At(strInfo, 28) <= 256 && U32At(strInfo, 4) <= 261 &&
            U32At(strInfo, 24) == 16 && U32At(strInfo, 12) <= 512 &&
            std::memcmp(abPathOrder, velk::kGuidNoCaseAscending, 16) == 0;
        if (bToolTakesIt && outcome.nSteps != 0)
            strWrong += "the check found no problem, but the tool's listing failed; ";
        if (bToolTakesIt && outcome.nSteps == 0 && outcome.nTable != outcome.nRows)
            strWrong += "the tool listed " + std::to_string(outcome.nTable) + " names, the " +
                        "enumeration " + std::to_string(outcome.nRows) + "; ";
    }
    if (!strWrong.empty()) {
        strWrong += "problems found by the check:";
        for (const std::string& strLine : vProblems)
            strWrong += "\n  " + strLine;
    }
    return strWrong;
}

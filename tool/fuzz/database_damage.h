// Whole databases damaged field by field, for the database fuzzer and for the test
// that replays the inputs it has found.
//
// Three small databases are made by the engine once: "three" (three names in a
// one-leaf name index, one of them with a file list two leaves long), "seventy"
// (seventy names: a name index of a root over four leaves) and "narrow" (a name
// field of 64 bytes, extra data, no hash and no comment stores). An input is one
// byte choosing the database, then operations of 8 bytes, each setting one field
// that matters in one of its files:
//
//   byte 0   the file: 0 adbinfo, 1-3 attname_db (bptinfo, index, leaf),
//            4 attinfo_db, 5-7 fidlists\1, 8-10 fidlists\2, then the other stores
//   byte 1   the field, by the kind of file (see database_damage.cpp): a parameter;
//            a header's orders, sizes, count, height, root or first leaf; a record
//            file's record size, record count or free list; a node's count, child
//            or chain link, parent, key or value length, key or value bytes
//   byte 2   the record (node) id, counted from 1 modulo the record count
//   byte 3   the slot (entry, child, free-list position or byte)
//   byte 4   how the value is made: 0, a small number, old plus or minus a step,
//            near 2^32, near 2^31, an id of the file, one bit flipped, raw
//   bytes 5-7  the number, step, bit or raw bits
//
// A run then opens the database and walks the enumeration, runs the integrity
// check, and runs the tool's steps 3 to 7. Damage may make any of them fail; none
// may crash, hang, or report success where its own check finds the data sound and
// something else failed, or list a different number of names than the index holds.
// Then "add", "link", "rename" and "merge" run on copies of the damaged database
// (database_writes.h): each must be refused or leave a database that checks clean
// and still holds every name and file id it held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CDamageRun {
public:
    // Makes the databases below strScratch, an existing empty directory in the
    // engine's form with a trailing "\". Throws when they cannot be made.
    explicit CDamageRun(const std::string& strScratch);
    ~CDamageRun();
    CDamageRun(const CDamageRun&) = delete;
    CDamageRun& operator=(const CDamageRun&) = delete;

    // Damages one database as the input says, runs everything on it and puts it
    // back. Returns "" or a description of what went wrong.
    std::string Run(const std::uint8_t* pInput, std::size_t cbInput);

    // Whether Run also adds, links, renames and merges on the damaged database
    // (database_writes.h); on unless turned off.
    void SetWrites(bool bWrites) { m_bWrites = bWrites; }

    // What the input does, one line per operation that changed a field.
    std::string Describe(const std::uint8_t* pInput, std::size_t cbInput);

    struct SFile;
    struct SBase;

private:
    static std::string Damage(const SBase& base, const std::uint8_t* pInput, std::size_t cbInput,
                              std::vector<std::string>* pvBytes, std::vector<bool>* pvChanged);

    std::vector<SBase*> m_vBases;
    bool m_bWrites = true;
};

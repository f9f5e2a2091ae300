// EDescription: the node of the support library's document trees. One class
// stands for every kind of node, told apart by its fields:
//
//   kind       tag name          text                            children
//   document   empty             unused                          top-level nodes
//   element    any but "!--"     unused                          its content
//   text       empty             one run of text                 none
//   comment    "!--"             the source from "!--" to "-->"  none
//
// A node owns its children (in document order) and its attributes (sorted by
// name, code unit by code unit, case-sensitive; values are kept as text). Nodes
// live on the library heap; a node handed to AppendChild or InsertChild belongs
// to its new parent. Integer values are stored as decimal text from -32768 to
// 32768 and otherwise as eight upper-case hexadecimal digits and "H" (with a "0"
// in front when the first digit is a letter), and read back with the library's
// number syntax.
//
// ReadDocument parses bytes in one of five encodings into the tree below a node;
// WriteDocument writes a subtree in the layout the desktop application reads.
// Both are bounded by kMaxDepth levels of elements, and so is every recursive
// walk of this class (copying, merging, writing); the destructor does not
// recurse at all.
//
// Nothing here throws; failed allocations leave the tree consistent and are
// reported by the results below. A tree must not be used by two threads at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "support/runtime/result.h"
#include "support/text/wide_string.h"
#include "support/xml/node_text.h"
#include "support/xml/ptr_array.h"

class EStreamBuffer;
class VOKFileObject;

class EDescription : public VOKObject {
    VOK_DECLARE_CLASS("EDescription", VOKObject)

public:
    // Levels of elements below the node a document is read into. Deeper input is
    // a syntax error; the writer, CopyFrom and MergeFrom refuse deeper trees, and
    // a walk over a tree read from a file may rely on it. The recursive walks
    // take at most 160 bytes a level (both compilers, unoptimised), so 1,000
    // levels need about 160 KiB: a small part of the 2 MiB that the 32-bit
    // Windows main thread reserves, the smallest stack they run on.
    enum { kMaxDepth = 1000 };

    // Encodings of ReadDocument and WriteDocument.
    enum { kShiftJis = 0, kUtf8 = 1, kIso2022Jp = 2, kEucJp = 3, kUtf16 = 4 };

    // Comparison for SortChildren: negative, 0 or positive as a sorts before, with
    // or after b. szAttribute is the one SortChildren was given (may be null).
    typedef int (*CompareProc)(const EDescription* a, const EDescription* b,
                               const char16_t* szAttribute);

    // Nodes of this class and its subclasses are carved by the reader's arena
    // while a document is read, and are blocks of the library heap otherwise;
    // either way each one is deleted on its own (see CNodeArena). Null when
    // memory runs out.
    static void* operator new(size_t cb) noexcept;
    static void* operator new(size_t, void* p) noexcept { return p; }
    static void operator delete(void* p) noexcept;
    static void operator delete(void*, void*) noexcept {}

    EDescription();
    // Destroys the children, last first, then the attributes, last first.
    ~EDescription() override;
    EDescription(const EDescription&) = delete;
    EDescription& operator=(const EDescription&) = delete;

    // A new empty node of this node's class, on the library heap; null when memory
    // runs out. The reader and the get-or-create operations make nodes here.
    virtual EDescription* CreateInstance();
    // Syntax errors and recoverable problems found by the reader, on the node
    // whose content is being parsed, as text in the system code page. Ignored
    // here; the result is not used.
    virtual int OnError(const char* szMessage);
    virtual int OnWarning(const char* szMessage);

    // The value read as a number and truncated to signed 32 bits; nDefault when
    // the attribute is absent or does not hold a number.
    virtual int GetIntAttribute(const char16_t* szName, int nDefault) const;
    virtual double GetRealAttribute(const char16_t* szName, double dDefault) const;
    // A new string on the library heap, owned by the caller: the value, else a
    // copy of szDefault (empty for null). Null only when memory runs out.
    virtual EWideString* GetStringAttribute(const char16_t* szName, const char16_t* szDefault) const;
    // Insert or replace; an existing entry keeps its place. Return 0, or 1 when
    // memory runs out (an existing value is then left as it was).
    virtual int SetIntAttribute(const char16_t* szName, int nValue);
    virtual int SetRealAttribute(const char16_t* szName, double dValue);
    // A null text stores an empty value.
    virtual int SetStringAttribute(const char16_t* szName, const char16_t* szText);

    // Fields.
    // The tag name, shared with the nodes of the same name read from one document
    // (an empty one is the one shared empty string); valid until this node's tag
    // name is next set or the node goes.
    const EWideString& GetTagName() const { return m_pTag != nullptr ? m_pTag->str : NoText(); }
    // A node that never stored a text (an element) gives the one shared empty
    // string; once a node has stored a text, it gives that node's own string
    // from then on, until the node goes.
    const EWideString& GetText() const { return m_pText != nullptr ? *m_pText : NoText(); }
    EDescription* GetParent() const { return m_pParent; }
    // Return 0, or 1 when memory runs out (unchanged then). A null text empties.
    int SetTagName(const char16_t* szName);
    int SetText(const char16_t* szText, int nCount = -1);

    // The text form SetIntAttribute stores for nValue.
    static EWideString FormatInteger(int nValue);

    // Attributes in sorted order. Out-of-range indexes give an empty string.
    int GetAttributeCount() const { return m_nAttributes; }
    const EWideString& GetAttributeNameAt(int nIndex) const;
    const EWideString& GetAttributeValueAt(int nIndex) const;
    // The index of the attribute, or -1.
    int FindAttribute(const char16_t* szName) const;
    // Stores nCount units of pText (-1: up to the terminator) as the value.
    int SetAttributeText(const char16_t* szName, const char16_t* pText, int nCount);
    void RemoveAttributeAt(int nIndex);
    void RemoveAttribute(const char16_t* szName);
    void RemoveAllAttributes();

    // Children.
    int GetChildCount() const { return m_vChildren.GetSize(); }
    // Null when nIndex is not below the count.
    EDescription* GetChildAt(unsigned nIndex) const;
    // Take ownership of pNode and set its parent. Return 0, or 1 when pNode is null
    // or memory runs out; on failure the caller keeps the node.
    int AppendChild(EDescription* pNode);
    // nIndex is clamped to 0..count.
    int InsertChild(int nIndex, EDescription* pNode);
    // Removes the child from the list and hands it to the caller (parent cleared);
    // null when out of range.
    EDescription* DetachChildAt(int nIndex);
    void DeleteChildAt(int nIndex);
    void DeleteAllChildren();

    // Tag searches compare ASCII letters without case; a null tag equals "".
    // The first child at or after nStart with that tag; *pNext (when given) gets
    // its index + 1, or -1 when there is none.
    EDescription* FindChild(int nStart, const char16_t* szTag, int* pNext = nullptr) const;
    int FindChildIndex(int nStart, const char16_t* szTag) const;
    // As FindChild, any tag when szTag is null; with szName and szValue given,
    // only a child whose attribute szName equals szValue exactly.
    EDescription* FindChildWithAttribute(int nStart, const char16_t* szName, const char16_t* szValue,
                                         const char16_t* szTag, int* pNext = nullptr) const;
    // The found child, else a new one with that tag, appended. Null when memory
    // runs out.
    EDescription* GetOrCreateChild(int nStart, const char16_t* szTag);
    // The text of the first child of the child szTag (of this node for null) when
    // that first child is a text node; szDefault otherwise.
    const char16_t* GetChildText(const char16_t* szTag, const char16_t* szDefault) const;
    // Gets or creates the child szTag (this node for null), gives it a text node as
    // first child when it has no children, and sets that node's text. Returns 0; 1
    // when its first child is not a text node (nothing changes) or memory runs out.
    int SetChildText(const char16_t* szTag, const char16_t* szText);

    // Paths of tag names separated by "\"; empty segments are skipped and each
    // segment selects the first child with that tag. FindPath gives null when one
    // is missing; CreatePath appends the missing ones (null when memory runs out).
    EDescription* FindPath(const char16_t* szPath) const;
    EDescription* CreatePath(const char16_t* szPath);

    // Named values of the node at a path. A value is the attribute szName of that
    // node or, when there is no such attribute, the text of its child szName. The
    // setters create the path and store an attribute, except that a value already
    // kept as a child's text stays there. Getters give the default when the path
    // or the value is missing (or is not a number, for integers and reals).
    EWideString GetPathString(const char16_t* szPath, const char16_t* szName, const char16_t* szDefault) const;
    int GetPathInteger(const char16_t* szPath, const char16_t* szName, int nDefault) const;
    double GetPathReal(const char16_t* szPath, const char16_t* szName, double dDefault) const;
    // Decodes Base64 text into pBuffer. Returns the number of bytes the value
    // holds (more than cbBuffer when it did not fit: nothing is written past
    // cbBuffer), or -1 when the value is missing or is not Base64.
    int GetPathBinary(const char16_t* szPath, const char16_t* szName, void* pBuffer, uint32_t cbBuffer) const;
    // Return 0, or 1 when memory runs out.
    int SetPathString(const char16_t* szPath, const char16_t* szName, const char16_t* szText);
    int SetPathInteger(const char16_t* szPath, const char16_t* szName, int nValue);
    int SetPathReal(const char16_t* szPath, const char16_t* szName, double dValue);
    int SetPathBinary(const char16_t* szPath, const char16_t* szName, const void* pData, uint32_t cbData);

    // Replaces tag, text, attributes and children with a deep copy of pSource's.
    // Returns 0, or 1 when memory runs out or pSource is deeper than kMaxDepth;
    // this node is then left without attributes and children.
    int CopyFrom(const EDescription* pSource);
    // Sets every attribute of pSource here, takes its text when it has one, and
    // merges each element child into the first child here with the same tag, or
    // appends a copy of it when there is none (text nodes and comments are always
    // appended). Returns 0, or 1 when memory runs out or pSource is too deep (the
    // merge may then be partial).
    int MergeFrom(const EDescription* pSource);
    // Stable sort of the children whose tag matches szTag (all for null) among
    // the places they hold; others keep theirs. pfnCompare null: the built-in
    // comparison of the attribute szAttribute (numbers numerically, before text;
    // text by code unit; a missing attribute first), or of the tag names when
    // szAttribute is null. Returns 0, or 1 when memory runs out (unchanged then).
    int SortChildren(const char16_t* szTag, const char16_t* szAttribute, CompareProc pfnCompare);

    // Reads every byte of pStream (the stream is empty afterwards) and replaces the
    // attributes and children of this node with what it parses; tag name and text
    // stay. nFlag 0 decodes attribute values with entities, 1 with backslash
    // escapes, 2 chooses 0 when the input opens with an XML declaration, else 1;
    // with 0 or 2 a declaration's encoding overrides nEncoding, and a declaration
    // in UTF-16 units selects encoding 4. Returns 0; 1 after a syntax error (nodes
    // parsed until then stay) or when memory runs out; kVokInvalidParameter for a
    // null stream; the message result "invalid encoding" when nEncoding is not
    // 0..4 (the tree is unchanged then).
    VOKRESULT ReadDocument(EStreamBuffer* pStream, int nFlag, int nEncoding);
    // Writes this node and its subtree to pFile, its own lines indented by nIndent
    // tabs, attribute values escaped with entities (nFlag 0) or backslashes (any
    // other value but 2); nFlag 2 writes the XML declaration first and then as 0.
    // In encoding 4 every line is UTF-16, the declaration included. Returns 0; 1
    // when the file took fewer bytes than offered, memory ran out or the tree is
    // deeper than kMaxDepth (what was written stays); kVokInvalidParameter for a
    // null file or an indent outside 0..kMaxDepth; the message result "invalid
    // encoding" for an encoding outside 0..4. Nothing is written in the last two
    // cases.
    VOKRESULT WriteDocument(VOKFileObject* pFile, int nIndent, int nFlag, int nEncoding) const;

private:
    struct Attribute;
    // The name of an attribute or a node's tag name: its text follows it. Names
    // are never changed in place, so the reader gives the attributes and tags of
    // one name the same one; each entry and node holds a reference. A shared name
    // is a block of CNodeArena that goes with its last reference; the name of an
    // attribute entry with a block of its own lies in that block, and has only
    // that entry. While its maker holds it open, the count stays above kOpenName
    // less the uses counted in nOpenUses, so that the entries and nodes taking it
    // need no shared count; closing it takes off kOpenName less those uses.
    struct Name {
        std::atomic<size_t> nRefs{0};
        size_t nOpenUses = 0;
        bool bShared = false;
        CNodeText str;
    };
    // An attribute to adopt: an open name (see NewName), and nRoom, units enough
    // for its value, which the adopter's PutValueProc writes (see AdoptAttributes).
    struct AttributeText {
        Name* pName;
        size_t nRoom;
        size_t nIndex;
    };
    // Writes the value of the attribute nIndex of the adopter at q, in at most the
    // nRoom units of its AttributeText, without terminator. Returns the units
    // written, or -1 when the value cannot be made (memory ran out, or it is longer
    // than a string can be).
    typedef long long (*PutValueProc)(void* pContext, size_t nIndex, char16_t* q);
    // A new shared name of n units at p, from the reader's arena while there is
    // one; null when memory runs out. The name is open: its maker holds it, and
    // the entries that take it are counted without a shared count (AdoptAttributes
    // does) until the maker closes it. Only the maker's thread takes it then.
    static Name* NewName(const char16_t* p, int n);
    // The maker lets go; the name goes now when no entry took it, else with the
    // last entry that did.
    static void CloseName(Name* pName);
    // Makes the open name pOpen (see NewName) the tag name, on the maker's thread.
    void TakeOpenTag(Name* pOpen);
    // Drops an entry's or a node's reference.
    static void ReleaseName(Name* pName);
    static const EWideString& NameText(const Name* pName);
    template <typename T>
    friend class CDocumentReader;
    friend class CDocumentWriter;

    Attribute* AttributeAt(int nIndex) const;
    // The entries the reader put in m_pAttributeBlock, first in the block.
    Attribute* BlockEntries() const;
    static const EWideString& NoText();
    // Stores nCount units of pText as the text; false when memory runs out
    // (unchanged then).
    bool StoreText(const char16_t* pText, int nCount);
    // Binary search: the index of szName (nCount units), or -(insertion point) - 1.
    int SearchAttribute(const char16_t* szName, int nCount) const;
    // Stores nCount units of pText as the value of the attribute szName (nNameCount
    // units); an existing value stays when the new one cannot be stored.
    int StoreAttribute(const char16_t* szName, int nNameCount, const char16_t* pText, int nCount);
    // Inserts pEntry at nIndex of the list; false when memory runs out.
    bool InsertAttribute(int nIndex, Attribute* pEntry);
    // Gives a node without attributes the n attributes of a, sorted by name with
    // no name twice, all in one block, each value written straight into its place
    // by pfnPut. False when memory runs out or a value cannot be made (no change).
    bool AdoptAttributes(const AttributeText* a, int n, PutValueProc pfnPut, void* pContext);
    // Destroys an entry of this node that has left its list (or never joined it).
    void DestroyAttribute(Attribute* pEntry);
    bool InBlock(const Attribute* pEntry) const;
    // Whether a text still lies in the room its owner lent it (see CNodeText).
    bool ValueLent(const Attribute* pEntry) const;
    bool TextLent() const;
    const EWideString* FindValue(const char16_t* szName) const;
    int CopyAt(const EDescription* pSource, int nDepth);
    int MergeAt(const EDescription* pSource, int nDepth);

    EDescription* m_pParent = nullptr;
    // The tag name; null for an empty one (text nodes and documents).
    Name* m_pTag = nullptr;
    // The text, made by the first text stored that is not empty, in one block
    // with its units while it keeps its size. Most nodes are elements, which
    // have none.
    CNodeText* m_pText = nullptr;
    // The attributes, sorted by name: m_nAttributes entries in a list with room
    // for m_nAttributeRoom. The entries the reader made lie in m_pAttributeBlock
    // (a block of CNodeArena) with their texts, and while the node has no list
    // (m_ppAttributes null) they are the list themselves, in order; a list made
    // later and entries added later have blocks of their own.
    Attribute** m_ppAttributes = nullptr;
    int m_nAttributes = 0;
    int m_nAttributeRoom = 0;
    void* m_pAttributeBlock = nullptr;
    // The entries in m_pAttributeBlock, and the units of the texts that follow
    // them there: a value outside those has moved to a buffer of its own.
    int m_nBlockAttributes = 0;
    uint32_t m_nBlockUnits = 0;
    CPtrList m_vChildren;
};

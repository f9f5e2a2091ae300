// Bringing the attribute-view tree into line with the database. An entry is an
// element: a category ("category" non-zero) holds entries again; any other
// element is an item whose "id_att" is rewritten from the attribute table, or
// from the database, which registers names it lacks. Comments and text are not
// entries: they are kept and written back unchanged.
#pragma once

#include <cstdint>
#include <functional>

#include "engine/database/adb.h"
#include "support/xml/description.h"
#include "reconcile/att_table.h"

// The first element among the children of the document node, or null.
EDescription* FirstElement(const EDescription& document);

// What the reconciliation decides for one item: the id it gets.
struct SItemDecision {
    EDescription* pItem;
    const char* szName;   // the item's name in the code page; valid during the call
    bool bHadId;          // the item holds an "id_att"
    int nOldId;           // that id, 0 when it holds none
    std::uint32_t nId;    // the id it gets
};

// Gives the id of szName, a name the table does not hold: 0 with the id in *pnId,
// or nonzero when the name is refused (the item then keeps its old id).
typedef std::function<int(const char* szName, std::uint32_t* pnId)> NameResolver;

// Decides every item below pTag in document order and hands each decision to
// decided: a name found in the table takes its id and leaves the table; any other
// name gets its id from resolve. The tree is not changed. Throws the engine's
// exception when a name cannot be converted; lets through what the callbacks throw.
void DecideItems(AttTable* pTable, EDescription* pTag, const NameResolver& resolve,
                 const std::function<void(const SItemDecision&)>& decided);

// Rewrites "id_att" of every item below pTag, printing "*" per item written.
// Each name found in the table takes its id and leaves the table; any other name
// is registered (or found) with AddAtt. A name the database refuses leaves its
// item as it was. Throws the engine's exception when the database fails.
void UpdateItems(velk::CADB* pDatabase, AttTable* pTable, EDescription* pTag);

// Appends to pTop one category holding an item per table entry, in table order,
// and prints a line per entry. Returns false when memory runs out.
bool AppendMissing(const AttTable& table, EDescription* pTop);

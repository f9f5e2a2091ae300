// Bringing the attribute-view tree into line with the database. An entry is an
// element: a category ("category" non-zero) holds entries again; any other
// element is an item whose "id_att" is rewritten from the attribute table, or
// from the database, which registers names it lacks. Comments and text are not
// entries: they are kept and written back unchanged.
#pragma once

#include "engine/database/adb.h"
#include "support/xml/description.h"
#include "reconcile/att_table.h"

// The first element among the children of the document node, or null.
EDescription* FirstElement(const EDescription& document);

// Rewrites "id_att" of every item below pTag, printing "*" per item written.
// Each name found in the table takes its id and leaves the table; any other name
// is registered (or found) with AddAtt. A name the database refuses leaves its
// item as it was. Throws the engine's exception when the database fails.
void UpdateItems(velk::CADB* pDatabase, AttTable* pTable, EDescription* pTag);

// Appends to pTop one category holding an item per table entry, in table order,
// and prints a line per entry. Returns false when memory runs out.
bool AppendMissing(const AttTable& table, EDescription* pTop);

#include "reconcile/reconcile.h"

#include "engine/base/fault.h"
#include "platform/console.h"
#include "support/text/string.h"
#include "support/text/wide_string.h"

namespace {

bool IsElement(const EDescription* pNode)
{
    const EWideString& tag = pNode->GetTagName();
    const char16_t* p = tag.GetText();
    const bool bComment = tag.GetLength() == 3 && p[0] == u'!' && p[1] == u'-' && p[2] == u'-';
    return tag.GetLength() > 0 && !bComment;
}

// A new "item" node with the attributes set by pfn; null when memory runs out.
template <class F>
EDescription* NewItem(F pfn)
{
    EDescription* pItem = new EDescription();  // the library heap: null when it is exhausted
    if (pItem == nullptr)
        return nullptr;
    if (pItem->SetTagName(u"item") != 0 || !pfn(pItem)) {
        delete pItem;
        return nullptr;
    }
    return pItem;
}

}  // namespace

EDescription* FirstElement(const EDescription& document)
{
    for (int i = 0; i < document.GetChildCount(); ++i) {
        EDescription* pChild = document.GetChildAt(static_cast<unsigned>(i));
        if (pChild != nullptr && IsElement(pChild))
            return pChild;
    }
    return nullptr;
}

void DecideItems(AttTable* pTable, EDescription* pTag, const NameResolver& resolve,
                 const std::function<void(const SItemDecision&)>& decided)
{
    for (int i = 0; i < pTag->GetChildCount(); ++i) {
        EDescription* pChild = pTag->GetChildAt(static_cast<unsigned>(i));
        if (pChild == nullptr || !IsElement(pChild))
            continue;
        if (pChild->GetIntAttribute(u"category", 0) != 0) {
            DecideItems(pTable, pChild, resolve, decided);
            continue;
        }
        // The name as the tree holds it (no copy that memory running out could
        // leave empty): an empty name in its place would be registered.
        const int nName = pChild->FindAttribute(u"name");
        const EWideString empty;
        const EWideString& wideName = nName >= 0 ? pChild->GetAttributeValueAt(nName) : empty;
        const EString name(wideName);
        if (wideName.GetLength() > 0 && name.GetLength() == 0)
            velk::ThrowFault();

        std::uint32_t nId = 0;
        const auto it = pTable->find(name.GetText());
        if (it != pTable->end()) {
            nId = it->second.first;
            pTable->erase(it);
        } else if (resolve(name.GetText(), &nId) != 0) {
            continue;  // refused: the item keeps its old id
        }
        const bool bHadId = pChild->FindAttribute(u"id_att") >= 0;
        decided({pChild, name.GetText(), bHadId, bHadId ? pChild->GetIntAttribute(u"id_att", 0) : 0,
                 nId});
    }
}

void UpdateItems(velk::CADB* pDatabase, AttTable* pTable, EDescription* pTag)
{
    DecideItems(
        pTable, pTag,
        [pDatabase](const char* szName, std::uint32_t* pnId) {
            return pDatabase->AddAtt(szName, pnId) & 1;
        },
        [](const SItemDecision& decision) {
            if (decision.pItem->SetIntAttribute(u"id_att", static_cast<int>(decision.nId)) != 0)
                velk::ThrowFault();
            platform::ConsoleWrite("*");
        });
}

bool AppendMissing(const AttTable& table, EDescription* pTop)
{
    platform::ConsoleWrite("属性DBには登録されているのに属性ビュー情報にはなかった属性をツリーに追加\n");
    const EWideString caption("属性DBには登録されているのに属性ビュー情報にはなかった属性", -1);
    // A conversion that ran out of memory leaves the text empty: never written so.
    if (caption.GetLength() == 0)
        return false;
    EDescription* pCategory = NewItem([&](EDescription* p) {
        return p->SetIntAttribute(u"category", 1) == 0 &&
               p->SetStringAttribute(u"name", caption.GetText()) == 0 &&
               p->SetIntAttribute(u"icon", 0) == 0 && p->SetIntAttribute(u"expanded", 1) == 0 &&
               p->SetIntAttribute(u"label", -1) == 0;
    });
    if (pCategory == nullptr || pTop->AppendChild(pCategory) != 0) {
        delete pCategory;
        return false;
    }
    for (const auto& entry : table) {
        platform::ConsolePrintf("    %s\n", entry.first.c_str());
        const EWideString name(entry.first.c_str(), -1);
        if (!entry.first.empty() && name.GetLength() == 0)
            return false;
        EDescription* pItem = NewItem([&](EDescription* p) {
            return p->SetIntAttribute(u"category", 0) == 0 &&
                   p->SetStringAttribute(u"name", name.GetText()) == 0 &&
                   p->SetIntAttribute(u"icon", 1) == 0 &&
                   p->SetIntAttribute(u"id_att", static_cast<int>(entry.second.first)) == 0 &&
                   p->SetIntAttribute(u"ref_count", entry.second.second) == 0;
        });
        if (pItem == nullptr || pCategory->AppendChild(pItem) != 0) {
            delete pItem;
            return false;
        }
    }
    return true;
}

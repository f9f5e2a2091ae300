#include "support/runtime/object.h"

#include <cstring>

#include "support/runtime/heap.h"

extern "C" void* vokAllocate(size_t cb)
{
    return vokHeapAllocate(nullptr, cb, 0);
}

extern "C" void vokFree(void* p)
{
    vokHeapFree(nullptr, p, 0);
}

bool VokSameName(const char* szA, const char* szB)
{
    return szA != nullptr && szB != nullptr && std::strcmp(szA, szB) == 0;
}

const char* VOKObject::GetClassName() const
{
    return "VOKObject";
}

int VOKObject::IsKindOf(const char* szName) const
{
    return VokSameName(szName, "VOKObject") ? 1 : 0;
}

VOKObject* VOKObject::DynamicCast(const char* szName)
{
    return VokSameName(szName, "VOKObject") ? this : nullptr;
}

bool VOKObject::IsSameClass(const VOKObject* pOther) const
{
    return pOther != nullptr && VokSameName(GetClassName(), pOther->GetClassName());
}

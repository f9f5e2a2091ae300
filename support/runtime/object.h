// VOKObject, the root of the support library's classes, with its name-based type
// system: every class with a name of its own answers GetClassName, IsKindOf and
// DynamicCast for that name and asks its base for any other. Library objects are
// allocated from the library's global heap; their operator new returns null when
// the heap is exhausted (the library never throws).
#pragma once

#include <cstddef>

// The library's allocation and free functions: the global heap, no flags.
extern "C" void* vokAllocate(size_t cb);
extern "C" void vokFree(void* p);

class VOKObject {
public:
    VOKObject() = default;
    virtual ~VOKObject() = default;

    // The class name, a constant text.
    virtual const char* GetClassName() const;
    // Nonzero when szName is the name of this object's class or of one of its bases
    // (compared byte by byte, case-sensitive).
    virtual int IsKindOf(const char* szName) const;
    // This object when IsKindOf(szName) holds, else null.
    virtual VOKObject* DynamicCast(const char* szName);

    // True when both objects report the same class name.
    bool IsSameClass(const VOKObject* pOther) const;

    static void* operator new(size_t cb) noexcept { return vokAllocate(cb); }
    static void* operator new[](size_t cb) noexcept { return vokAllocate(cb); }
    static void* operator new(size_t, void* p) noexcept { return p; }
    static void operator delete(void* p) noexcept { vokFree(p); }
    static void operator delete[](void* p) noexcept { vokFree(p); }
    static void operator delete(void*, void*) noexcept {}

protected:
    VOKObject(const VOKObject&) = default;
    VOKObject& operator=(const VOKObject&) = default;
};

// Exact comparison of two class names; a null name equals nothing.
bool VokSameName(const char* szA, const char* szB);

// Declares the three type queries of a class named szName whose base is Base:
//   class EString : public EStringBase {
//       VOK_DECLARE_CLASS("EString", EStringBase)
//       ...
#define VOK_DECLARE_CLASS(szName, Base)                                              \
public:                                                                              \
    const char* GetClassName() const override { return szName; }                     \
    int IsKindOf(const char* szOther) const override                                 \
    {                                                                                \
        return VokSameName(szOther, szName) ? 1 : Base::IsKindOf(szOther);           \
    }                                                                                \
    VOKObject* DynamicCast(const char* szOther) override                             \
    {                                                                                \
        return VokSameName(szOther, szName) ? this : Base::DynamicCast(szOther);     \
    }

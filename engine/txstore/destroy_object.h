// The common root of the objects that the store's factories hand out (contexts and
// files), and DestroyObject, the one deleter that disposes of them. Keeping a single
// root lets a context hold "its deleter" as one function pointer, whatever kind of
// object it later hands to it.
#pragma once

namespace velk {

// Root of every context and file object of the store. Its only member is the virtual
// destructor, so deleting through any interface reaches the concrete class.
class CStoreObject {
public:
    virtual ~CStoreObject() {}
};

// A deleter as the contexts keep it.
typedef void (*PFNDESTROYOBJECT)(CStoreObject* pObject);

// Destroys pObject through its virtual destructor; does nothing for null. Never
// throws (destructors of the store never do). Any thread may call it for an object
// no other thread is using.
void DestroyObject(CStoreObject* pObject);

}  // namespace velk

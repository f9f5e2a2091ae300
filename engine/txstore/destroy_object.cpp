#include "engine/txstore/destroy_object.h"

namespace velk {

void DestroyObject(CStoreObject* pObject)
{
    delete pObject;
}

}  // namespace velk

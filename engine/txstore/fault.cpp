#include "engine/txstore/fault.h"

namespace velk {

void ThrowFault()
{
    throw CFault();
}

}  // namespace velk

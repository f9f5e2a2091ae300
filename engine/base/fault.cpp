#include "engine/base/fault.h"

namespace velk {

void ThrowFault()
{
    throw CFault();
}

}  // namespace velk

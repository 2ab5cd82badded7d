#include "binding_detail/KeyRegistry.h"

namespace corvaxis {

std::vector<std::string>& KeyRegistry::getRegistry()
{
    // A function-local static rather than a namespace-scope one: the units that register keys
    // run their initialisers in no guaranteed order relative to this unit.
    static std::vector<std::string> registry;
    return registry;
}

}  // namespace corvaxis

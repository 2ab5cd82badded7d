#pragma once

#include <string>
#include <vector>

namespace corvaxis {

/// Process-wide list of the well-known data key texts, filled by static initialisers at load time.
class KeyRegistry {
public:
    /// Created empty on first use; safe to call from any static initialiser.
    static std::vector<std::string>& getRegistry();
};

}  // namespace corvaxis

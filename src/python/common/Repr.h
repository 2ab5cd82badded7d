#pragma once

#include "corvaxis/core/Data.h"

#include <fmt/format.h>

#include <string>

namespace corvaxis::python {

/// The tail of a data object's representation: its name, when it has one.
inline std::string nameSuffix(const Data& data)
{
    return data.name().empty() ? std::string() : fmt::format(", name='{}'", data.name());
}

}  // namespace corvaxis::python

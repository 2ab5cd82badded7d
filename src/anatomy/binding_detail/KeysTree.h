#pragma once

namespace corvaxis::binding_detail {

/// Builds the submodule tree `corvaxis.keys` from the key registry: one module per key component,
/// named in snake_case, each holding its key text in the attribute `key`.
/// Python errors propagate as pybind11::error_already_set.
void bindKeys();

}  // namespace corvaxis::binding_detail

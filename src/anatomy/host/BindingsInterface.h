#pragma once

namespace PySDKDevTools {

/// One unit of a module's Python definitions. Bindings objects are created on the heap, kept in a
/// list of exclusive owners, run in list order and destroyed through this interface.
class BindingsInterface {
public:
    virtual ~BindingsInterface() = default;
    virtual void bind() = 0;
};

}  // namespace PySDKDevTools

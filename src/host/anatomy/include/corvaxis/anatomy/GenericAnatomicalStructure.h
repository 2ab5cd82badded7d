#pragma once

#include "corvaxis/anatomy/AnatomicalStructure.h"
#include "corvaxis/core/Signal.h"

#include <memory>
#include <string>

namespace corvaxis {

/// A structure of no particular anatomy: an identifier chosen by its user, nothing else.
class GenericAnatomicalStructure : public AnatomicalStructure {
public:
    explicit GenericAnatomicalStructure(std::string identifier = {}, bool is2D = false);
    ~GenericAnatomicalStructure() override;

    std::string identifier() const override { return m_identifier; }
    /// Assigns the identifier; emits signalModified afterwards only when it differs from the old one.
    void setIdentifier(std::string identifier);

    std::unique_ptr<AnatomicalStructure> clone() const override;

    /// Emitted after the structure was modified (a changed identifier).
    SignalImpl<> signalModified;

private:
    std::string m_identifier;
};

}  // namespace corvaxis

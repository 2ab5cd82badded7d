#include "corvaxis/core/Parameter.h"

#include "corvaxis/core/Log.h"

#include <algorithm>
#include <stdexcept>

namespace corvaxis {

ParameterBase::ParameterBase(std::string name, Configurable* owner) : m_name(std::move(name))
{
    if (owner)
        owner->registerParameter(this);
}

ParameterBase::ParameterBase(const ParameterBase& other)
    : deprecatedNames(other.deprecatedNames), attributes(other.attributes), m_name(other.m_name)
{
}

ParameterBase& ParameterBase::operator=(const ParameterBase& other)
{
    deprecatedNames = other.deprecatedNames;
    attributes = other.attributes;
    return *this;
}

ParameterBase::~ParameterBase()
{
    if (m_owner)
        m_owner->unregisterParameter(this);
}

void ParameterBase::logDeprecatedName(const std::string& alternative) const
{
    Log::logIfAccepted(Log::Warning, "Core.Parameter", [&] {
        return "Using deprecated parameter name '" + alternative + "'. Please use: '" + m_name + "' instead.";
    });
}

void ParameterBase::checkChangeAllowed() const
{
    if (m_owner)
        m_owner->checkParameterChange(*this);
}

void ParameterBase::refuse(const std::string& requirement, const std::string& value) const
{
    throw std::invalid_argument("parameter '" + m_name + "' must be " + requirement + ", not " + value);
}

std::string ParameterBase::quoted(const std::string& value)
{
    std::string result = "'";
    for (const char c : value)
        result += c == '\0' ? std::string("\\0") : std::string(1, c);
    return result + "'";
}

void ParameterBase::setParentFromCopy(Configurable* owner)
{
    if (m_owner)
        m_owner->unregisterParameter(this);
    if (owner)
        owner->registerParameter(this);
}

Configurable::~Configurable()
{
    // Parameters that outlive their owner (members are destroyed after this) must not call back.
    for (ParameterBase* parameter : m_parameters)
        parameter->m_owner = nullptr;
}

void Configurable::registerParameter(ParameterBase* parameter)
{
    if (parameter->m_owner == this)
        return;
    if (parameter->m_owner)
        parameter->m_owner->unregisterParameter(parameter);
    parameter->m_owner = this;
    m_parameters.push_back(parameter);
}

void Configurable::unregisterParameter(ParameterBase* parameter)
{
    if (std::erase(m_parameters, parameter) > 0)
        parameter->m_owner = nullptr;
}

ParameterBase* Configurable::parameter(const std::string& name) const
{
    auto it = std::find_if(m_parameters.begin(), m_parameters.end(),
                           [&](const ParameterBase* p) { return p->name() == name; });
    return it == m_parameters.end() ? nullptr : *it;
}

void Configurable::configure(const Properties* properties)
{
    if (!properties)
        return;
    for (ParameterBase* parameter : m_parameters)
        parameter->configure(*properties);
}

void Configurable::configuration(Properties* properties) const
{
    if (!properties)
        return;
    for (const ParameterBase* parameter : m_parameters)
        parameter->configuration(*properties);
}

void Configurable::configureDefaults()
{
    for (ParameterBase* parameter : m_parameters)
        parameter->resetToDefault();
}

}  // namespace corvaxis

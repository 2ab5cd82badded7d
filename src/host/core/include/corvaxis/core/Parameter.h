#pragma once

#include "corvaxis/core/Properties.h"
#include "corvaxis/core/Signal.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvaxis {

class Configurable;

/// A named value registered with its owner. The change signal fires only when the value changes.
class ParameterBase {
public:
    ParameterBase(std::string name, Configurable* owner);
    /// A copy belongs to nobody until its new owner adopts it with setParentFromCopy.
    ParameterBase(const ParameterBase& other);
    ParameterBase& operator=(const ParameterBase& other);
    virtual ~ParameterBase();

    const std::string& name() const { return m_name; }
    Configurable* owner() const { return m_owner; }
    void setParentFromCopy(Configurable* owner);

    /// Older names still read by configure, tried in order after the current name.
    std::vector<std::string> deprecatedNames;
    Properties::Attributes attributes;
    SignalImpl<const ParameterBase*> signalChanged;

    virtual void configure(const Properties& properties) = 0;
    virtual void configuration(Properties& properties) const = 0;
    virtual void resetToDefault() = 0;

protected:
    /// Tells the user that a configuration still uses an older name of this parameter.
    void logDeprecatedName(const std::string& alternative) const;

private:
    friend class Configurable;
    std::string m_name;
    Configurable* m_owner = nullptr;
};

template <typename T>
class Parameter : public ParameterBase {
public:
    Parameter(std::string name, T value, Configurable* owner)
        : ParameterBase(std::move(name), owner), m_value(value), m_default(std::move(value))
    {
    }
    Parameter(const Parameter&) = default;
    Parameter& operator=(const Parameter& other)
    {
        setValue(other.m_value);
        return *this;
    }
    Parameter& operator=(const T& value)
    {
        setValue(value);
        return *this;
    }

    const T& value() const { return m_value; }
    operator const T&() const { return m_value; }
    const T& defaultValue() const { return m_default; }

    void setValue(const T& value)
    {
        if (value == m_value)
            return;
        m_value = value;
        signalChanged.emitSignal(this);
    }

    void configure(const Properties& properties) override
    {
        T read{};
        if (properties.param(name(), read)) {
            setValue(read);
            return;
        }
        for (const std::string& alternative : deprecatedNames)
            if (properties.param(alternative, read)) {
                setValue(read);
                logDeprecatedName(alternative);
                return;
            }
    }

    void configuration(Properties& properties) const override
    {
        properties.setParam(name(), Properties::Value(m_value), Properties::Value(m_default));
        properties.setParamAttributes(name(), attributes);
    }

    void resetToDefault() override { setValue(m_default); }

private:
    T m_value;
    T m_default;
};

/// Owner of parameters: configures them from, and saves them to, a Properties tree.
class Configurable {
public:
    Configurable() = default;
    /// Parameters are members of the derived class; its copy constructor adopts its copies.
    Configurable(const Configurable&) {}
    Configurable& operator=(const Configurable&) { return *this; }
    virtual ~Configurable();

    void registerParameter(ParameterBase* parameter);
    void unregisterParameter(ParameterBase* parameter);
    const std::vector<ParameterBase*>& parameters() const { return m_parameters; }
    ParameterBase* parameter(const std::string& name) const;

    virtual void configure(const Properties* properties);
    virtual void configuration(Properties* properties) const;
    virtual void configureDefaults();

private:
    std::vector<ParameterBase*> m_parameters;
};

}  // namespace corvaxis

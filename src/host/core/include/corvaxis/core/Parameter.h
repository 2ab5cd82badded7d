#pragma once

#include "corvaxis/core/Properties.h"
#include "corvaxis/core/Signal.h"

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
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

/// An enumeration parameter: the value is held and stored as a 32-bit integer, so that a stored
/// value outside the enumeration's range still loads (it is not validated), and a type code tells
/// readers which enumeration an integer entry belongs to.
template <typename E>
    requires std::is_enum_v<E>
class Parameter<E> : public ParameterBase {
public:
    Parameter(std::string name, E value, Configurable* owner, unsigned typeCode = 0)
        : ParameterBase(std::move(name), owner), m_value(static_cast<std::int32_t>(value)),
          m_default(static_cast<std::int32_t>(value)), m_hasDefault(true), m_typeCode(typeCode)
    {
    }
    Parameter(const Parameter&) = default;
    Parameter& operator=(const Parameter& other)
    {
        setRawValue(other.m_value);
        return *this;
    }
    Parameter& operator=(E value)
    {
        setValue(value);
        return *this;
    }

    E value() const { return static_cast<E>(m_value); }
    operator E() const { return value(); }
    E defaultValue() const { return static_cast<E>(m_default); }
    std::int32_t rawValue() const { return m_value; }
    unsigned typeCode() const { return m_typeCode; }

    void setValue(E value) { setRawValue(static_cast<std::int32_t>(value)); }
    void setRawValue(std::int32_t value)
    {
        if (value == m_value)
            return;
        m_value = value;
        signalChanged.emitSignal(this);
    }

    void configure(const Properties& properties) override
    {
        int read = 0;
        if (properties.param(name(), read)) {
            setRawValue(read);
            return;
        }
        for (const std::string& alternative : deprecatedNames)
            if (properties.param(alternative, read)) {
                setRawValue(read);
                logDeprecatedName(alternative);
                return;
            }
    }

    void configuration(Properties& properties) const override
    {
        if (m_hasDefault)
            properties.setParam(name(), Properties::Value(int(m_value)), Properties::Value(int(m_default)));
        else
            properties.setParam(name(), Properties::Value(int(m_value)));
        if (m_typeCode != 0)
            properties.setParamType(name(), m_typeCode);
        properties.setParamAttributes(name(), attributes);
    }

    void resetToDefault() override
    {
        if (m_hasDefault)
            setRawValue(m_default);
    }

private:
    std::int32_t m_value;
    std::int32_t m_default;
    bool m_hasDefault;
    unsigned m_typeCode;
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

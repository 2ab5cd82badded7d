#pragma once

#include "corvaxis/core/Properties.h"
#include "corvaxis/core/Signal.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <initializer_list>
#include <optional>
#include <sstream>
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
    /// Asks the owner whether the value may change now (an algorithm refuses while it computes).
    void checkChangeAllowed() const;
    /// Throws std::invalid_argument "parameter '<name>' must be <requirement>, not <value>".
    [[noreturn]] void refuse(const std::string& requirement, const std::string& value) const;

    template <typename Number>
    static std::string text(Number value)
    {
        std::ostringstream stream;
        stream << value;
        return stream.str();
    }
    /// A text in single quotes, NUL characters written as \0.
    static std::string quoted(const std::string& value);

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

    /// From then on a value that accepts() refuses (std::invalid_argument "parameter '<name>'
    /// must be <requirement>, not <value>"), so that a wrong value fails where it is assigned
    /// rather than in a compute. The current value must be accepted.
    void setRequirement(std::string requirement, std::function<bool(const T&)> accepts)
    {
        m_requirement = std::move(requirement);
        m_accepts = std::move(accepts);
    }
    /// A range requirement, [lowest, highest] (NaN is refused); `requirement` words it when the
    /// bounds alone would read badly ("positive").
    void setRange(T lowest, T highest, std::string requirement = {})
        requires std::is_arithmetic_v<T>
    {
        if (requirement.empty()) {
            const bool unbounded = highest == std::numeric_limits<T>::max() ||
                                   (std::numeric_limits<T>::has_infinity && highest == std::numeric_limits<T>::infinity());
            requirement = unbounded ? "at least " + text(lowest) : "from " + text(lowest) + " to " + text(highest);
        }
        setRequirement(std::move(requirement), [lowest, highest](const T& value) { return value >= lowest && value <= highest; });
    }
    /// Why a value is refused; nothing when it is accepted.
    std::optional<std::string> refusal(const T& value) const
    {
        if (m_accepts && !m_accepts(value))
            return m_requirement;
        return std::nullopt;
    }

    void setValue(const T& value)
    {
        if (const std::optional<std::string> requirement = refusal(value))
            refuse(*requirement, valueText(value));
        if (value == m_value)
            return;
        checkChangeAllowed();
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
    static std::string valueText(const T& value)
    {
        if constexpr (std::is_arithmetic_v<T>)
            return text(value);
        else if constexpr (std::is_same_v<T, std::string>)
            return quoted(value);
        else
            return "the value given";
    }

    T m_value;
    T m_default;
    std::string m_requirement;
    std::function<bool(const T&)> m_accepts;
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
        if (const std::optional<std::string> requirement = refusal(value))
            refuse(*requirement, text(value));
        if (value == m_value)
            return;
        checkChangeAllowed();
        m_value = value;
        signalChanged.emitSignal(this);
    }

    /// Only these values are accepted from then on (std::invalid_argument otherwise). Without
    /// it any integer is taken, as stored files of older versions may hold.
    void setAllowedValues(std::initializer_list<E> values)
    {
        m_allowed.clear();
        for (const E value : values)
            m_allowed.push_back(static_cast<std::int32_t>(value));
    }
    /// Why a value is refused; nothing when it is accepted.
    std::optional<std::string> refusal(std::int32_t value) const
    {
        if (m_allowed.empty() || std::ranges::find(m_allowed, value) != m_allowed.end())
            return std::nullopt;
        std::string requirement = "one of";
        for (std::size_t i = 0; i < m_allowed.size(); ++i)
            requirement += (i == 0 ? " " : ", ") + text(m_allowed[i]);
        return requirement;
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
    std::vector<std::int32_t> m_allowed;
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

protected:
    friend class ParameterBase;
    /// Called before one of this owner's parameters takes a new value; throws to refuse it.
    virtual void checkParameterChange(const ParameterBase&) const {}

private:
    std::vector<ParameterBase*> m_parameters;
};

}  // namespace corvaxis

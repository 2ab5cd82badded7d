#pragma once

#include "corvaxis/core/Types.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace corvaxis {

/// A tree of named, typed values with named sub-blocks.
///
/// Values keep their insertion order; a name is unique among the values of one block. Sub-blocks
/// may share a name and keep their order. Each value may carry a declared type code, a default
/// and attributes (text to text); the block carries attributes of its own. Copies are deep.
class Properties {
public:
    using Value = std::variant<bool, int, double, std::string, Vec2, Vec3, Vec4, Mat4>;
    using Attributes = std::map<std::string, std::string>;

    /// Type codes, in the order of the alternatives of Value.
    enum class Type : unsigned { Bool = 1, Int, Double, String, Vec2, Vec3, Vec4, Mat4 };

    struct Param {
        std::string name;
        Value value;
        std::optional<Value> defaultValue;
        unsigned type = 0;  // 0: none declared
        Attributes attributes;
        bool operator==(const Param&) const = default;
    };

    explicit Properties(std::string name = {});
    Properties(const Properties& other);
    Properties(Properties&& other) noexcept = default;
    Properties& operator=(const Properties& other);
    Properties& operator=(Properties&& other) noexcept = default;
    ~Properties();

    const std::string& name() const { return m_name; }
    void setName(std::string name) { m_name = std::move(name); }

    bool hasParam(const std::string& name) const { return find(name) != nullptr; }
    const Param* find(const std::string& name) const;
    const std::vector<Param>& params() const { return m_params; }
    std::vector<std::string> paramNames() const;
    bool removeParam(const std::string& name);

    /// Reads a value into out and tells whether the name exists with a value convertible to T.
    /// Numbers convert among bool, int and double; text and vectors must match exactly.
    template <typename T>
    bool param(const std::string& name, T& out) const;

    /// Sets a value (and optionally its default); the declared type, if any, is kept.
    void setParam(const std::string& name, Value value);
    void setParam(const std::string& name, Value value, Value defaultValue);
    /// Text is stored as a string. A template, so that the literal 0 still means the int 0 and
    /// not a null text.
    template <typename Text>
        requires std::is_same_v<std::decay_t<Text>, const char*> || std::is_same_v<std::decay_t<Text>, char*>
    void setParam(const std::string& name, Text&& text)
    {
        setParam(name, Value(std::string(text)));
    }

    void setParamType(const std::string& name, unsigned type);
    void setParamAttributes(const std::string& name, Attributes attributes);
    const Attributes* paramAttributes(const std::string& name) const;

    void setAttributes(Attributes attributes) { m_attributes = std::move(attributes); }
    const Attributes& attributes() const { return m_attributes; }

    /// Appends a sub-block and returns it; it lives as long as this block keeps it.
    Properties* addSubProperties(const std::string& name);
    Properties* addSubProperties(const Properties& block);
    Properties* addSubProperties(Properties&& block);
    std::vector<Properties*> subPropertiesAll(const std::string& name);
    std::vector<const Properties*> subPropertiesAll(const std::string& name) const;
    std::vector<const Properties*> subProperties() const;
    /// Removes and destroys the given sub-block; false when it is not a direct child.
    bool deleteSubProperty(const Properties* block);

    bool empty() const { return m_params.empty() && m_subProperties.empty() && m_attributes.empty(); }
    bool operator==(const Properties& other) const;

private:
    Param* findMutable(const std::string& name);
    static bool convert(const Value& value, bool& out);
    static bool convert(const Value& value, int& out);
    static bool convert(const Value& value, double& out);
    template <typename T>
    static bool convert(const Value& value, T& out)
    {
        if (const T* held = std::get_if<T>(&value)) {
            out = *held;
            return true;
        }
        return false;
    }

    std::string m_name;
    std::vector<Param> m_params;
    Attributes m_attributes;
    std::vector<std::unique_ptr<Properties>> m_subProperties;
};

template <typename T>
bool Properties::param(const std::string& name, T& out) const
{
    const Param* found = find(name);
    return found && convert(found->value, out);
}

/// The type code of a value alternative (Properties::Type).
unsigned typeCodeOf(const Properties::Value& value);
const char* typeName(unsigned typeCode);

}  // namespace corvaxis

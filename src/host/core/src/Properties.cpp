#include "corvaxis/core/Properties.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace corvaxis {

Properties::Properties(std::string name) : m_name(std::move(name)) {}

// Copying, comparing and destroying walk the tree with a list of pending blocks rather than by
// recursion: a tree can nest deeper than the call stack allows.

Properties::Properties(const Properties& other)
    : m_name(other.m_name), m_params(other.m_params), m_attributes(other.m_attributes)
{
    std::vector<std::pair<const Properties*, Properties*>> pending = {{&other, this}};
    while (!pending.empty()) {
        const auto [source, target] = pending.back();
        pending.pop_back();
        target->m_subProperties.reserve(source->m_subProperties.size());
        for (const auto& block : source->m_subProperties) {
            auto copy = std::make_unique<Properties>(block->m_name);
            copy->m_params = block->m_params;
            copy->m_attributes = block->m_attributes;
            pending.emplace_back(block.get(), copy.get());
            target->m_subProperties.push_back(std::move(copy));
        }
    }
}

Properties& Properties::operator=(const Properties& other)
{
    if (this != &other) {
        Properties copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Properties::~Properties()
{
    std::vector<std::unique_ptr<Properties>> pending = std::move(m_subProperties);
    while (!pending.empty()) {
        std::unique_ptr<Properties> block = std::move(pending.back());
        pending.pop_back();
        for (auto& child : block->m_subProperties)
            pending.push_back(std::move(child));
        block->m_subProperties.clear();  // only empty pointers left: destroying the block recurses no further
    }
}

const Properties::Param* Properties::find(const std::string& name) const
{
    auto it = std::find_if(m_params.begin(), m_params.end(), [&](const Param& p) { return p.name == name; });
    return it == m_params.end() ? nullptr : &*it;
}

Properties::Param* Properties::findMutable(const std::string& name)
{
    return const_cast<Param*>(std::as_const(*this).find(name));
}

std::vector<std::string> Properties::paramNames() const
{
    std::vector<std::string> names;
    names.reserve(m_params.size());
    for (const Param& p : m_params)
        names.push_back(p.name);
    return names;
}

bool Properties::removeParam(const std::string& name)
{
    return std::erase_if(m_params, [&](const Param& p) { return p.name == name; }) > 0;
}

bool Properties::convert(const Value& value, bool& out)
{
    if (const bool* b = std::get_if<bool>(&value))
        out = *b;
    else if (const int* i = std::get_if<int>(&value))
        out = *i != 0;
    else if (const double* d = std::get_if<double>(&value))
        out = *d != 0.0;
    else
        return false;
    return true;
}

bool Properties::convert(const Value& value, int& out)
{
    if (const int* i = std::get_if<int>(&value))
        out = *i;
    else if (const bool* b = std::get_if<bool>(&value))
        out = *b ? 1 : 0;
    else if (const double* d = std::get_if<double>(&value)) {
        // Only whole numbers in range read as int; anything else would silently change the value.
        if (!std::isfinite(*d) || std::trunc(*d) != *d || *d < std::numeric_limits<int>::min() ||
            *d > std::numeric_limits<int>::max())
            return false;
        out = static_cast<int>(*d);
    }
    else
        return false;
    return true;
}

bool Properties::convert(const Value& value, double& out)
{
    if (const double* d = std::get_if<double>(&value))
        out = *d;
    else if (const int* i = std::get_if<int>(&value))
        out = *i;
    else if (const bool* b = std::get_if<bool>(&value))
        out = *b ? 1.0 : 0.0;
    else
        return false;
    return true;
}

void Properties::setParam(const std::string& name, Value value)
{
    if (Param* existing = findMutable(name))
        existing->value = std::move(value);
    else
        m_params.push_back(Param{name, std::move(value), std::nullopt, 0, {}});
}

void Properties::setParam(const std::string& name, Value value, Value defaultValue)
{
    setParam(name, std::move(value));
    findMutable(name)->defaultValue = std::move(defaultValue);
}

void Properties::setParamType(const std::string& name, unsigned type)
{
    if (Param* existing = findMutable(name))
        existing->type = type;
}

void Properties::setParamAttributes(const std::string& name, Attributes attributes)
{
    if (Param* existing = findMutable(name))
        existing->attributes = std::move(attributes);
}

const Properties::Attributes* Properties::paramAttributes(const std::string& name) const
{
    const Param* found = find(name);
    return found ? &found->attributes : nullptr;
}

Properties* Properties::addSubProperties(const std::string& name)
{
    m_subProperties.push_back(std::make_unique<Properties>(name));
    return m_subProperties.back().get();
}

Properties* Properties::addSubProperties(const Properties& block)
{
    m_subProperties.push_back(std::make_unique<Properties>(block));
    return m_subProperties.back().get();
}

Properties* Properties::addSubProperties(Properties&& block)
{
    m_subProperties.push_back(std::make_unique<Properties>(std::move(block)));
    return m_subProperties.back().get();
}

std::vector<Properties*> Properties::subPropertiesAll(const std::string& name)
{
    std::vector<Properties*> result;
    for (const auto& block : m_subProperties)
        if (block->name() == name)
            result.push_back(block.get());
    return result;
}

std::vector<const Properties*> Properties::subPropertiesAll(const std::string& name) const
{
    std::vector<const Properties*> result;
    for (const auto& block : m_subProperties)
        if (block->name() == name)
            result.push_back(block.get());
    return result;
}

std::vector<const Properties*> Properties::subProperties() const
{
    std::vector<const Properties*> result;
    for (const auto& block : m_subProperties)
        result.push_back(block.get());
    return result;
}

bool Properties::deleteSubProperty(const Properties* block)
{
    return std::erase_if(m_subProperties, [block](const auto& held) { return held.get() == block; }) > 0;
}

bool Properties::operator==(const Properties& other) const
{
    std::vector<std::pair<const Properties*, const Properties*>> pending = {{this, &other}};
    while (!pending.empty()) {
        const auto [left, right] = pending.back();
        pending.pop_back();
        if (left->m_name != right->m_name || left->m_params != right->m_params ||
            left->m_attributes != right->m_attributes || left->m_subProperties.size() != right->m_subProperties.size())
            return false;
        for (std::size_t i = 0; i < left->m_subProperties.size(); ++i)
            pending.emplace_back(left->m_subProperties[i].get(), right->m_subProperties[i].get());
    }
    return true;
}

unsigned typeCodeOf(const Properties::Value& value) { return static_cast<unsigned>(value.index()) + 1; }

const char* typeName(unsigned typeCode)
{
    static const char* const names[] = {"none", "bool", "int", "double", "string", "vec2", "vec3", "vec4", "mat4"};
    return typeCode < std::size(names) ? names[typeCode] : "unknown";
}

}  // namespace corvaxis

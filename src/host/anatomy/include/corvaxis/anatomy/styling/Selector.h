#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace corvaxis::AnatomyPlugin {

/// What kind of object a selector element picks out.
enum class ContentType : int { AnatomicalStructure, Keypoint, Plane, Image, Mesh, PointCloud, Graph };

/// An annotation condition of a selector element: a name and the values it may take.
struct SelectorAnnotation {
    std::string name;
    std::vector<std::string> values;
    bool operator==(const SelectorAnnotation&) const = default;
};

/// One query for objects: every condition that is present must hold.
class SelectorElem {
public:
    using TextPair = std::pair<std::string, std::string>;

    SelectorElem(std::optional<ContentType> contentType, std::optional<std::string> identifier,
                 std::optional<std::string> key, std::optional<TextPair> attribute,
                 std::optional<TextPair> pseudoClass, std::set<std::string> classes)
        : m_contentType(contentType), m_identifier(std::move(identifier)), m_key(std::move(key)),
          m_attribute(std::move(attribute)), m_pseudoClass(std::move(pseudoClass)), m_classes(std::move(classes))
    {
    }

    bool operator==(const SelectorElem&) const = default;

private:
    std::optional<ContentType> m_contentType;
    std::optional<std::string> m_identifier;
    std::uint8_t m_identifierMatch = 0;
    std::optional<std::string> m_key;
    std::uint8_t m_keyMatch = 0;
    std::map<std::string, SelectorAnnotation> m_annotations;
    std::optional<TextPair> m_attribute;
    std::optional<TextPair> m_pseudoClass;
    std::set<std::string> m_classes;
};

/// The logical OR of selector elements; an empty list selects nothing.
class Selector {
public:
    Selector() = default;
    explicit Selector(SelectorElem element) { elements.push_back(std::move(element)); }
    explicit Selector(std::vector<SelectorElem> elementList) : elements(std::move(elementList)) {}

    std::vector<SelectorElem> elements;

private:
    // Filled by the host where a selector comes from a text; carried along on copy and move.
    std::string m_source;
    std::optional<std::string> m_origin;
};

}  // namespace corvaxis::AnatomyPlugin

#pragma once

#include "corvaxis/core/Properties.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvaxis::AnatomyPlugin {

/// What kind of object a selector element picks out; AnatomicalStructure is the structure itself.
enum class ContentType : int { AnatomicalStructure, Keypoint, Plane, Image, Mesh, PointCloud, Graph };

/// The selector word of a kind ("structure", "keypoint", ...); kindFromName is its inverse.
std::string_view kindName(ContentType kind);
std::optional<ContentType> kindFromName(std::string_view name);

/// How a text condition compares: the whole text, its beginning, or a pattern with * wildcards.
enum class TextMatch : std::uint8_t { Exact = 0, Prefix = 1, Wildcard = 2 };

/// A condition on one entry attribute: how it compares and the value it compares with. The value
/// list holds the accepted values; the text syntax gives exactly one.
struct SelectorAnnotation {
    std::string operation;
    std::vector<std::string> values;
    bool operator==(const SelectorAnnotation&) const = default;
};

/// What a selector is matched against: one styled object of a collection.
struct StyledObject {
    std::string identifier;  // of the structure that holds the object
    ContentType kind = ContentType::AnatomicalStructure;
    std::string key;  // store key; empty for the structure itself
    const Properties* attributes = nullptr;  // the entry's attributes, if any
};

/// How specific a selector element is: identifier conditions, then key, attribute and class
/// conditions, then the kind. Compared in that order; more is more specific.
using Specificity = std::array<int, 3>;

/// One query for objects: every condition that is present must hold.
class SelectorElem {
public:
    using TextPair = std::pair<std::string, std::string>;

    /// An element without conditions: it selects every object ("*").
    SelectorElem() = default;
    /// attribute: an exact condition (name, value); prefix: a prefix condition (name, beginning).
    SelectorElem(std::optional<ContentType> contentType, std::optional<std::string> identifier,
                 std::optional<std::string> key, std::optional<TextPair> attribute,
                 std::optional<TextPair> prefix, std::set<std::string> classes);

    /// One element in the text syntax (docs/styling.md); nothing for a text that is not exactly one.
    static std::optional<SelectorElem> parse(std::string_view text);
    /// The canonical text: parsing it gives an equal element.
    std::string str() const;

    bool matches(const StyledObject& object) const;
    Specificity specificity() const;

    bool operator==(const SelectorElem&) const = default;

private:
    friend class SelectorParser;

    std::optional<ContentType> m_contentType;
    std::optional<std::string> m_identifier;
    TextMatch m_identifierMatch = TextMatch::Exact;
    std::optional<std::string> m_key;
    TextMatch m_keyMatch = TextMatch::Exact;
    std::map<std::string, SelectorAnnotation> m_annotations;
    std::set<std::string> m_classes;
};

/// The logical OR of selector elements; an empty list selects nothing.
class Selector {
public:
    Selector() = default;
    explicit Selector(SelectorElem element) { elements.push_back(std::move(element)); }
    explicit Selector(std::vector<SelectorElem> elementList) : elements(std::move(elementList)) {}

    /// A comma-separated list of elements; nothing when any part is refused.
    static std::optional<Selector> parse(std::string_view text);
    /// The canonical text: the elements' texts joined by ", ".
    std::string str() const;

    /// A new selector with the other element appended.
    Selector operator||(const SelectorElem& other) const;

    bool matches(const StyledObject& object) const;
    /// The specificity of the most specific matching element; nothing when none matches.
    std::optional<Specificity> matchSpecificity(const StyledObject& object) const;

    std::vector<SelectorElem> elements;

    /// The text this selector was parsed from, as written; empty when built from elements.
    const std::string& source() const { return m_source; }

private:
    std::string m_source;
};

Selector operator||(const SelectorElem& first, const SelectorElem& second);

}  // namespace corvaxis::AnatomyPlugin

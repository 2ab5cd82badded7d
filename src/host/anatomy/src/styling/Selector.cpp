#include "corvaxis/anatomy/styling/Selector.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace corvaxis::AnatomyPlugin {

namespace {

constexpr std::array<std::pair<ContentType, std::string_view>, 7> kindNames{{
    {ContentType::AnatomicalStructure, "structure"},
    {ContentType::Keypoint, "keypoint"},
    {ContentType::Plane, "plane"},
    {ContentType::Image, "image"},
    {ContentType::Mesh, "mesh"},
    {ContentType::PointCloud, "pointcloud"},
    {ContentType::Graph, "graph"},
}};

constexpr std::string_view keyCondition = "key";
constexpr std::string_view classAttribute = "class";

bool isNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool isNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'; }
bool isIdentifierChar(char c) { return isNameChar(c) || c == '.' || c == '*'; }
bool isBareValueChar(char c) { return isIdentifierChar(c) || c == ':' || c == '/' || c == '+'; }
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

/// "*" stands for any run of characters, including none.
bool wildcardMatches(std::string_view pattern, std::string_view text)
{
    std::size_t p = 0, t = 0, starP = std::string_view::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool textMatches(TextMatch how, const std::string& wanted, std::string_view text)
{
    switch (how) {
    case TextMatch::Exact: return text == wanted;
    case TextMatch::Prefix: return text.starts_with(wanted);
    case TextMatch::Wildcard: return wildcardMatches(wanted, text);
    }
    return false;
}

/// Attribute values compare as text: numbers and truth values in their plain written form.
std::optional<std::string> attributeText(const Properties& attributes, const std::string& name)
{
    const Properties::Param* param = attributes.find(name);
    if (!param)
        return std::nullopt;
    if (const auto* text = std::get_if<std::string>(&param->value))
        return *text;
    if (const auto* flag = std::get_if<bool>(&param->value))
        return *flag ? "true" : "false";
    if (const auto* number = std::get_if<int>(&param->value))
        return std::to_string(*number);
    return std::nullopt;
}

std::string valueText(const std::string& value)
{
    const bool bare = !value.empty() && std::all_of(value.begin(), value.end(), isBareValueChar);
    return bare ? value : "\"" + value + "\"";
}

}  // namespace

std::string_view kindName(ContentType kind)
{
    for (const auto& [candidate, name] : kindNames)
        if (candidate == kind)
            return name;
    return {};
}

std::optional<ContentType> kindFromName(std::string_view name)
{
    for (const auto& [kind, candidate] : kindNames)
        if (candidate == name)
            return kind;
    return std::nullopt;
}

/// Reads the selector syntax; every method either consumes what it read or refuses the whole text.
class SelectorParser {
public:
    explicit SelectorParser(std::string_view text) : m_text(text) {}

    std::optional<std::vector<SelectorElem>> elementList()
    {
        std::vector<SelectorElem> elements;
        do {
            skipSpace();
            std::optional<SelectorElem> element = this->element();
            if (!element)
                return std::nullopt;
            elements.push_back(std::move(*element));
            skipSpace();
        } while (consume(','));
        if (!atEnd())
            return std::nullopt;
        return elements;
    }

    std::optional<SelectorElem> singleElement()
    {
        skipSpace();
        std::optional<SelectorElem> element = this->element();
        skipSpace();
        if (!element || !atEnd())
            return std::nullopt;
        return element;
    }

private:
    std::optional<SelectorElem> element()
    {
        SelectorElem element;
        bool any = false;
        if (consume('*')) {
            any = true;
        } else if (!atEnd() && isNameStart(peek())) {
            const std::string word = name();
            element.m_contentType = kindFromName(word);
            if (!element.m_contentType)
                return std::nullopt;
            any = true;
        }
        while (!atEnd()) {
            if (consume('#')) {
                if (element.m_identifier)
                    return std::nullopt;
                std::string identifier = take(isIdentifierChar);
                if (identifier.empty())
                    return std::nullopt;
                element.m_identifierMatch =
                    identifier.find('*') == std::string::npos ? TextMatch::Exact : TextMatch::Wildcard;
                element.m_identifier = std::move(identifier);
            } else if (consume('[')) {
                if (!condition(element))
                    return std::nullopt;
            } else if (consume('.')) {
                if (atEnd() || !isNameStart(peek()))
                    return std::nullopt;
                element.m_classes.insert(name());
            } else {
                break;
            }
            any = true;
        }
        if (!any)
            return std::nullopt;
        return element;
    }

    // After "[": name, "=" or "^=", value, "]".
    bool condition(SelectorElem& element)
    {
        skipSpace();
        if (atEnd() || !isNameStart(peek()))
            return false;
        std::string conditionName = name();
        skipSpace();
        const bool prefix = consume('^');
        if (!consume('='))
            return false;
        skipSpace();
        std::optional<std::string> value = this->value();
        skipSpace();
        if (!value || !consume(']'))
            return false;
        if (conditionName == keyCondition) {
            if (element.m_key)
                return false;
            element.m_key = std::move(*value);
            element.m_keyMatch = prefix ? TextMatch::Prefix : TextMatch::Exact;
            return true;
        }
        if (element.m_annotations.contains(conditionName))
            return false;
        element.m_annotations[conditionName] = SelectorAnnotation{prefix ? "^=" : "=", {std::move(*value)}};
        return true;
    }

    std::optional<std::string> value()
    {
        if (consume('"')) {
            const std::size_t end = m_text.find('"', m_position);
            if (end == std::string_view::npos)
                return std::nullopt;
            std::string quoted(m_text.substr(m_position, end - m_position));
            m_position = end + 1;
            return quoted;
        }
        std::string bare = take(isBareValueChar);
        if (bare.empty())
            return std::nullopt;
        return bare;
    }

    std::string name()
    {
        std::string read(1, m_text[m_position++]);
        read += take(isNameChar);
        return read;
    }

    template <typename Accept>
    std::string take(Accept accept)
    {
        const std::size_t start = m_position;
        while (!atEnd() && accept(peek()))
            ++m_position;
        return std::string(m_text.substr(start, m_position - start));
    }

    bool consume(char c)
    {
        if (atEnd() || peek() != c)
            return false;
        ++m_position;
        return true;
    }
    void skipSpace()
    {
        while (!atEnd() && isSpace(peek()))
            ++m_position;
    }
    bool atEnd() const { return m_position >= m_text.size(); }
    char peek() const { return m_text[m_position]; }

    std::string_view m_text;
    std::size_t m_position = 0;
};

SelectorElem::SelectorElem(std::optional<ContentType> contentType, std::optional<std::string> identifier,
                           std::optional<std::string> key, std::optional<TextPair> attribute,
                           std::optional<TextPair> prefix, std::set<std::string> classes)
    : m_contentType(contentType), m_identifier(std::move(identifier)), m_key(std::move(key)),
      m_classes(std::move(classes))
{
    if (m_identifier && m_identifier->find('*') != std::string::npos)
        m_identifierMatch = TextMatch::Wildcard;
    if (attribute)
        m_annotations[attribute->first] = SelectorAnnotation{"=", {attribute->second}};
    if (prefix)
        m_annotations[prefix->first] = SelectorAnnotation{"^=", {prefix->second}};
}

std::optional<SelectorElem> SelectorElem::parse(std::string_view text)
{
    return SelectorParser(text).singleElement();
}

std::string SelectorElem::str() const
{
    std::string classes;
    for (const std::string& className : m_classes)
        classes += "." + className;
    std::string text;
    if (m_contentType)
        text += kindName(*m_contentType);
    // An identifier may hold dots, so classes written right after it would read as part of it:
    // without a condition between them, the classes come first.
    const bool classesFirst = m_identifier && !m_key && m_annotations.empty();
    if (classesFirst)
        text += classes;
    if (m_identifier)
        text += "#" + *m_identifier;
    if (m_key)
        text += std::string("[key") + (m_keyMatch == TextMatch::Prefix ? "^=" : "=") + valueText(*m_key) + "]";
    for (const auto& [name, annotation] : m_annotations)
        for (const std::string& value : annotation.values)
            text += "[" + name + annotation.operation + valueText(value) + "]";
    if (!classesFirst)
        text += classes;
    return text.empty() ? "*" : text;
}

bool SelectorElem::matches(const StyledObject& object) const
{
    if (m_contentType && *m_contentType != object.kind)
        return false;
    if (m_identifier && !textMatches(m_identifierMatch, *m_identifier, object.identifier))
        return false;
    if (m_key && (object.kind == ContentType::AnatomicalStructure || !textMatches(m_keyMatch, *m_key, object.key)))
        return false;
    if (m_annotations.empty() && m_classes.empty())
        return true;
    if (!object.attributes)
        return false;
    for (const auto& [name, annotation] : m_annotations) {
        const std::optional<std::string> held = attributeText(*object.attributes, name);
        if (!held)
            return false;
        const TextMatch how = annotation.operation == "^=" ? TextMatch::Prefix : TextMatch::Exact;
        if (!std::ranges::any_of(annotation.values,
                                 [&](const std::string& wanted) { return textMatches(how, wanted, *held); }))
            return false;
    }
    if (!m_classes.empty()) {
        std::string classList;
        object.attributes->param(std::string(classAttribute), classList);
        std::set<std::string> held;
        for (std::size_t start = 0; start < classList.size();) {
            const std::size_t end = std::min(classList.find(' ', start), classList.size());
            if (end > start)
                held.insert(classList.substr(start, end - start));
            start = end + 1;
        }
        if (!std::ranges::includes(held, m_classes))
            return false;
    }
    return true;
}

Specificity SelectorElem::specificity() const
{
    return {m_identifier ? 1 : 0, (m_key ? 1 : 0) + int(m_annotations.size()) + int(m_classes.size()),
            m_contentType ? 1 : 0};
}

std::optional<Selector> Selector::parse(std::string_view text)
{
    std::optional<std::vector<SelectorElem>> elements = SelectorParser(text).elementList();
    if (!elements)
        return std::nullopt;
    Selector selector(std::move(*elements));
    selector.m_source = text;
    return selector;
}

std::string Selector::str() const
{
    std::string text;
    for (const SelectorElem& element : elements)
        text += (text.empty() ? "" : ", ") + element.str();
    return text;
}

Selector Selector::operator||(const SelectorElem& other) const
{
    std::vector<SelectorElem> combined = elements;
    combined.push_back(other);
    return Selector(std::move(combined));
}

bool Selector::matches(const StyledObject& object) const { return matchSpecificity(object).has_value(); }

std::optional<Specificity> Selector::matchSpecificity(const StyledObject& object) const
{
    std::optional<Specificity> best;
    for (const SelectorElem& element : elements)
        if (element.matches(object)) {
            const Specificity specificity = element.specificity();
            if (!best || specificity > *best)
                best = specificity;
        }
    return best;
}

Selector operator||(const SelectorElem& first, const SelectorElem& second)
{
    return Selector(std::vector<SelectorElem>{first, second});
}

}  // namespace corvaxis::AnatomyPlugin

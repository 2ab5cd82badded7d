#include "corvaxis/anatomy/styling/StyleSheet.h"

#include "corvaxis/core/Log.h"

namespace corvaxis::AnatomyPlugin {

namespace {

constexpr std::string_view logCategory = "AnatomyPlugin.StyleSheet";
const std::string selectorName = "selector";
const std::string declarationsName = "declarations";

}  // namespace

StyleSheet::StyleRule::StyleRule(Selector ruleSelector, Properties ruleDeclarations)
    : selector(std::move(ruleSelector)), declarations(std::move(ruleDeclarations))
{
}

StyleSheet::StyleRule::StyleRule(const StyleRule& other)
    : Configurable(other), selector(other.selector), declarations(other.declarations)
{
}

StyleSheet::StyleRule& StyleSheet::StyleRule::operator=(const StyleRule& other)
{
    selector = other.selector;
    declarations = other.declarations;
    signalModified.emitSignal();
    return *this;
}

void StyleSheet::StyleRule::configure(const Properties* properties)
{
    if (!properties)
        return;
    std::string text;
    properties->param(selectorName, text);
    // A selector text that no longer parses selects nothing rather than everything.
    selector = Selector::parse(text).value_or(Selector());
    const std::vector<const Properties*> blocks = properties->subPropertiesAll(declarationsName);
    declarations = blocks.empty() ? Properties() : *blocks.front();
    declarations.setName({});
    signalModified.emitSignal();
}

void StyleSheet::StyleRule::configuration(Properties* properties) const
{
    if (!properties)
        return;
    properties->setParam(selectorName, Properties::Value(selector.str()));
    Properties* block = properties->addSubProperties(declarations);
    block->setName(declarationsName);
}

StyleSheet::StyleSheet(std::string sheetName) : name("name", std::string(), this)
{
    // The default stays empty for every sheet, so that saved sheets load back exactly into the
    // default sheets that a loading list makes.
    name = std::move(sheetName);
    connectParameters();
}

StyleSheet::StyleSheet(const StyleSheet& other)
    : Configurable(other), SignalReceiver(other), enabled(other.enabled), name(other.name), rules(other.rules)
{
    enabled.setParentFromCopy(this);
    name.setParentFromCopy(this);
    rules.setParentFromCopy(this);
    connectParameters();
}

StyleSheet& StyleSheet::operator=(const StyleSheet& other)
{
    enabled = other.enabled;
    name = other.name;
    rules = other.rules;
    return *this;
}

void StyleSheet::connectParameters()
{
    for (ParameterBase* parameter : {static_cast<ParameterBase*>(&enabled), static_cast<ParameterBase*>(&name),
                                     static_cast<ParameterBase*>(&rules)})
        parameter->signalChanged.connect(this, [this](const ParameterBase* changed) {
            if (changed == &rules)
                ++m_ruleChanges;
            signalModified.emitSignal();
        });
}

bool StyleSheet::indexIsCurrent() const
{
    return m_indexStamp == std::pair(rules.revision(), m_ruleChanges);
}

void StyleSheet::stampIndex() { m_indexStamp = std::pair(rules.revision(), m_ruleChanges); }

StyleSheet::StyleRule* StyleSheet::findRule(const std::string& text)
{
    if (!indexIsCurrent()) {
        m_ruleIndex.clear();
        for (std::size_t i = 0; i < rules.size(); ++i)
            m_ruleIndex.try_emplace(rules[i].selector.str(), i);
        stampIndex();
    }
    const auto found = m_ruleIndex.find(text);
    if (found == m_ruleIndex.end())
        return nullptr;
    StyleRule& rule = rules[found->second];
    if (rule.selector.str() == text)
        return &rule;
    // A selector assigned in place without a signal: look again over fresh positions.
    m_indexStamp.reset();
    return findRule(text);
}

bool StyleSheet::appendOrModify(const std::optional<Selector>& selector, const Declarations& declarations,
                                std::string_view refusedText)
{
    if (!selector) {
        Log::logIfAccepted(Log::Warning, logCategory, [&] {
            return "Style sheet '" + name.value() + "': no rule changed, the selector '" + std::string(refusedText) +
                   "' is absent or does not parse.";
        });
        return false;
    }
    if (!declarations)
        return false;
    // The callback works on a copy: it may change this sheet itself (which can move the rules),
    // and when it throws there is nothing to undo.
    const std::string text = selector->str();
    const StyleRule* existing = findRule(text);
    Properties working = existing ? existing->declarations : Properties();
    declarations(working);
    if (StyleRule* rule = findRule(text)) {
        if (!(rule->declarations == working)) {
            rule->declarations = std::move(working);
            // The selectors stay as they are: the index holds unless a receiver changes the rules.
            const bool current = indexIsCurrent();
            const std::size_t changes = m_ruleChanges;
            rule->signalModified.emitSignal();
            if (current && m_ruleChanges == changes + 1)
                stampIndex();
        }
    } else {
        const bool current = indexIsCurrent();
        const std::size_t revision = rules.revision();
        const std::size_t changes = m_ruleChanges;
        rules.append(StyleRule(*selector, std::move(working)));
        if (current && rules.revision() == revision + 1 && m_ruleChanges == changes + 1) {
            m_ruleIndex.try_emplace(text, rules.size() - 1);
            stampIndex();
        }
    }
    return true;
}

}  // namespace corvaxis::AnatomyPlugin

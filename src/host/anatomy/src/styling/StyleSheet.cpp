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
        parameter->signalChanged.connect(this, [this](const ParameterBase*) { signalModified.emitSignal(); });
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
    auto findRule = [&]() -> StyleRule* {
        for (StyleRule& rule : rules)
            if (rule.selector.str() == text)
                return &rule;
        return nullptr;
    };
    const StyleRule* existing = findRule();
    Properties working = existing ? existing->declarations : Properties();
    declarations(working);
    if (StyleRule* rule = findRule()) {
        if (!(rule->declarations == working)) {
            rule->declarations = std::move(working);
            rule->signalModified.emitSignal();
        }
    } else {
        rules.append(StyleRule(*selector, std::move(working)));
    }
    return true;
}

}  // namespace corvaxis::AnatomyPlugin

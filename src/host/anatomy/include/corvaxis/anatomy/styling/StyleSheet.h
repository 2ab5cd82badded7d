#pragma once

#include "corvaxis/anatomy/styling/Selector.h"
#include "corvaxis/anatomy/styling/SubPropertyList.h"
#include "corvaxis/core/Parameter.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace corvaxis::AnatomyPlugin {

/// A named group of style rules that takes part in styling while it is enabled.
///
/// Configuration: values "enabled" and "name", and one sub-block "rules" per rule in order.
class StyleSheet : public Configurable, public SignalReceiver {
public:
    /// A selector and the declarations (property name to value) it applies. Configuration: the
    /// value "selector" (canonical text) and the sub-block "declarations".
    class StyleRule : public Configurable {
    public:
        StyleRule() = default;
        StyleRule(Selector ruleSelector, Properties ruleDeclarations);
        StyleRule(const StyleRule& other);
        StyleRule& operator=(const StyleRule& other);

        void configure(const Properties* properties) override;
        void configuration(Properties* properties) const override;

        Selector selector;
        Properties declarations;
        /// Fires when the rule's selector or declarations were changed through its sheet.
        SignalImpl<> signalModified;
    };

    using Declarations = std::function<void(Properties&)>;

    explicit StyleSheet(std::string sheetName = {});
    StyleSheet(const StyleSheet& other);
    StyleSheet& operator=(const StyleSheet& other);

    /// Hands the declarations of the rule whose selector has the same canonical text to the
    /// callback, appending a rule with empty declarations first when there is none. True when the
    /// callback was applied. An absent selector changes nothing, logs a warning naming
    /// refusedText (the text that did not parse, if any) and gives false. A callback that throws
    /// leaves the sheet as it was before the call; the exception passes on.
    bool appendOrModify(const std::optional<Selector>& selector, const Declarations& declarations,
                        std::string_view refusedText = {});

    /// Fires when the name, the enabled flag, the rules or a rule's content changed.
    SignalImpl<> signalModified;

    Parameter<bool> enabled{"enabled", true, this};
    Parameter<std::string> name;
    SubPropertyList<StyleRule> rules{"rules", this};

private:
    void connectParameters();
    /// The first rule whose selector has this canonical text, or null.
    StyleRule* findRule(const std::string& text);
    bool indexIsCurrent() const;
    void stampIndex();

    /// Position of the first rule of each canonical selector text. It holds for the rules as they
    /// were at the stamp: the list's revision and the number of changes the list signalled (a
    /// rule's selector can change in place). Any other change makes it be built again.
    std::map<std::string, std::size_t, std::less<>> m_ruleIndex;
    std::optional<std::pair<std::size_t, std::size_t>> m_indexStamp;
    std::size_t m_ruleChanges = 0;
};

}  // namespace corvaxis::AnatomyPlugin

#pragma once

#include "corvaxis/anatomy/styling/StyleSheet.h"
#include "corvaxis/core/Log.h"

#include <string>
#include <utility>
#include <vector>

namespace corvaxis::styling_test {

using AnatomyPlugin::ContentType;
using AnatomyPlugin::Selector;
using AnatomyPlugin::StyledObject;
using AnatomyPlugin::StyleSheet;

inline Selector selector(const std::string& text)
{
    std::optional<Selector> parsed = Selector::parse(text);
    if (!parsed)
        throw std::invalid_argument("test selector does not parse: " + text);
    return *parsed;
}

/// What a configurable saves, as a fresh tree.
inline Properties configurationOf(const Configurable& configurable)
{
    Properties saved;
    configurable.configuration(&saved);
    return saved;
}

/// Sets one declaration of the rule of that selector.
inline void declare(StyleSheet& sheet, const std::string& selectorText, const std::string& name,
                    Properties::Value value)
{
    sheet.appendOrModify(selector(selectorText), [&](Properties& block) { block.setParam(name, value); });
}

/// Counts emissions of a parameterless signal.
struct ModifiedCounter : SignalReceiver {
    explicit ModifiedCounter(SignalImpl<>& signal) { signal.connect(this, [this] { ++count; }); }
    int count = 0;
};

/// Counts emissions of a parameter's change signal.
struct ChangeCounter : SignalReceiver {
    explicit ChangeCounter(ParameterBase& parameter)
    {
        parameter.signalChanged.connect(this, [this](const ParameterBase*) { ++count; });
    }
    int count = 0;
};

/// Collects the records of one log category while alive; level and filter opened up for it.
struct LogCapture {
    explicit LogCapture(std::string wanted) : category(std::move(wanted))
    {
        sink = Log::addSink([this](const Log::Record& record) {
            if (record.category == category)
                records.push_back(record);
        });
    }
    ~LogCapture() { Log::removeSink(sink); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string category;
    std::size_t sink;
    std::vector<Log::Record> records;
};

}  // namespace corvaxis::styling_test

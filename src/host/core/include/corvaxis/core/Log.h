#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace corvaxis::Log {

enum Level : int { Trace = 0, Debug = 1, Info = 2, Warning = 3, Error = 4, Fatal = 5 };

/// Messages below this level are dropped before they are built. Warnings and above pass by default.
extern int g_globalLevel;

struct Record {
    int level;
    std::string category;
    std::string message;
    std::string file;
    int line;
};

/// Whether a message of this level and category would be written: the global level and the
/// most specific category filter (a filter for "A.B" also covers "A.B.C") must both accept it.
bool isAccepted(int level, std::string_view category);

/// Sets the lowest level written for a category and its sub-categories; removeCategoryFilter undoes it.
void setCategoryLevel(const std::string& category, int level);
void removeCategoryFilter(const std::string& category);

/// Writes a record to every sink. Callers check isAccepted first so that nothing is built in vain.
void log(int level, std::string_view category, std::string_view message, std::string_view file, int line);

/// Sinks receive every record written. Without any sink, records go to standard error.
using Sink = std::function<void(const Record&)>;
std::size_t addSink(Sink sink);
void removeSink(std::size_t id);

/// Builds and writes a message only when the log accepts it.
template <typename BuildMessage>
void logIfAccepted(int level, std::string_view category, BuildMessage&& buildMessage)
{
    if (g_globalLevel <= level && isAccepted(level, category))
        log(level, category, buildMessage(), "", -1);
}

}  // namespace corvaxis::Log

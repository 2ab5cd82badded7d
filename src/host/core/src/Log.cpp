#include "corvaxis/core/Log.h"

#include <cstdio>
#include <map>
#include <vector>

namespace corvaxis::Log {

int g_globalLevel = Warning;

namespace {
std::map<std::string, int, std::less<>>& categoryLevels()
{
    static std::map<std::string, int, std::less<>> levels;
    return levels;
}

std::vector<std::pair<std::size_t, Sink>>& sinks()
{
    static std::vector<std::pair<std::size_t, Sink>> list;
    return list;
}

const char* levelName(int level)
{
    static const char* const names[] = {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "FATAL"};
    return level >= Trace && level <= Fatal ? names[level] : "LOG";
}
}  // namespace

bool isAccepted(int level, std::string_view category)
{
    if (level < g_globalLevel)
        return false;
    // The longest configured prefix that ends at a dot (or is the whole category) decides.
    std::string_view prefix = category;
    const auto& levels = categoryLevels();
    for (;;) {
        if (auto it = levels.find(prefix); it != levels.end())
            return level >= it->second;
        const std::size_t dot = prefix.rfind('.');
        if (dot == std::string_view::npos)
            return true;
        prefix = prefix.substr(0, dot);
    }
}

void setCategoryLevel(const std::string& category, int level) { categoryLevels()[category] = level; }

void removeCategoryFilter(const std::string& category) { categoryLevels().erase(category); }

void log(int level, std::string_view category, std::string_view message, std::string_view file, int line)
{
    const Record record{level, std::string(category), std::string(message), std::string(file), line};
    if (sinks().empty()) {
        std::fprintf(stderr, "[%s] %s: %s\n", levelName(level), record.category.c_str(), record.message.c_str());
        return;
    }
    // A sink may add or remove sinks; iterate over a snapshot.
    const auto snapshot = sinks();
    for (const auto& [id, sink] : snapshot)
        sink(record);
}

std::size_t addSink(Sink sink)
{
    static std::size_t nextId = 1;
    sinks().emplace_back(nextId, std::move(sink));
    return nextId++;
}

void removeSink(std::size_t id)
{
    std::erase_if(sinks(), [id](const auto& entry) { return entry.first == id; });
}

}  // namespace corvaxis::Log

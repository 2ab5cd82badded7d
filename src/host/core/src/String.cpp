#include "corvaxis/core/String.h"

namespace corvaxis::String {
namespace {
bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool isLower(char c) { return c >= 'a' && c <= 'z'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isWordChar(char c) { return isUpper(c) || isLower(c) || isDigit(c); }
}  // namespace

std::vector<std::string> split(std::string_view text, char separator)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            parts.emplace_back(text.substr(start));
            return parts;
        }
        parts.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::vector<std::string> splitCamelCase(std::string_view text)
{
    std::vector<std::string> words;
    std::string current;
    const auto flush = [&] {
        if (!current.empty())
            words.push_back(std::move(current));
        current.clear();
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!isWordChar(c)) {
            flush();
            continue;
        }
        if (isUpper(c) && !current.empty()) {
            const char previous = current.back();
            const bool afterLowerOrDigit = isLower(previous) || isDigit(previous);
            const bool endsCapitalRun = isUpper(previous) && i + 1 < text.size() && isLower(text[i + 1]);
            if (afterLowerOrDigit || endsCapitalRun)
                flush();
        }
        current.push_back(c);
    }
    flush();
    return words;
}

void toLower(std::string& text)
{
    for (char& c : text)
        if (isUpper(c))
            c = static_cast<char>(c - 'A' + 'a');
}

std::string toUpperCopy(std::string_view text)
{
    std::string result(text);
    for (char& c : result)
        if (isLower(c))
            c = static_cast<char>(c - 'a' + 'A');
    return result;
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

std::string join(const std::vector<std::string>& parts, std::string_view separator)
{
    std::string result;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            result += separator;
        result += parts[i];
    }
    return result;
}

}  // namespace corvaxis::String

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

bool isValidUtf8(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // The length of the sequence and the range its second byte must fall in (which rules out
        // overlong forms, surrogates and code points past U+10FFFF).
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF)
            length = 2;
        else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        }
        else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        }
        else
            return false;
        if (text.size() - i < length)
            return false;
        const auto second = static_cast<unsigned char>(text[i + 1]);
        if (second < low || second > high)
            return false;
        for (std::size_t k = 2; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        i += length;
    }
    return true;
}

}  // namespace corvaxis::String

#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace corvaxis::String {

/// Splits at every occurrence of the separator; empty parts are kept, so "a..b" gives a, "", b.
std::vector<std::string> split(std::string_view text, char separator);

/// Splits an identifier written in CamelCase into its words, in text order.
///
/// A word starts at an upper-case letter that follows a lower-case letter or a digit, and at the
/// last capital of a run of capitals that is followed by a lower-case letter. Digits stay with
/// the word they follow, and a run of capitals with nothing lower-case after it is one word:
///   "UpperLeftFront" -> Upper, Left, Front      "LeftRib10"  -> Left, Rib10
///   "ABC"            -> ABC                     "HTTPServer" -> HTTP, Server
///   "LeftForamen1"   -> Left, Foramen1          "x2Y"        -> x2, Y
/// Characters other than ASCII letters and digits end the current word and are dropped.
std::vector<std::string> splitCamelCase(std::string_view text);

/// Lower-cases ASCII letters in place.
void toLower(std::string& text);

/// Returns an upper-cased (ASCII) copy.
std::string toUpperCopy(std::string_view text);

bool contains(std::string_view text, std::string_view part);

/// Joins the parts with the separator between them (nothing after the last part).
std::string join(const std::vector<std::string>& parts, std::string_view separator);

/// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUtf8(std::string_view text);

}  // namespace corvaxis::String

#pragma once

#include <string>
#include <string_view>

namespace corvaxis::binding_detail {

/// "ShowLabelTextDebug" -> "SHOW_LABEL_TEXT_DEBUG": an underscore before every capital that does
/// not start the text or a line, then upper case. A run of capitals is split letter by letter.
std::string toUpperSnake(std::string_view text);

}  // namespace corvaxis::binding_detail

#include "styling/UpperSnake.h"

#include "corvaxis/core/String.h"

#include <boost/regex.hpp>

namespace corvaxis::binding_detail {

std::string toUpperSnake(std::string_view text)
{
    // Compiled once; the initialisation of a function-local static is thread-safe.
    static const boost::regex capitalNotAtLineStart("(?<!^)(?=[A-Z])", boost::regex::perl);
    const std::string snake = boost::regex_replace(std::string(text), capitalNotAtLineStart, "_");
    return String::toUpperCopy(snake);
}

}  // namespace corvaxis::binding_detail

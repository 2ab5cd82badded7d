#pragma once

#include <exception>
#include <string>

namespace corvaxis {

/// Raised when a structure is reached through a handle whose structure no longer exists.
class AnatomicalStructureInvalidException : public std::exception {
public:
    explicit AnatomicalStructureInvalidException(std::string message) : m_message(std::move(message)) {}
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    std::string m_message;
};

}  // namespace corvaxis

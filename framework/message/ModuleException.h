// The exception constructors throw, after logging the cause, when they cannot work.
#pragma once

#include <stdexcept>
#include <string>

namespace Tessil {

class ModuleException : public std::runtime_error {
public:
    // The text is 8-bit.
    explicit ModuleException(const std::string& text) : std::runtime_error(text) {}
    explicit ModuleException(const char* text) : std::runtime_error(text) {}
};

}  // namespace Tessil

#pragma once

#include <stdexcept>
#include <string>

namespace tamber {

// The program's one failure type; every throw site builds the whole message first.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace tamber

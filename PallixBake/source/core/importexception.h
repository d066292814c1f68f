#pragma once

#include <stdexcept>
#include <string>

namespace Pallix::Bake {

// Thrown by the importers for input they refuse as a whole.
class ImportException : public std::runtime_error {
public:
    explicit ImportException(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace Pallix::Bake

#pragma once

#include <stdexcept>
#include <string>

namespace Pallix::Bake {

// Thrown wherever a bake cannot go on; BakeManager::Bake reports its text and ends the run.
class BakeException : public std::runtime_error {
public:
    explicit BakeException(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace Pallix::Bake

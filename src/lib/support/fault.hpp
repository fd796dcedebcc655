// Internal faults: broken invariants inside the module, never user errors.
//
// The numerical core reports them by throwing `InternalFault`; the Python
// layer turns each one into a `PanicException` at the call boundary.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace torvelin {

class InternalFault : public std::runtime_error {
public:
    explicit InternalFault(const std::string& message,
                           std::source_location where = std::source_location::current())
        : std::runtime_error(message), where_(where) {}

    const std::source_location& where() const noexcept { return where_; }

private:
    std::source_location where_;
};

}  // namespace torvelin

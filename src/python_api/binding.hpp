// Binding of fast-call arguments to parameters, driven by a static descriptor.
#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <span>

namespace torvelin::py {

struct KeywordOnlyParameter {
    const char* name;
    bool required;
};

struct ParameterDescriptor {
    const char* function_name;
    std::span<const char* const> positional;  // by position or by keyword, in order
    std::size_t positional_only;
    std::size_t required_positional;
    std::span<const KeywordOnlyParameter> keyword_only;

    constexpr std::size_t slot_count() const noexcept {
        return positional.size() + keyword_only.size();
    }
    constexpr const char* slot_name(std::size_t slot) const noexcept {
        return slot < positional.size() ? positional[slot]
                                        : keyword_only[slot - positional.size()].name;
    }
};

// Fills `slots` (one per parameter, positional parameters first) with
// borrowed references to the arguments; unfilled slots stay null. Raises the
// binding TypeError and throws PythonError when the call does not fit.
void bind_arguments(const ParameterDescriptor& descriptor, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots);

}  // namespace torvelin::py

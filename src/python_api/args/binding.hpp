// Binding of fast-call arguments to a function's parameters, and their
// conversion, driven by the function's one parameter table (signatures.hpp).
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "lib/support/fault.hpp"
#include "python_api/runtime/errors.hpp"

namespace torvelin::py {

enum class Passing {
    positional_only,
    positional,    // by position or by keyword
    keyword_only,
};

struct Parameter {
    const char* name;
    Passing passing;
    bool required;
    const char* shown_default;  // as the text signature shows it; null when required
};

// A function's name and parameters in order: positional-only ones first,
// then the others that may come by position, then the keyword-only ones.
struct ParameterDescriptor {
    const char* function_name;
    std::span<const Parameter> parameters;
    // Parameters that may come by position, and how many of them, from the
    // first, are required; counted when the descriptor is made.
    std::size_t positional = count_positional(parameters);
    std::size_t required = count_required(parameters, positional);

    constexpr std::size_t positional_count() const noexcept { return positional; }
    constexpr std::size_t required_positional() const noexcept { return required; }

    static constexpr std::size_t count_positional(std::span<const Parameter> all) noexcept {
        std::size_t n = 0;
        for (const Parameter& p : all) n += p.passing == Passing::keyword_only ? 0 : 1;
        return n;
    }
    static constexpr std::size_t count_required(std::span<const Parameter> all,
                                                std::size_t positional) noexcept {
        std::size_t n = 0;
        while (n < positional && all[n].required) ++n;
        return n;
    }
    // The slot of the parameter named `name`.
    constexpr std::size_t slot_of(std::string_view name) const {
        for (std::size_t slot = 0; slot < parameters.size(); ++slot) {
            if (name == parameters[slot].name) return slot;
        }
        throw InternalFault("no parameter of that name");
    }
};

// Fills `slots` (one per parameter, in order) with borrowed references to
// the arguments; unfilled slots stay null. Raises the binding TypeError and
// throws PythonError when the call does not fit.
void bind_arguments(const ParameterDescriptor& descriptor, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots);

// A TypeError (exactly that type) pending from converting `parameter`
// becomes TypeError("argument '<parameter>': <message>").
void add_argument_prefix(const char* parameter);

// `object`, the argument of `parameter`, converted by `Kind`, with the
// argument-name prefix on a failure.
template <class Kind>
typename Kind::value_type convert_argument(PyObject* object, const char* parameter) {
    if constexpr (!requires { Kind::accepts_missing; }) {
        // Binding fills every required slot, and these kinds are required.
        if (object == nullptr) throw InternalFault("a required argument was not bound");
    }
    try {
        return Kind::convert(object);
    } catch (const PythonError&) {
        add_argument_prefix(parameter);
        throw;
    }
}

// The bound arguments of one call, converted one after the other in
// parameter order.
class BoundArguments {
public:
    BoundArguments(const ParameterDescriptor& descriptor, std::span<PyObject* const> slots)
        : descriptor_(descriptor), slots_(slots) {}

    // The next argument, converted by `Kind`.
    template <class Kind>
    typename Kind::value_type next() {
        const std::size_t slot = next_slot_++;
        return convert_argument<Kind>(slots_[slot], descriptor_.parameters[slot].name);
    }
    // The argument of parameter `name` as it was given.
    PyObject* given(std::string_view name) const { return slots_[descriptor_.slot_of(name)]; }

private:
    const ParameterDescriptor& descriptor_;
    std::span<PyObject* const> slots_;
    std::size_t next_slot_ = 0;
};

}  // namespace torvelin::py

// The boundary every call from Python passes: bound arguments, conversion
// with the argument-name prefix, and the one place where the module's C++
// failures become Python exceptions.
#pragma once

#include "../lib/fault.hpp"
#include "../lib/large_buffer.hpp"
#include "binding.hpp"
#include "errors.hpp"
#include "panic.hpp"

#include <array>
#include <new>
#include <stdexcept>

namespace torvelin::py {

// MemoryError "cannot allocate 16.0 GB for a result of 1 × 1000000001
// points": the bytes asked for and, where known, what for.
void raise_memory_error(const AllocationFailure& failure) noexcept;

// A TypeError (exactly that type) pending from converting `parameter`
// becomes TypeError("argument '<parameter>': <message>").
void add_argument_prefix(const char* parameter);

class BoundArguments {
public:
    BoundArguments(const ParameterDescriptor& descriptor, std::span<PyObject* const> slots)
        : descriptor_(descriptor), slots_(slots) {}

    // The argument in `slot` converted by `Kind`.
    template <class Kind>
    typename Kind::value_type convert(std::size_t slot) const {
        PyObject* object = slots_[slot];
        if constexpr (!requires { Kind::accepts_missing; }) {
            // Binding fills every required slot, and these kinds are required.
            if (object == nullptr) throw InternalFault("a required argument was not bound");
        }
        try {
            return Kind::convert(object);
        } catch (const PythonError&) {
            add_argument_prefix(descriptor_.slot_name(slot));
            throw;
        }
    }

private:
    const ParameterDescriptor& descriptor_;
    std::span<PyObject* const> slots_;
};

// Runs `body`, returning its result; on any failure sets the Python
// exception and returns null: a fault becomes PanicException, exhausted
// memory MemoryError.
template <class Body>
PyObject* translate_failures(Body&& body) noexcept {
    try {
        try {
            return body();
        } catch (const PythonError&) {
            if (panic_is_pending()) throw fault_from_pending_panic();
            if (PyErr_Occurred() == nullptr) {
                throw InternalFault("an error was reported without a Python exception");
            }
        }
    } catch (const InternalFault& fault) {
        raise_panic(fault);
    } catch (const AllocationFailure& failure) {
        raise_memory_error(failure);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const PythonError&) {
        // Set while the failure above was being handled.
    } catch (...) {
        raise_panic(InternalFault("unexpected native exception"));
    }
    return nullptr;
}

// More parameters than any of the module's functions has.
inline constexpr std::size_t max_parameter_count = 24;

// The fast-call entry of a function: binds with `descriptor`, then hands
// the bound arguments to `call`, which converts them and computes.
template <const ParameterDescriptor& descriptor, PyRef (*call)(const BoundArguments&)>
PyObject* fastcall_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return translate_failures([&] {
        std::array<PyObject*, max_parameter_count> storage{};
        const std::span<PyObject*> slots(storage.data(), descriptor.slot_count());
        bind_arguments(descriptor, args, nargs, kwnames, slots);
        return call(BoundArguments(descriptor, slots)).release();
    });
}

}  // namespace torvelin::py

// The boundary every call from Python passes: binding, conversion, the
// computation, and the one place where the module's C++ failures become
// Python exceptions.
#pragma once

#include "lib/support/fault.hpp"
#include "lib/memory/buffer.hpp"
#include "python_api/args/binding.hpp"
#include "python_api/runtime/errors.hpp"
#include "python_api/module/panic.hpp"

#include <array>
#include <new>
#include <stdexcept>

namespace torvelin::py {

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

// The fast-call entry of a function: binds with `descriptor`, converts the
// arguments into `Arguments` and hands them to `compute`.
template <const ParameterDescriptor& descriptor, class Arguments,
          PyRef (*compute)(const Arguments&)>
PyObject* fastcall_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    static_assert(std::size(descriptor.parameters) <= max_parameter_count);
    return translate_failures([&] {
        std::array<PyObject*, max_parameter_count> storage{};
        const std::span<PyObject*> slots(storage.data(), descriptor.parameters.size());
        bind_arguments(descriptor, args, nargs, kwnames, slots);
        BoundArguments bound(descriptor, slots);
        return compute(Arguments::convert(bound)).release();
    });
}

}  // namespace torvelin::py

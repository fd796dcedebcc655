// How failures travel inside the module.
//
// `PythonError` means "a Python exception is set and must reach the caller";
// `InternalFault` (from the core) means a broken invariant, and
// `AllocationFailure` memory that could not be had. Each entry point
// translates them exactly once (see module/entry.hpp).
#pragma once

#include "lib/memory/buffer.hpp"
#include "python_api/runtime/py_ref.hpp"

#include <string>

namespace torvelin::py {

struct PythonError {};

// Throws PythonError if `new_reference` is null, else takes it over.
inline PyRef check(PyObject* new_reference) {
    if (new_reference == nullptr) throw PythonError{};
    return PyRef::steal(new_reference);
}

// Throws PythonError when the interpreter reports an exception.
inline void throw_if_error_pending() {
    if (PyErr_Occurred() != nullptr) throw PythonError{};
}

// Raises `type(message)` with the message as its single argument.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* type, PyRef message);

// Raises TypeError "'{type}' object is not an instance of '{expected}'", or
// "'None' is not an instance of '{expected}'" for None.
[[noreturn]] void raise_type_mismatch(PyObject* object, const char* expected);

// The pending exception, taken out of the interpreter (normalised).
PyRef take_pending_exception();
// Makes `exception` the pending exception again, unchanged.
void restore_exception(PyRef exception);

// Drops the pending exception where an ordinary failure is only a "no".
// Exceptions that are not `Exception`s (interrupts, exits, faults that came
// back through Python) are never swallowed: they are re-thrown.
void discard_pending_error();

// MemoryError "cannot allocate 16.0 GB for a result of 1 × 1000000001
// points": the bytes asked for and, where known, what for.
void raise_memory_error(const AllocationFailure& failure) noexcept;

// A one-line description of a Python exception: its type, value and the
// innermost frame of its traceback. Never fails.
std::string describe_exception(PyObject* exception);

// str(object) as UTF-8, or a placeholder when that fails. Never fails.
std::string str_or_placeholder(PyObject* object);

}  // namespace torvelin::py

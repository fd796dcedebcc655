// PanicException: how internal faults reach Python.
#pragma once

#include "lib/support/fault.hpp"
#include "python_api/runtime/py_ref.hpp"

namespace torvelin::py {

// Writes the fault's diagnostic to standard error and raises PanicException
// carrying its message. If even the exception type cannot be created, the
// error of that creation is left pending instead.
void raise_panic(const InternalFault& fault) noexcept;

// True when the pending exception is a PanicException, i.e. a fault that
// travelled through Python code and must go on as a fault.
bool panic_is_pending() noexcept;

// Takes the pending PanicException out, writes it with its traceback to
// standard error and returns the fault that carries its message on.
InternalFault fault_from_pending_panic();

}  // namespace torvelin::py

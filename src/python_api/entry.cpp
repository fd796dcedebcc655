#include "entry.hpp"

namespace torvelin::py {

void add_argument_prefix(const char* parameter) {
    if (PyErr_Occurred() != PyExc_TypeError) return;
    const PyRef original = take_pending_exception();
    const PyRef message =
        check(PyUnicode_FromFormat("argument '%s': %S", parameter, original.get()));
    PyRef prefixed = check(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    // Keeps the original's cause and, like `raise ... from`, hides the context.
    PyException_SetCause(prefixed.get(), PyException_GetCause(original.get()));
    restore_exception(std::move(prefixed));
}

}  // namespace torvelin::py

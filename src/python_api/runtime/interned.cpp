#include "python_api/runtime/interned.hpp"

#include "python_api/runtime/errors.hpp"
#include "python_api/runtime/once.hpp"

namespace torvelin::py::interned {

namespace {

PyObject* get(OnceObject& slot, const char* text) {
    return slot.get_or_create([text] {
        PyObject* string = PyUnicode_InternFromString(text);
        return check(string);
    });
}

OnceObject ravel_name, tolist_name, fortran_order_text, x1_name, x2_name;

}  // namespace

PyObject* ravel() { return get(ravel_name, "ravel"); }
PyObject* tolist() { return get(tolist_name, "tolist"); }
PyObject* fortran_order() { return get(fortran_order_text, "F"); }
PyObject* x1() { return get(x1_name, "x1"); }
PyObject* x2() { return get(x2_name, "x2"); }

}  // namespace torvelin::py::interned
